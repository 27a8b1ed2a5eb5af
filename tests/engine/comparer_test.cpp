#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/folder_state.h"
#include "engine/tags.h"
#include "engine/totals.h"
#include "fs/local_fs.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::TempDir;
using test::WriteFile;

const int64_t T0 = test::UnixTime(2026, 5, 1, 10, 0, 0);

struct Recorder : ICompareListener {
  void FolderAdded(size_t) override {}
  void FolderFinished(CFolderRecord*) override {}
};

// A local folder standing in for the server, which remembers what was listed
// and refuses to list `failAt`.
struct SpyLister : LocalFileSystem {
  using LocalFileSystem::LocalFileSystem;
  std::vector<std::string> listed;
  std::string failAt;
  bool List(const std::string& path, ScanList& out) override {
    listed.push_back(path);
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

// Pairing by name ignoring case, classing by time alone; links up the tree are not walked again.
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
  EXPECT_FALSE(h.Find("case")->entries[0]->remote.has_value());
  EXPECT_EQ(h.Find("case")->entries[1]->remote->name, "a.txt");
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/", "/case", "/Images", "/x"}));
  // Patterns are merged, a file two of them match is one entry; folders are walked whatever the types.
  h.lister.listed.clear();
  h.Run("*.gif;*.GIF; *.htm");
  EXPECT_EQ(h.Dump(), (Lines{"D0 . /", "D1 case /case", "D1 images /Images", "  = logo.gif", "D2 new /new",
                             "D2 new/deep /new/deep", "D2 new/deep/up /new/deep/up", "D3 x /x"}));
  EXPECT_EQ(h.lister.listed, (std::vector<std::string>{"/", "/case", "/Images", "/x"}));
}

// A folder not read whole is marked, never tagged and never copied into.
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
  ASSERT_NE(h.Find("x/sub"), nullptr);
  EXPECT_TRUE(h.Find("x/sub")->entries.empty());
  EXPECT_EQ(std::count(h.lister.listed.begin(), h.lister.listed.end(), "/x/sub"), 0);
  EXPECT_EQ(h.Dump().back(), "  < a.txt");
  EXPECT_EQ(x->TreeOverlay(), kIncompleteOverlay);
  EXPECT_TRUE(x->TreeBold());
  TagAllFiles(h.collection);
  x->TagAll();
  for (auto& e : x->entries) EXPECT_FALSE(e->tagged) << e->Name();
  SyncTotals t;
  CountTagged(h.collection, t, FilterAll);
  EXPECT_EQ(t.taggedUp, 0);
  EXPECT_EQ(t.taggedDown, 1);
  for (auto& e : x->entries) e->state = CopyLocalToRemote, e->tagged = true;
  test::Transfer(h.collection, t, h.lister, test::Directions(true, true));
  EXPECT_FALSE(std::filesystem::exists(h.remote / "x/new.txt"));
  EXPECT_EQ(std::filesystem::last_write_time(h.local / "y/a.txt"), std::filesystem::last_write_time(h.remote / "y/a.txt"));
  // A local top folder that cannot be read (a file stands there): the same.
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

// The state's step and the sweep, each alone: a pair in step is written
// (not when its record says so already), a shared name takes no record, a
// record on neither whole listing is gone; a day-old temporary is named.
TEST(Comparer, TheStateStepAndTheSweepAlone) {
  struct Spy : IRecordedState {
    RecordedFolderList records;
    std::vector<std::string> calls;
    bool Any() override { return true; }
    RecordedFolderList Folder(const std::string&) override { return records; }
    void InStep(const std::string& f, const std::string& n, const RecordedPair&) override { calls.push_back(f + "/" + n); }
    void Gone(const std::string& f, const std::string& n) override { calls.push_back("gone " + f + "/" + n); }
    void Walked(const std::string&) override {}
    void Finish(bool) override {}
  } spy;
  auto fd = [](const char* name, int64_t t) {
    FindData f;
    return f.name = name, f.size = 1, f.lastWrite = t, f;
  };
  const RecordedPair then{{1, 5}, {1, 5}};
  spy.records = {{"a", {{1, 4}, {1, 4}}}, {"b", then}, {"c", then}, {"d", then}, {"e", then}};
  const ScanList local{fd("A", 5), fd("b", 5), fd("E", 5)}, remote{fd("a", 5), fd("b", 5), fd("e", 5)},
      all{fd("c.jpg", 5), fd("C", 5)};
  for (bool whole : {false, true}) {
    CFolderState step(&spy, true, "x", {"e"});
    std::vector<DecidedPair> pairs;
    for (size_t i = 0; i < 3; ++i) pairs.push_back({{&local[i], &remote[i]}, nullptr, InStep});
    for (DecidedPair& p : pairs) p.record = step.RecordOf(p.facts);
    EXPECT_EQ(pairs[2].record, nullptr);
    step.Write(pairs, all, remote, whole);
  }
  EXPECT_EQ(spy.calls, (std::vector<std::string>{"x/a", "x/a", "gone x/d"}));
  const int64_t now = TicksFromUnix(T0);
  ScanList listing{fd(".twinbay-x.part", now - kTicksPerDay - 1), fd(".twinbay-y.part", now - 1), fd("z", 0)};
  CStaleTempSweep sweep;
  sweep.Begin(false);
  LocalFileSystem disk{"/"};
  std::vector<FindData> kept;
  const ScanList other;
  sweep.Sweep(listing, nullptr, disk, true, "/f/", now, false, kept);  // the other side unread: nothing goes
  EXPECT_EQ(listing.size(), 3u);
  sweep.Sweep(listing, &other, disk, true, "/f/", now, false, kept);
  EXPECT_EQ(listing.size(), 2u);
  EXPECT_EQ(kept.size(), 3u);  // the young one, twice; the old one the first time
  ASSERT_EQ(sweep.Found().size(), 1u);
  EXPECT_EQ(sweep.Found()[0].path, "/f/.twinbay-x.part");
}

}  // namespace
}  // namespace twinbay
