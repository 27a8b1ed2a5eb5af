#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/tags.h"
#include "engine/totals.h"
#include "net/local_fs.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::TempDir;
using test::WriteFile;

const int64_t T0 = test::UnixTime(2026, 5, 1, 10, 0, 0);

// What the compare told: the record counts it announced and the folders it
// finished, in order.
struct Recorder : ICompareListener {
  std::vector<size_t> added;
  std::vector<CFolderRecord*> announced;
  void FolderAdded(size_t count) override { added.push_back(count); }
  void FolderFinished(CFolderRecord* r) override { announced.push_back(r); }
};

// A local folder standing in for the server, which remembers what was listed
// and can stop the compare when a given folder is listed.
struct SpyLister : LocalFileSystem {
  using LocalFileSystem::LocalFileSystem;
  std::vector<std::string> listed;
  std::string abortAt, failAt;
  CFolderComparer* comparer = nullptr;
  bool List(const std::string& path, ScanList& out) override {
    listed.push_back(path);
    if (comparer && path == abortAt) comparer->Abort();
    return path == failAt ? (out.clear(), false) : LocalFileSystem::List(path, out);
  }
  std::string LastError() const override { return "550 refused"; }
};

struct Harness {
  TempDir local, remote;
  SpyLister lister{remote.path()};
  LocalFileSystem disk{"/"};
  CFolderCollection collection;
  Recorder notify;
  CFolderComparer comparer;

  void Run(const std::string& types = "*.*", bool include = true) {
    collection.Clear();
    comparer.BeginCompare(&notify, &disk, &lister, &collection, local.path(), "/", true, false);
    comparer.Run(local.path(), "/", types, include);
  }
  std::string Rel(const std::string& p) const { return p == local.path() ? "." : p.substr(local.path().size() + 1); }
  // One line per record and entry: "D<class> path" and "  <state> name".
  std::vector<std::string> Dump() {
    std::vector<std::string> out;
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      CFolderRecord* r = collection.GetAt(i);
      out.push_back("D" + std::to_string(r->folderClass) + " " + Rel(r->localPath) + " " + r->remotePath);
      for (auto& e : r->entries) out.push_back("  " + std::string(1, "<=>?"[e->state]) + " " + e->Name());
    }
    return out;
  }
  CFolderRecord* Find(const std::string& rel) {
    for (size_t i = 0; i < collection.GetCount(); ++i)
      if (Rel(collection.GetAt(i)->localPath) == rel) return collection.GetAt(i);
    return nullptr;
  }
};

using Lines = std::vector<std::string>;

