// Folder records, their entries, the filters, the counts and the texts made of them.
#include <gtest/gtest.h>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/number_format.h"
#include "engine/tags.h"
#include "engine/totals.h"

namespace twinbay {
namespace {

FindData Side(const std::string& name, int64_t unixSeconds = 0, uint64_t size = 0) {
  FindData fd;
  fd.name = name;
  fd.lastWrite = TicksFromUnix(unixSeconds);
  fd.size = size;
  return fd;
}

template <class... T>
std::vector<double> V(T... v) {
  return {static_cast<double>(v)...};
}

std::unique_ptr<CFileEntry> Entry(bool local, bool remote, CompareState state, bool tagged = true,
                                  uint64_t lsize = 0, uint64_t rsize = 0) {
  auto e = std::make_unique<CFileEntry>();
  if (local) e->local = Side("f", 0, lsize);
  if (remote) e->remote = Side("f", 0, rsize);
  e->state = state;
  e->tagged = tagged;
  return e;
}

// The summary follows the entries' states; tagging never touches an in-step entry.
TEST(FolderRecord, SummaryDifferencesAndTagging) {
  CFolderRecord r("/l", "/r", FolderOnBoth);
  EXPECT_EQ(r.Summary(), NothingToCopy);
  r.entries.push_back(Entry(true, true, InStep, true));
  r.entries.push_back(Entry(true, true, InStep, false));
  EXPECT_EQ(r.Summary(), NothingToCopy);
  EXPECT_FALSE(r.HasDifferences());
  r.entries.push_back(Entry(true, false, CopyLocalToRemote, false));
  EXPECT_EQ(r.Summary(), CopyOnlyLocalToRemote);
  EXPECT_TRUE(r.HasDifferences());
  r.UntagAll();
  EXPECT_EQ(r.entries[0]->tagged, 1);
  r.TagAll();
  EXPECT_EQ(r.entries[1]->tagged, 0);
  EXPECT_EQ(r.entries[2]->tagged, 1);
  EXPECT_FALSE(r.entries[0]->IsTagged());  // in step reads as untagged whatever its flag
  r.entries.push_back(Entry(false, true, CopyRemoteToLocal));
  EXPECT_EQ(r.Summary(), CopyBothWays);
  r.entries[2]->state = InStep;
  EXPECT_EQ(r.Summary(), CopyOnlyRemoteToLocal);
  r.entries[3]->state = InStep;  // re-classified after a copy
  EXPECT_EQ(r.Summary(), NothingToCopy);
  EXPECT_FALSE(r.HasDifferences());
}

TEST(FileEntry, ReclassifyTreatsMissingSideAsOlder) {
  CFileEntry e;
  e.local = Side("a.txt", 1000);
  e.remote = Side("A.TXT", 5000);
  EXPECT_EQ(e.Reclassify(false), CopyRemoteToLocal);
  e.local = Side("a.txt", 5001);
  EXPECT_EQ(e.Reclassify(false), InStep);
  e.remote.reset();
  EXPECT_EQ(e.Reclassify(false), CopyLocalToRemote);
  e.remote = Side("A.TXT", 1);
  e.local.reset();
  EXPECT_EQ(e.Reclassify(true), CopyRemoteToLocal);
  EXPECT_EQ(e.Name(), "A.TXT");
  e.local = Side("a.txt", 1);
  EXPECT_EQ(e.Name(), "a.txt");
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
  EXPECT_EQ(c.GetAt(1)->localPath, "/l/a");
  EXPECT_EQ(c.GetAt(2), nullptr);
  c.Clear();
  EXPECT_EQ(listener.seen, std::vector<size_t>{2});
  EXPECT_EQ(c.GetCount(), 0u);
}

TEST(Filters, EveryNumber) {
  auto up1 = Entry(true, false, CopyLocalToRemote), upBoth = Entry(true, true, CopyLocalToRemote);
  auto down1 = Entry(false, true, CopyRemoteToLocal), same = Entry(true, true, InStep);
  const struct {
    int filter;
    bool up1, upBoth, down1, same;
  } rows[] = {
      {0, true, true, true, true},     {1, true, true, false, false},  {2, false, false, true, false},
      {3, false, false, false, false}, {4, false, false, false, true}, {5, true, true, true, false},
      {6, true, false, true, false},   {7, false, true, false, true},  {8, false, false, false, false},
      {-1, false, false, false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.filter);
    EXPECT_EQ(MatchesFilter(*up1, r.filter), r.up1);
    EXPECT_EQ(MatchesFilter(*upBoth, r.filter), r.upBoth);
    EXPECT_EQ(MatchesFilter(*down1, r.filter), r.down1);
    EXPECT_EQ(MatchesFilter(*same, r.filter), r.same);
  }
}

// Tagged counts follow the filter, the "all" counts do not; the kept counts
// always equal a full count however folders, tags, states and the filter change.
TEST(CountTagged, FollowsTheFilterAndTheKeptTotalsStayEqualToAFullCount) {
  CFolderCollection c;
  KeptTotals kept;
  auto full = [&](int filter) {
    SyncTotals t;
    CountTagged(c, t, filter);
    return t;
  };
  auto v = [](const SyncTotals& t) { return V(t.taggedUp, t.taggedDown, t.allUp, t.allDown, t.bytesUp, t.bytesDown); };
  auto same = [&](int filter) { return v(kept.Totals()) == v(full(filter)); };
  auto* r = c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  r->entries.push_back(Entry(true, false, CopyLocalToRemote, 1, 1000));    // up, one side
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 500, 7));   // up, both sides
  r->entries.push_back(Entry(true, true, CopyLocalToRemote, 0, 9999, 7));  // up, untagged
  r->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 3000));
  r->entries.push_back(Entry(true, true, InStep, 1, 100, 100));  // never counted
  kept.CountFolder(c, *r);
  auto* s = c.Add(std::make_unique<CFolderRecord>("/l/s", "/r/s", FolderOnBoth));
  s->entries.push_back(Entry(false, true, CopyRemoteToLocal, 1, 0, 20));
  s->entries.push_back(Entry(true, true, CopyLocalToRemote, 1, 50, 7));
  kept.CountFolder(c, *s);

  SyncTotals t;
  t.allDone = 99;
  t.text = "stale";
  CountTagged(c, t, FilterAll);
  EXPECT_EQ(V(t.taggedUp, t.allUp, t.bytesUp, t.taggedDown, t.allDown, t.bytesDown, t.allDone),
            V(3, 4, 1550, 2, 2, 3020, 0));
  EXPECT_EQ(t.text, "");
  EXPECT_TRUE(same(FilterAll));
  t = full(FilterOnePathOnly);
  EXPECT_EQ(V(t.taggedUp, t.bytesUp, t.allUp, t.taggedDown), V(1, 1000, 4, 2));
  t = full(FilterRemoteToLocal);
  EXPECT_EQ(V(t.taggedUp, t.allUp, t.taggedDown), V(0, 4, 2));
  UntagAllFiles(c);
  EXPECT_EQ(full(FilterAll).taggedUp + full(FilterAll).taggedDown, 0);
  EXPECT_EQ(r->entries[4]->tagged, 1);  // the in-step entry kept its flag
  TagAllFiles(c);
  EXPECT_EQ(full(FilterAll).taggedUp, 4);

  // A folder counted again after a copy re-classified one entry and a delete
  // removed another: only its own share changes.
  kept.CountAll(c, FilterAll);
  s->entries[1]->state = InStep;
  r->entries.erase(r->entries.begin());
  kept.CountFolder(c, *s);
  kept.CountFolder(c, *r);
  EXPECT_TRUE(same(FilterAll));
  r->entries[0]->tagged = false;
  kept.CountFolder(c, *r);
  EXPECT_TRUE(same(FilterAll));
  kept.CountAll(c, FilterLocalToRemote);
  EXPECT_TRUE(same(FilterLocalToRemote));
  EXPECT_EQ(kept.Totals().taggedDown, 0);
  kept.Clear();
  c.Clear();
  EXPECT_TRUE(same(FilterLocalToRemote));
}

