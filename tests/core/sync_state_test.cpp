// The sync state database: what is recorded reads back under folded names, a
// place can be forgotten, another program's database is left alone, and a
// writer killed mid-run leaves only whole rows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/controller.h"
#include "core/sync_state.h"
#include "engine/tags.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

TEST(SyncState, RecordsReadBackInNameOrderAndPlacesAreForgotten) {
  test::TempDir dir;
  SyncStateStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir / "deep/state.sqlite", error)) << error;
  const int64_t pair = store.Pair("site", "/l", "/r", true);
  ASSERT_GT(pair, 0);
  EXPECT_EQ(store.Pair("site", "/l", "/r", false), pair);
  EXPECT_EQ(store.Pair("site", "/l", "/other", false), 0);
  EXPECT_FALSE(store.HasRows(pair));
  ASSERT_TRUE(store.Record(pair, "sub", "z", {{5, 100}, {5, 200}}));
  ASSERT_TRUE(store.Record(pair, "sub", "index.html", {{5, 100}, {5, 200}}));
  ASSERT_TRUE(store.Record(pair, "sub", "index.html", {{6, 101}, {6, 201}}));  // the same pair, replaced
  ASSERT_TRUE(store.Record(pair, "", "a", {{1, 1}, {1, 1}}));
  const auto sub = store.Folder(pair, "sub");
  ASSERT_EQ(sub.size(), 2u);
  EXPECT_EQ(sub[0].name, "index.html");
  EXPECT_EQ(sub[0].sides, (RecordedPair{{6, 101}, {6, 201}}));
  EXPECT_EQ(sub[1].name, "z");
  ASSERT_TRUE(store.Remove(pair, "", "a"));
  EXPECT_TRUE(store.Folder(pair, "").empty());
  EXPECT_EQ(store.ForgetPlace("site"), 1);
  EXPECT_FALSE(store.HasRows(pair));
  EXPECT_EQ(store.Pair("site", "/l", "/r", false), 0);
}

TEST(SyncState, AnotherProgramsDatabaseIsRefusedAndLeftAlone) {
  test::TempDir dir;
  const std::string file = dir / "other.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  SyncStateStore store;
  std::string error;
  EXPECT_FALSE(store.Open(file, error));
  EXPECT_NE(error.find("not a state file"), std::string::npos) << error;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &s, nullptr);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);  // no table of ours was added
  sqlite3_finalize(s);
  sqlite3_close(db);
}

TEST(SyncState, AWriterKilledMidRunLeavesOnlyWholeRows) {
  test::TempDir dir;
  const std::string file = dir / "state.sqlite";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SyncStateStore store;
    std::string error;
    if (!store.Open(file, error)) _exit(3);
    const int64_t pair = store.Pair("p", "/l", "/r", true);
    for (int64_t i = 0;; ++i) store.Record(pair, "", "f" + std::to_string(i % 5000), {{uint64_t(i), i}, {uint64_t(i), i}});
  }
  usleep(300 * 1000);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  SyncStateStore store;
  std::string error;
  ASSERT_TRUE(store.Open(file, error)) << error;
  const int64_t pair = store.Pair("p", "/l", "/r", false);
  ASSERT_GT(pair, 0);
  const auto rows = store.Folder(pair, "");
  EXPECT_FALSE(rows.empty());
  for (const auto& [name, r] : rows) {
    EXPECT_EQ(r.local.size, static_cast<uint64_t>(r.local.time)) << name;
    EXPECT_EQ(r.remote, r.local) << name;
    EXPECT_EQ(std::stoll(name.substr(1)), r.local.time % 5000) << name;
  }
}