// Entries pair by name ignoring case (exact spellings first), are classified
// by time alone, a file never pairs with a folder, each side keeps its own
// spelling of a folder, a folder the server lacks is not asked for, and a
// link back up the tree is not walked again.
TEST(Comparer, PairsByNameIgnoringCaseAndClassifiesByTime) {
  Harness h;
  WriteFile(h.local / "a.txt", "x", T0);
  WriteFile(h.remote / "A.TXT", "xyz", T0 + 2);  // within 3 s: in step
  WriteFile(h.local / "b.txt", "x", T0 + 3);
  WriteFile(h.remote / "b.txt", "a much longer remote file", T0);  // newer locally though smaller
  WriteFile(h.local / "c.txt", "x", T0);
  WriteFile(h.remote / "C.txt", "x", T0 + 3);
  WriteFile(h.local / "only-local.txt", "x", T0);
  WriteFile(h.remote / "_only-remote.txt", "x", T0);
  WriteFile(h.local / "case/a.txt", "", T0);
  WriteFile(h.local / "case/A.txt", "", T0 + 100);
  WriteFile(h.remote / "case/a.txt", "", T0);
  WriteFile(h.local / "images/logo.gif", "", T0);
  WriteFile(h.remote / "Images/logo.gif", "", T0);
  WriteFile(h.local / "new/deep/b.txt", "", T0);
  ASSERT_EQ(symlink("..", (h.local / "new/deep/up").c_str()), 0);  // shown, not walked again
  WriteFile(h.local / "x", "file", T0);
  WriteFile(h.remote / "x/inner.txt", "", T0);
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  < _only-remote.txt", "  = a.txt", "  > b.txt", "  < c.txt",
                             "  > only-local.txt", "  > x", "D1 case /case", "  > A.txt", "  = a.txt",
                             "D1 images /Images", "  = logo.gif", "D2 new /new", "D2 new/deep /new/deep", "  > b.txt",
                             "D2 new/deep/up /new/deep/up", "D3 x /x", "  < inner.txt"}));
  auto& e = h.Find(".")->entries[1];
  EXPECT_EQ(e->local->name + e->remote->name, "a.txtA.TXT");
  EXPECT_EQ(e->tagged, 1);  // every new entry is tagged, in-step ones too
  EXPECT_FALSE(h.Find("case")->entries[0]->remote.has_value());
  EXPECT_EQ(h.Find("case")->entries[1]->remote->name, "a.txt");
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/", "/case", "/Images", "/x"}));

  // Without sub-folders they still appear, empty, and only the top is listed.
  h.lister.listed.clear();
  h.Run("*.*", false);
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  < _only-remote.txt", "  = a.txt", "  > b.txt", "  < c.txt",
                             "  > only-local.txt", "  > x", "D1 case /case", "D1 images /Images", "D2 new /new",
                             "D3 x /x"}));
  EXPECT_EQ(h.lister.listed, std::vector<std::string>{"/"});
  // Patterns are merged, a file two of them match is one entry, and folders
  // are walked whatever the types.
  h.lister.listed.clear();
  h.Run("*.gif;*.GIF; *.htm");
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "D1 case /case", "D1 images /Images", "  = logo.gif", "D2 new /new",
                             "D2 new/deep /new/deep", "D2 new/deep/up /new/deep/up", "D3 x /x"}));
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/", "/case", "/Images", "/x"}));
}

TEST(Comparer, RecordsCarryTheirParentsNamesClassesOverlaysAndBoldMarks) {
  Harness h;
  WriteFile(h.local / "same/deep/x.txt", "", T0 + 100);  // only the deep folder differs
  WriteFile(h.remote / "same/deep/x.txt", "", T0);
  WriteFile(h.local / "same/ok.txt", "", T0);
  WriteFile(h.remote / "same/ok.txt", "", T0);
  WriteFile(h.local / "Z/up.txt", "", T0);
  WriteFile(h.remote / "z/down.txt", "", T0);
  h.Run();
  CFolderRecord *root = h.Find("."), *same = h.Find("same"), *deep = h.Find("same/deep"), *z = h.Find("Z");
  ASSERT_TRUE(root && same && deep && z);
  EXPECT_EQ(root->name, h.local.path() + " <=> /");
  EXPECT_EQ(deep->name + " " + z->name, "deep Z");  // the local spelling
  using Records = std::vector<CFolderRecord*>;
  EXPECT_EQ((Records{root->parent, same->parent, deep->parent, z->parent}), (Records{nullptr, root, same, root}));
  for (size_t i = 0; i < h.collection.GetCount(); ++i) EXPECT_EQ(h.collection.GetAt(i)->index, i);
  EXPECT_EQ(same->folderClass, FolderOnBoth);
  EXPECT_EQ((std::vector<int>{root->TreeBold(), same->TreeBold(), deep->TreeBold(), z->TreeBold(),
                              same->TreeOverlay(), deep->TreeOverlay(), z->TreeOverlay()}),
            (std::vector<int>{0, 0, 1, 1, 0, 2, 1}));
  // Each record was announced as added once, in order, and finished once,
  // after its sub-folders; the root last.
  std::vector<size_t> counts(h.collection.GetCount());
  for (size_t i = 0; i < counts.size(); ++i) counts[i] = i + 1;
  EXPECT_EQ(h.notify.added, counts);
  EXPECT_EQ(h.notify.announced, (Records{deep, same, z, root}));
}

