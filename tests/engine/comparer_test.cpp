#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::TempDir;
using test::WriteFile;

const int64_t T0 = test::UnixTime(2026, 5, 1, 10, 0, 0);

struct Recorder : IFolderNotify {
  std::mutex m;
  std::vector<CFolderRecord*> announced;
  void FolderChanged(CFolderRecord* r) override {
    std::lock_guard g(m);
    announced.push_back(r);
  }
};

// A local folder standing in for the server, which remembers what was listed
// and can stop the compare when a given folder is listed.
struct SpyLister : LocalFolderLister {
  using LocalFolderLister::LocalFolderLister;
  std::vector<std::string> listed;
  std::string abortAt, failAt;
  CFolderComparer* comparer = nullptr;
  bool ListFolder(const std::string& path, ScanList& out) override {
    listed.push_back(path);
    if (comparer && path == abortAt) comparer->Abort();
    if (path == failAt) {
      out.clear();
      return false;
    }
    return LocalFolderLister::ListFolder(path, out);
  }
  std::string ListingError() const override { return "550 refused"; }
};

struct Harness {
  TempDir local, remote;
  SpyLister lister{remote.path()};
  MemoryFolderTree tree;
  CFolderCollection collection;
  Recorder notify;
  CFolderComparer comparer;

  void Run(const std::string& types = "*.*", bool include = true, bool ignoreSeconds = false) {
    comparer.BeginCompare(&notify, &lister, &tree, &collection, local.path(), "/", true, ignoreSeconds);
    comparer.Run(local.path(), "/", types, include);
  }
  std::string Rel(const std::string& localPath) const {
    if (localPath == local.path()) return ".";
    return localPath.substr(local.path().size() + 1);
  }
  // One line per record and entry: "D<class> path" and "  <state> name".
  std::vector<std::string> Dump() {
    std::vector<std::string> out;
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      CFolderRecord* r = collection.GetAt(i);
      out.push_back("D" + std::to_string(r->folderClass) + " " + Rel(r->localPath) + " " + r->remotePath);
      for (auto& e : r->entries) out.push_back("  " + std::string(1, "<=>"[e->state]) + " " + e->Name());
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
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  < _only-remote.txt", "  = a.txt", "  > b.txt", "  < c.txt",
                             "  > only-local.txt"}));
  auto& e = h.Find(".")->entries[1];
  EXPECT_EQ(e->local->name, "a.txt");
  EXPECT_EQ(e->remote->name, "A.TXT");
  EXPECT_EQ(e->tagged, 1);  // every new entry is tagged, in-step ones too
}

TEST(Comparer, IgnoreSecondsOption) {
  Harness h;
  WriteFile(h.local / "a", "", T0 + 59);
  WriteFile(h.remote / "a", "", T0 + 60);
  WriteFile(h.local / "b", "", T0 + 1);
  WriteFile(h.remote / "b", "", T0 + 58);
  h.Run("*.*", true, true);
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  < a", "  = b"}));
}

TEST(Comparer, FileAndFolderOfOneNameNeverPair) {
  Harness h;
  WriteFile(h.local / "x", "file", T0);
  WriteFile(h.remote / "x/inner.txt", "", T0);
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  > x", "D3 x /x", "  < inner.txt"}));
}

TEST(Comparer, WithoutSubFoldersTheFoldersStillAppearEmpty) {
  Harness h;
  WriteFile(h.local / "both/a.txt", "", T0);
  WriteFile(h.remote / "both/a.txt", "", T0 + 100);
  WriteFile(h.local / "lonly/b.txt", "", T0);
  WriteFile(h.remote / "ronly/c.txt", "", T0);
  WriteFile(h.local / "top.txt", "", T0);
  h.Run("*.*", false);
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  > top.txt", "D1 both /both", "D2 lonly /lonly", "D3 ronly /ronly"}));
  EXPECT_EQ(h.tree.Count(), 4u);
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/"}));
}

TEST(Comparer, LocalOnlyFolderIsWalkedAgainstAMissingRemotePath) {
  Harness h;
  WriteFile(h.local / "new/a.txt", "", T0);
  WriteFile(h.local / "new/deep/b.txt", "", T0);
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "D2 new /new", "  > a.txt", "D2 new/deep /new/deep", "  > b.txt"}));
  // The server is not asked for folders its parent's listing showed missing.
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/"}));
}

TEST(Comparer, EachSideUsesItsOwnSpellingOfAFolderName) {
  Harness h;
  WriteFile(h.local / "images/logo.gif", "", T0);
  WriteFile(h.remote / "Images/logo.gif", "", T0);
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "D1 images /Images", "  = logo.gif"}));
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/", "/Images"}));
}

TEST(Comparer, PatternsAreMergedAndAFileMatchedTwiceIsOneEntry) {
  Harness h;
  WriteFile(h.local / "a.htm", "", T0);
  WriteFile(h.local / "b.gif", "", T0);
  WriteFile(h.local / "c.txt", "", T0);
  WriteFile(h.remote / "A.HTM", "", T0);
  h.Run("*.htm;*.HTM; *.gif");
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "  = a.htm", "  > b.gif"}));
  // Sub-folders are listed whatever the types, and each side once per folder.
  Harness g;
  WriteFile(g.local / "sub/x.txt", "", T0);
  g.Run("*.htm;*.gif");
  EXPECT_EQ(g.Dump(), (Lines{"D0 . /", "D2 sub /sub"}));
  WriteFile(g.remote / "sub/y.txt", "", T0);
  g.Run("*.htm;*.gif");
  EXPECT_EQ(g.lister.listed, (std::vector<std::string>{"/", "/", "/sub"}));
}