TEST(SyncTotals, PercentagesStayWithinRange) {
  SyncTotals t;
  EXPECT_EQ(t.FilePercent() + t.TotalPercent(), 0);  // nothing selected: divisor 0
  t.bytesUp = 1000;
  t.bytesDown = 3000;
  t.SetDirections(true, false);
  EXPECT_EQ(t.SelectedTotal(), 1000);
  t.StartFile(400);
  t.AddDone(100);
  EXPECT_EQ(t.FilePercent(), 25);
  EXPECT_EQ(t.TotalPercent(), 10);
  t.AddDone(2000);  // the file grew since the compare
  EXPECT_EQ(t.FilePercent(), 100);
  EXPECT_EQ(t.TotalPercent(), 100);
  t.SetDirections(true, true);
  EXPECT_EQ(t.TotalPercent(), 52);
  t.StartFile(0);
  EXPECT_EQ(t.FilePercent(), 0);
}

// Sizes round up to whole KB, then MB and GB with the locale's separators;
// numbers are rounded to the locale's decimals before they are cut.
TEST(Formatting, SizesNumbersAndTaggedSummaries) {
  const NumberFormat en{".", ",", 3, 2}, de{",", ".", 3, 2};
  const std::pair<std::string, std::string> cases[] = {
      {FormatSize(0, en), "0KB "},
      {FormatSize(1024, en), "1KB "},
      {FormatSize(1025, en), "2KB "},
      {FormatSize(1048064, en), "1,024KB "},
      {FormatSize(1048576, en), "1.00MB "},
      {FormatSize(1.5 * 1073741824.0, en), "1.50GB "},
      {FormatSize(5000.0 * 1073741824.0, en), "5,000.00GB "},
      {FormatSize(1048576, de), "1,00MB "},
      {FormatNumber(1234567, 0, de), "1.234.567"},
      {FormatNumber(1.005, 1, en), "1.0"},
      {FormatNumber(1.996, 1, en), "2.0"},
      {FormatNumber(999.999, 0, en), "1,000"},
      {FormatNumber(12.5, 3, en), "12.50"},  // the locale shows only two
      {FormatNumber(123, 0, NumberFormat{".", "", 0, 2}), "123"},
      {FormatNumber(-1234.5, 2, en), "-1,234.50"},
      {TaggedSummary(0, 1, 0, en), "0 of 1 file tagged (0KB)"},
      {TaggedSummary(1, 2, 2048, en), "1 of 2 files tagged (2KB)"},
      {TaggedSummary(0, 0, 0, en), "0 of 0 files tagged (0KB)"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace twinbay
