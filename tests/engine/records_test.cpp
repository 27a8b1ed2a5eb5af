// The folder records' collection and the tagged counts kept beside it.
#include <gtest/gtest.h>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/tags.h"
#include "engine/totals.h"

namespace twinbay {
namespace {

std::unique_ptr<CFileEntry> Entry(bool local, bool remote, CompareState state, bool tagged, uint64_t lsize = 0,
                                  uint64_t rsize = 0) {
  auto e = std::make_unique<CFileEntry>();
  if (local) e->local = FindData{}, e->local->size = lsize;
  if (remote) e->remote = FindData{}, e->remote->size = rsize;
  e->state = state;
  e->tagged = tagged;
  return e;
}

// The window drops its pointers into the records when told, so it is told before they go.
TEST(FolderCollection, ClearTellsTheListenerBeforeFreeing) {
  struct : ICollectionListener {
    CFolderCollection* collection = nullptr;
    std::vector<size_t> seen;
    void CollectionCleared() override { seen.push_back(collection->GetCount()); }
  } listener;
  CFolderCollection c(&listener);
  listener.collection = &c;
  c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  c.Add(std::make_unique<CFolderRecord>("/l/a", "/r/a", FolderOnBoth));
  c.Clear();
  EXPECT_EQ(listener.seen, std::vector<size_t>{2});
  EXPECT_EQ(c.GetCount(), 0u);
}

// Tagged counts follow the filter; the kept counts always equal a full count
// however folders, tags, states and the filter change.
TEST(CountTagged, FollowsTheFilterAndTheKeptTotalsStayEqualToAFullCount) {
  CFolderCollection c;
  KeptTotals kept;
  auto full = [&](int filter) {
    SyncTotals t;
    CountTagged(c, t, filter);
    return t;
  };
  auto v = [](const SyncTotals& t) {
    return std::vector<int64_t>{t.taggedUp, t.taggedDown, t.allUp, t.allDown, int64_t(t.bytesUp), int64_t(t.bytesDown)};
  };
  auto same = [&](int filter) { return v(kept.Totals()) == v(full(filter)); };
  auto* r = c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  r->entries.push_back(Entry(true, false, CopyLocalToRemote, 1, 1000));
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 500, 7));
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 0, 9999, 7));  // untagged
  r->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 3000));
  r->entries.push_back(Entry(true, true, InStep, 1, 100, 100));  // never counted
  kept.CountFolder(c, *r);
  auto* s = c.Add(std::make_unique<CFolderRecord>("/l/s", "/r/s", FolderOnBoth));
  s->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 20));
  s->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 50, 7));
  kept.CountFolder(c, *s);
  EXPECT_EQ(v(full(FilterAll)), (std::vector<int64_t>{3, 2, 4, 2, 1550, 3020}));
  EXPECT_TRUE(same(FilterAll));
  // A folder counted again after a copy re-classified one entry and a delete removed another.
  kept.CountAll(c, FilterAll);
  s->entries[1]->state = InStep;
  r->entries.erase(r->entries.begin());
  kept.CountFolder(c, *s);
  kept.CountFolder(c, *r);
  EXPECT_TRUE(same(FilterAll));
  kept.CountAll(c, FilterLocalToRemote);
  EXPECT_TRUE(same(FilterLocalToRemote));
}

}  // namespace
}  // namespace twinbay
