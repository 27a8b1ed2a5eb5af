#include <gtest/gtest.h>

#include "engine/comparer.h"
#include "engine/file_entry.h"

namespace twinbay {
namespace {

FindData At(const std::string& name, int64_t unixSeconds) {
  FindData fd;
  fd.name = name;
  fd.lastWrite = TicksFromUnix(unixSeconds);
  return fd;
}

std::unique_ptr<CFileEntry> Entry(CompareState state, bool tagged = true) {
  auto e = std::make_unique<CFileEntry>();
  e->local = At("f", 0);
  e->state = state;
  e->tagged = tagged;
  return e;
}

TEST(FolderRecord, SummaryAndDifferences) {
  CFolderRecord r("/l", "/r", FolderOnBoth);
  EXPECT_EQ(r.Summary(), NothingToCopy);
  EXPECT_FALSE(r.HasDifferences());
  r.entries.push_back(Entry(InStep));
  EXPECT_EQ(r.Summary(), NothingToCopy);
  EXPECT_FALSE(r.HasDifferences());
  r.entries.push_back(Entry(CopyLocalToRemote));
  EXPECT_EQ(r.Summary(), CopyOnlyLocalToRemote);
  EXPECT_TRUE(r.HasDifferences());
  r.entries.push_back(Entry(CopyRemoteToLocal));
  EXPECT_EQ(r.Summary(), CopyBothWays);

  CFolderRecord down("/l", "/r", FolderRemoteOnly);
  down.entries.push_back(Entry(CopyRemoteToLocal));
  EXPECT_EQ(down.Summary(), CopyOnlyRemoteToLocal);
  // Its only difference re-classified to in step: back to summary 0.
  down.entries[0]->state = InStep;
  EXPECT_EQ(down.Summary(), NothingToCopy);
  EXPECT_FALSE(down.HasDifferences());
}

TEST(FolderRecord, TaggingLeavesInStepEntriesAlone) {
  CFolderRecord r("/l", "/r", FolderOnBoth);
  r.entries.push_back(Entry(InStep, 1));
  r.entries.push_back(Entry(InStep, 0));
  r.entries.push_back(Entry(CopyLocalToRemote, 0));
  r.UntagAll();
  EXPECT_EQ(r.entries[0]->tagged, 1);
  EXPECT_EQ(r.entries[2]->tagged, 0);
  r.TagAll();
  EXPECT_EQ(r.entries[1]->tagged, 0);
  EXPECT_EQ(r.entries[2]->tagged, 1);
  EXPECT_FALSE(r.entries[0]->IsTagged());  // in step reads as untagged whatever its flag
}

TEST(FileEntry, ReclassifyTreatsMissingSideAsOlder) {
  CFileEntry e;
  e.local = At("a.txt", 1000);
  e.remote = At("A.TXT", 5000);
  EXPECT_EQ(e.Reclassify(false), CopyRemoteToLocal);
  e.local = At("a.txt", 5001);
  EXPECT_EQ(e.Reclassify(false), InStep);
  e.remote.reset();
  EXPECT_EQ(e.Reclassify(false), CopyLocalToRemote);
  e.remote = At("A.TXT", 1);
  e.local.reset();
  EXPECT_EQ(e.Reclassify(true), CopyRemoteToLocal);
  EXPECT_EQ(e.Name(), "A.TXT");
  e.local = At("a.txt", 1);
  EXPECT_EQ(e.Name(), "a.txt");
}

struct CountingListener : ICollectionListener {
  CFolderCollection* collection = nullptr;
  size_t recordsSeenAtClear = 0;
  int calls = 0;
  void CollectionCleared() override {
    ++calls;
    recordsSeenAtClear = collection->GetCount();
  }
};

TEST(FolderCollection, ClearTellsTheListenerBeforeFreeing) {
  CountingListener listener;
  CFolderCollection c(&listener);
  listener.collection = &c;
  c.Add(std::make_unique<CFolderRecord>("/l", "/r", FolderRoot));
  c.Add(std::make_unique<CFolderRecord>("/l/a", "/r/a", FolderOnBoth));
  EXPECT_EQ(c.GetCount(), 2u);
  EXPECT_EQ(c.GetAt(1)->localPath, "/l/a");
  EXPECT_EQ(c.GetAt(2), nullptr);
  c.Clear();
  EXPECT_EQ(listener.calls, 1);
  EXPECT_EQ(listener.recordsSeenAtClear, 2u);  // still there when told
  EXPECT_EQ(c.GetCount(), 0u);
}

}  // namespace
}  // namespace twinbay