TEST(Comparer, NamesThatDifferOnlyInCasePairExactMatchesFirst) {
  Harness h;
  WriteFile(h.local / "a.txt", "", T0);
  WriteFile(h.local / "A.txt", "", T0 + 100);
  WriteFile(h.remote / "a.txt", "", T0);
  h.Run();
  ASSERT_EQ(h.Dump(), (Lines{"D0 . /", "  > A.txt", "  = a.txt"}));
  EXPECT_FALSE(h.Find(".")->entries[0]->remote.has_value());
  EXPECT_EQ(h.Find(".")->entries[1]->remote->name, "a.txt");
}

TEST(Comparer, TreeCarriesClassesOverlaysAndBoldMarks) {
  Harness h;
  WriteFile(h.local / "same/deep/x.txt", "", T0 + 100);  // only the deep folder differs
  WriteFile(h.remote / "same/deep/x.txt", "", T0);
  WriteFile(h.local / "same/ok.txt", "", T0);
  WriteFile(h.remote / "same/ok.txt", "", T0);
  WriteFile(h.local / "z/up.txt", "", T0);
  WriteFile(h.remote / "z/down.txt", "", T0);
  h.Run();
  auto& t = h.tree;
  const TreeItem root = t.GetRootItem();
  EXPECT_EQ(t.Get(root).text, h.local.path() + " <=> /");
  EXPECT_EQ(t.Get(root).image, FolderRoot);
  EXPECT_FALSE(t.Get(root).bold);
  const auto same = t.Get(t.Find({t.Get(root).text, "same"}));
  const auto deep = t.Get(t.Find({t.Get(root).text, "same", "deep"}));
  const auto z = t.Get(t.Find({t.Get(root).text, "z"}));
  EXPECT_EQ(same.image, FolderOnBoth);
  EXPECT_FALSE(same.bold);
  EXPECT_EQ(same.overlay, 0);
  EXPECT_TRUE(same.hasChildren);
  EXPECT_TRUE(same.expanded);  // an ancestor of a folder with differences
  EXPECT_TRUE(deep.bold);
  EXPECT_EQ(deep.overlay, 2);
  EXPECT_FALSE(deep.hasChildren);
  EXPECT_EQ(deep.stateImage, 1);
  EXPECT_TRUE(z.bold);
  EXPECT_EQ(z.overlay, 1);
  EXPECT_EQ(deep.record, h.Find("same/deep"));
  // Every record was announced once, the root last.
  EXPECT_EQ(h.notify.announced.size(), h.collection.GetCount());
  EXPECT_EQ(h.notify.announced.back(), h.collection.GetAt(0));
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
  // Every record that exists has a tree item and was announced exactly once,
  // each folder after its sub-folders.
  EXPECT_EQ(h.tree.Count(), h.collection.GetCount());
  std::map<CFolderRecord*, size_t> when;
  for (size_t i = 0; i < h.notify.announced.size(); ++i) {
    EXPECT_EQ(when.count(h.notify.announced[i]), 0u);
    when[h.notify.announced[i]] = i;
  }
  EXPECT_EQ(when.size(), h.collection.GetCount());
  EXPECT_LT(when[h.Find("b/b2")], when[h.Find("b")]);
  EXPECT_LT(when[h.Find("b")], when[h.Find(".")]);
}

TEST(Comparer, ALinkBackUpTheTreeIsShownButNotWalkedAgain) {
  Harness h;
  WriteFile(h.local / "sub/a.txt", "", T0);
  ASSERT_EQ(symlink("..", (h.local / "sub/loop").c_str()), 0);
  h.Run();
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "D2 sub /sub", "  > a.txt", "D2 sub/loop /sub/loop"}));
}

TEST(Comparer, CheckPathsRefusesWhatWouldScanTheWorkingFolder) {
  TempDir t;
  EXPECT_NE(CFolderComparer::CheckPaths("", "/"), "");
  EXPECT_NE(CFolderComparer::CheckPaths("web", "/"), "");
  // A folder that does not exist yet is fine: it lists as empty.
  EXPECT_EQ(CFolderComparer::CheckPaths(t / "missing/deeper", "/"), "");
  EXPECT_EQ(CFolderComparer::CheckPaths(t.path(), "/"), "");
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
  for (TreeItem i = 1; i <= h.tree.Count(); ++i)
    if (h.tree.Get(i).record == x) {
      EXPECT_EQ(h.tree.Get(i).overlay, kIncompleteOverlay);
      EXPECT_TRUE(h.tree.Get(i).bold);
    }
  // Tagging everything leaves it alone.
  TagAllFiles(h.collection);
  x->TagAll();
  for (auto& e : x->entries) EXPECT_FALSE(e->tagged) << e->Name();
  SyncTotals t;
  CountTagged(h.collection, t, FilterAll);
  EXPECT_EQ(t.taggedUp, 0);
  EXPECT_EQ(t.taggedDown, 1);

  // A local folder that cannot be read, the same (as root, the folder is made
  // unreadable by being a file where a folder should be listed).
  Harness g;
  WriteFile(g.remote / "z/r.txt", "", T0);
  g.comparer.BeginCompare(&g.notify, &g.lister, &g.tree, &g.collection, g.local / "nofolder", "/", true, false);
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