TEST(Comparer, AbortUnwindsFinishingAndAnnouncingEveryOpenFolder) {
  Harness h;
  for (const char* f : {"a/1.txt", "b/b1/1.txt", "b/b2/b3/1.txt", "b/b2/2.txt", "c/1.txt", "d/1.txt"}) {
    WriteFile(h.local / f, "", T0);
    WriteFile(h.remote / f, "", T0);
  }
  h.lister.comparer = &h.comparer;
  h.lister.abortAt = "/b/b2";
  h.Run();
  // Nothing after the stop was walked.
  EXPECT_EQ(h.Find("b/b2/b3"), nullptr);
  EXPECT_EQ(h.Find("c"), nullptr);
  ASSERT_NE(h.Find("b/b2"), nullptr);
  // Every record that exists was announced finished exactly once, each folder
  // after its sub-folders.
  std::map<CFolderRecord*, size_t> when;
  for (size_t i = 0; i < h.notify.announced.size(); ++i) {
    EXPECT_EQ(when.count(h.notify.announced[i]), 0u);
    when[h.notify.announced[i]] = i;
  }
  EXPECT_EQ(when.size(), h.collection.GetCount());
  EXPECT_LT(when[h.Find("b/b2")], when[h.Find("b")]);
  EXPECT_LT(when[h.Find("b")], when[h.Find(".")]);
}

TEST(Comparer, AFolderThatCannotBeListedIsIncompleteNotEmpty) {
  Harness h;
  WriteFile(h.local / "x/new.txt", "", T0);
  WriteFile(h.local / "x/sub/deep.txt", "", T0);
  WriteFile(h.remote / "x/old.txt", "", T0);
  WriteFile(h.local / "y/a.txt", "", T0);
  WriteFile(h.remote / "y/a.txt", "", T0 + 100);
  h.lister.failAt = "/x";
  h.Run();
  CFolderRecord* x = h.Find("x");
  ASSERT_NE(x, nullptr);
  EXPECT_TRUE(x->incomplete);
  EXPECT_EQ(x->incompleteReason, "cannot list /x: 550 refused");
  for (auto& e : x->entries) EXPECT_FALSE(e->tagged) << e->Name();
  // Its sub-folders are shown but not walked; the rest goes on.
  ASSERT_NE(h.Find("x/sub"), nullptr);
  EXPECT_TRUE(h.Find("x/sub")->entries.empty());
  EXPECT_EQ(std::count(h.lister.listed.begin(), h.lister.listed.end(), "/x/sub"), 0);
  EXPECT_EQ(h.Dump().back(), "  < a.txt");
  EXPECT_EQ(x->TreeOverlay(), kIncompleteOverlay);
  EXPECT_TRUE(x->TreeBold());
  // Tagging everything leaves it alone.
  TagAllFiles(h.collection);
  x->TagAll();
  for (auto& e : x->entries) EXPECT_FALSE(e->tagged) << e->Name();
  SyncTotals t;
  CountTagged(h.collection, t, FilterAll);
  EXPECT_EQ(t.taggedUp, 0);
  EXPECT_EQ(t.taggedDown, 1);
  // Even with its entries made copies and tagged by hand, a sync copies nothing in it.
  for (auto& e : x->entries) e->state = CopyLocalToRemote, e->tagged = true;
  test::Transfer(h.collection, t, h.lister, test::Directions(true, true));
  EXPECT_FALSE(std::filesystem::exists(h.remote / "x/new.txt"));
  EXPECT_EQ(std::filesystem::last_write_time(h.local / "y/a.txt"), std::filesystem::last_write_time(h.remote / "y/a.txt"));

  // A local folder that cannot be read, the same (as root, the folder is made
  // unreadable by being a file where a folder should be listed).
  Harness g;
  WriteFile(g.remote / "z/r.txt", "", T0);
  g.comparer.BeginCompare(&g.notify, &g.disk, &g.lister, &g.collection, g.local / "nofolder", "/", true, false);
  WriteFile(g.local / "nofolder", "a file", T0);
  g.comparer.Run(g.local / "nofolder", "/", "*.*", true);
  EXPECT_TRUE(g.collection.GetAt(0)->incomplete);
  EXPECT_NE(g.collection.GetAt(0)->incompleteReason.find("Not a directory"), std::string::npos);
  EXPECT_EQ(g.collection.GetCount(), 2u);  // z shown, not walked
  for (size_t i = 0; i < g.collection.GetCount(); ++i)
    for (auto& e : g.collection.GetAt(i)->entries) EXPECT_FALSE(e->tagged);
}

}  // namespace
}  // namespace twinbay