// One folder pair through several runs of the controller (the server stood in
// for by a local folder, which takes the same compare, copy and delete code):
// deletions follow the other side, edits on both sides and a deletion against
// an edit are conflicts left alone, emptied folders go, the share guard and a
// missing top folder stop everything.
TEST(SyncMemory, DeletionsFollowConflictsStayAndGuardsStopTheRun) {
  test::TempDir top;
  const std::string l = top / "l", r = top / "r";
  const int64_t t0 = test::ThreeHoursAgo();
  for (const char* f : {"a", "b", "c", "d", "e", "f", "g", "h", "old/x", "old/y"}) {
    test::WriteFile(l + "/" + f, f, t0);
    test::WriteFile(r + "/" + f, f, t0);
  }
  test::WriteFile(l + "/new", "new", t0);  // one side only, no record: copied as always
  CFolderCollection collection;
  CSyncController controller(collection);
  controller.SetStateFile(top / "state.sqlite");
  FileSystemTarget target;
  target.protocol = FsProtocol::Local;
  target.localRoot = r;
  OpenFailure failure;
  ASSERT_TRUE(controller.Connect(target, failure));
  auto run = [&](bool sync, long maxDelete = -1, bool allowed = true) {
    CompareOptions c;
    c.localPath = l;
    c.remotePath = "/";
    c.ignoreSeconds = false;
    std::string problem;
    EXPECT_TRUE(controller.RunCompare(c, nullptr, problem)) << problem;
    std::map<std::string, int> states;  // "folder/name" -> state
    {
      auto guard = collection.Lock();
      for (size_t i = 0; i < collection.GetCount(); ++i)
        for (auto& e : collection.GetAt(i)->entries)
          states[RecordedFolder(*collection.GetAt(i)) + "/" + e->Name()] = e->state * 10 + e->IsTagged();
    }
    TransferOptions o;
    o.localToRemote = o.remoteToLocal = o.deleteFollowing = true;
    o.ignoreSeconds = false;
    SyncTotals totals;
    if (sync) {
      EXPECT_EQ(controller.RunSync(o, totals, nullptr, &problem, maxDelete), allowed) << problem;
    }
    return states;
  };
  EXPECT_EQ(run(true)["/new"], CopyLocalToRemote * 10 + 1);  // the first run: as without a state
  EXPECT_EQ(controller.RecordedFiles(), 0);

  std::filesystem::remove(l + "/a");                 // deleted locally
  std::filesystem::remove(r + "/b");                 // deleted on the server
  test::WriteFile(l + "/c", "c local", t0 + 60);     // edited on both sides
  test::WriteFile(r + "/c", "c remote", t0 + 120);
  std::filesystem::remove(l + "/d");                 // deleted here, edited there
  test::WriteFile(r + "/d", "d remote", t0 + 60);
  std::filesystem::remove_all(l + "/old");           // a whole folder deleted locally
  auto states = run(true, 0, false);                 // --max-delete 0: refused, nothing done
  EXPECT_EQ(controller.RecordedFiles(), 11);
  EXPECT_EQ(states["/a"], DeleteRemote * 10 + 1);
  EXPECT_EQ(states["/b"], DeleteLocal * 10 + 1);
  EXPECT_EQ(states["/c"], Conflict * 10);            // never tagged
  EXPECT_EQ(states["/d"], Conflict * 10);
  EXPECT_EQ(states["old/x"], DeleteRemote * 10 + 1);
  EXPECT_TRUE(std::filesystem::exists(r + "/a") && std::filesystem::exists(l + "/b"));
  {  // the server's "a" changes after the compare: its deletion is refused
    test::WriteFile(r + "/a", "a changed", t0 + 60);
    UntagAllFiles(collection);
    for (auto& e : collection.GetAt(0)->entries) SetTagged(*e, e->Name() == "a");
    TransferOptions o;
    o.localToRemote = o.deleteFollowing = true;
    SyncTotals totals;
    ASSERT_TRUE(controller.RunSync(o, totals, nullptr));
    ASSERT_EQ(controller.Job()->Outcomes().size(), 1u);
    EXPECT_FALSE(controller.Job()->Outcomes()[0].ok);
    EXPECT_EQ(test::ReadFile(r + "/a"), "a changed");
    test::WriteFile(r + "/a", "a", t0);
  }

  states = run(true);  // 4 of 11 recorded: within the share
  for (const char* gone : {"/a", "/b", "/old/x"}) EXPECT_FALSE(std::filesystem::exists(r + gone)) << gone;
  EXPECT_FALSE(std::filesystem::exists(l + "/b"));
  EXPECT_FALSE(std::filesystem::exists(r + "/old"));  // emptied, so removed
  EXPECT_EQ(test::ReadFile(l + "/c"), "c local");     // the conflicts are left alone
  EXPECT_EQ(test::ReadFile(r + "/c"), "c remote");
  EXPECT_EQ(test::ReadFile(r + "/d"), "d remote");
  states = run(false);
  EXPECT_EQ(states.size(), 7u);                      // c, d, e, f, g, h, new (and no a, b, old/*)
  EXPECT_EQ(states["/e"], InStep * 10 + 0);

  for (const char* f : {"e", "f", "g", "h", "new"}) std::filesystem::remove(l + "/" + f);
  run(true, -1, false);  // 5 deletions of 7 recorded: more than half, refused
  EXPECT_TRUE(std::filesystem::exists(r + "/e"));
  for (const char* f : {"e", "f", "g", "h", "new"}) test::WriteFile(l + "/" + f, f, t0);
  std::filesystem::rename(l, top / "unmounted");     // the top folder is missing
  run(true);
  EXPECT_EQ(controller.IncompleteFolders().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(r + "/e") && !std::filesystem::exists(l));
}

}  // namespace
}  // namespace twinbay
