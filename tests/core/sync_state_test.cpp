// The sync state database: what is recorded reads back in name order, a place
// can be forgotten, another program's database is left alone, an older layout
// of ours starts afresh, and a writer killed mid-run leaves only whole rows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/controller.h"
#include "core/pair_lock.h"
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
  // The default state, its folder, SQLite's files and the locks are private (wider modes repaired).
  setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
  const std::string folder = dir / "Kestrion", file = SyncStateStore::DefaultFile();
  test::WriteFile(file, "", 0);
  for (const std::string& p : {folder, file}) std::filesystem::permissions(p, std::filesystem::perms::all);
  SyncStateStore own;
  PairLock lock;
  ASSERT_TRUE(own.Open(file, error) && own.Pair("site", "/l", "/r", true) > 0 && lock.Take(folder, "k", error));
  for (const auto& [p, mode] : {std::pair{folder, 0700}, {file, 0600}, {file + "-wal", 0600}, {file + "-shm", 0600},
                                {folder + "/twinbay-locks", 0700}})
    EXPECT_EQ(static_cast<int>(std::filesystem::status(p).permissions()), mode) << p;
  const int64_t pair = store.Pair("site", "/l", "/r", true);
  ASSERT_GT(pair, 0);
  EXPECT_EQ(store.Pair("site", "/l", "/r", false), pair);
  EXPECT_EQ(store.Pair("site", "/l", "/other", false), 0);
  EXPECT_FALSE(store.HasRows(pair));
  ASSERT_TRUE(store.Record(pair, "sub", "z", {{5, 100}, {5, 200}}));
  ASSERT_TRUE(store.Record(pair, "sub", "index.html", {{5, 100}, {5, 200}}));
  ASSERT_TRUE(store.Record(pair, "sub", "index.html", {{6, 101}, {6, 201}}));  // the same pair, replaced
  ASSERT_TRUE(store.Record(pair, "", "a", {{1, 1}, {1, 1}}));
  // Many at once (whole statements and a rest), one of them replacing a row.
  std::vector<RecordedFile> many;
  for (uint64_t i = 0; i < 40; ++i) many.push_back({"m" + std::to_string(10 + i), {{i, 1}, {i, 2}}});
  many[3] = {"z", {{9, 9}, {9, 9}}};
  std::vector<const RecordedFile*> rows;
  for (const RecordedFile& f : many) rows.push_back(&f);
  ASSERT_TRUE(store.RecordMany(pair, "sub", rows.data(), rows.size()));
  const auto sub = store.Folder(pair, "sub");
  ASSERT_EQ(sub.size(), 41u);
  EXPECT_EQ(sub[0].name, "index.html");
  EXPECT_EQ(sub[0].sides, (RecordedPair{{6, 101}, {6, 201}}));
  EXPECT_EQ(sub[39].name, "m49");
  EXPECT_EQ(sub[39].sides, (RecordedPair{{39, 1}, {39, 2}}));
  EXPECT_EQ(sub[40].name, "z");
  EXPECT_EQ(sub[40].sides.local.size, 9u);
  ASSERT_TRUE(store.Remove(pair, "", "a"));
  EXPECT_TRUE(store.Folder(pair, "").empty());
  EXPECT_EQ(store.ForgetPlace("site"), 1);
  EXPECT_FALSE(store.HasRows(pair));
  EXPECT_EQ(store.Pair("site", "/l", "/r", false), 0);
}

// A compare's rows go to the session's writer thread in batches (of 3 here);
// its end waits for them all and drops the folders it did not meet.
TEST(SyncState, ACompareIsWrittenInBatchesOnTheSessionsThread) {
  test::TempDir dir;
  SyncStateStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir / "state.sqlite", error)) << error;
  const int64_t pair = store.Pair("p", "/l", "/r", true);
  ASSERT_TRUE(store.Record(pair, "gone", "x", {{1, 1}, {1, 1}}));  // a folder not met
  ASSERT_TRUE(store.Record(pair, "a", "old", {{1, 1}, {1, 1}}));   // gone from both sides
  {
    StateSession session(store, pair, true, 3);
    EXPECT_EQ(session.Recorded(), 2);
    for (const char* folder : {"", "a", "b"}) {
      session.Walked(folder);
      for (uint64_t i = 0; *folder && i < 20; ++i) session.InStep(folder, "f" + std::to_string(i), {{i, 1}, {i, 2}});
    }
    session.Gone("a", "old");
    session.Finish(true);
    EXPECT_EQ(session.Error(), "");
  }
  EXPECT_EQ(store.Count(pair), 40);
  EXPECT_TRUE(store.Folder(pair, "gone").empty());
  const auto b = store.Folder(pair, "b");
  ASSERT_EQ(b.size(), 20u);
  EXPECT_EQ(b[19].sides, (RecordedPair{{9, 1}, {9, 2}}));  // "f9", last in name order
}

// Overwrites the pages of the files table (one, a leaf, with a few rows)
// with garbage.
void DamageFilesTable(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_prepare_v2(db, "SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM sqlite_master"
                     " WHERE name = 'files'", -1, &s, nullptr);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  const long page = sqlite3_column_int(s, 0), size = sqlite3_column_int(s, 1);
  sqlite3_finalize(s);
  sqlite3_close(db);  // the last one: the journal is written back first
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp((page - 1) * size);
  f << std::string(static_cast<size_t>(size), '\xa5');
}

TEST(SyncState, OthersDatabasesAreLeftAloneOlderOnesTakenOverDamagedOnesRefused) {
  test::TempDir dir;
  auto make = [&](const std::string& name, const char* sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open((dir / name).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    return dir / name;
  };
  const std::string other = make("other.sqlite", "CREATE TABLE t(x)");
  const std::string newer = make("newer.sqlite", "PRAGMA application_id=1415004761; PRAGMA user_version=9;");
  const std::string older = make("older.sqlite",
                                 "PRAGMA application_id=1415004761; CREATE TABLE pairs(id INTEGER PRIMARY KEY,"
                                 " place TEXT, local_root TEXT, remote_root TEXT, UNIQUE(place, local_root,"
                                 " remote_root)); CREATE TABLE files(pair, folder, name, local_size, local_time,"
                                 " remote_size, remote_time, PRIMARY KEY(pair, folder, name)) WITHOUT ROWID;"
                                 " INSERT INTO pairs VALUES(1, 'p', '/l', '/r');"
                                 " INSERT INTO files VALUES(1, '', 'a', 1, 1, 1, 1);");
  for (const auto& [file, why] : {std::pair{other, "not a state file"}, {newer, "newer version"}}) {
    SyncStateStore store;
    std::string error;
    EXPECT_FALSE(store.Open(file, error));
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &s, nullptr);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);  // no table of ours was added
  sqlite3_finalize(s);
  sqlite3_close(db);
  // The older layout's rows go (the next compare is a first run); its pairs
  // stay, and the file works as any other.
  int64_t pair = 0, named = 0;
  std::string error;
  {
    SyncStateStore store;
    ASSERT_TRUE(store.Open(older, error)) << error;
    pair = store.Pair("p", "/l", "/r", false);
    EXPECT_EQ(pair, 1);
    EXPECT_FALSE(store.HasRows(pair));
    ASSERT_TRUE(store.Record(pair, "", "a", {{1, 1}, {1, 1}}));
    EXPECT_EQ(store.Count(pair), 1);
    // A pair kept under a connection's name becomes the place's (the place
    // has no records); a place with records of its own keeps them.
    named = store.Pair("Site", "/l", "/r", true);
    ASSERT_TRUE(store.Record(named, "", "n", {{1, 1}, {1, 1}}));
    EXPECT_EQ(store.Pair("ftp://u@h:21", "/l", "/r", true, {"Other", "Site"}), named);
    EXPECT_EQ(store.Pair("Site", "/l", "/r", false), 0);
    EXPECT_EQ(store.Pair("ftp://u@h:21", "/l", "/r", true, {"p"}), named);
    EXPECT_EQ(store.Count(pair), 1);
  }

  // Damaged: refused by the check on opening; unchecked, every read says it
  // failed rather than give no rows.
  SyncStateStore store;
  DamageFilesTable(older);
  EXPECT_FALSE(store.Open(older, error));
  EXPECT_NE(error.find("it is damaged"), std::string::npos) << error;
  EXPECT_TRUE(store.Damaged());
  ASSERT_TRUE(store.Open(older, error, false)) << error;
  EXPECT_EQ(store.Count(pair), -1);
  EXPECT_NE(store.ReadError().find("malformed"), std::string::npos) << store.ReadError();
  store.ClearReadError();
  EXPECT_TRUE(store.Folder(named, "").empty());
  EXPECT_NE(store.ReadError(), "");

  // A folder that cannot be written is said to be one (as another user: root
  // writes anywhere).
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::permissions(dir / "ro", std::filesystem::perms(0555));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
    SyncStateStore ro;
    std::string why;
    ro.Open(dir / "ro/state.sqlite", why);
    _exit(write(out[1], why.data(), why.size()) > 0 ? 0 : 4);
  }
  close(out[1]);
  char said[512] = {};
  EXPECT_GT(read(out[0], said, sizeof said - 1), 0);
  close(out[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(std::string(said), "cannot use the sync state " + dir / "ro/state.sqlite" + ": its folder " + dir / "ro" +
                                   " cannot be written (Permission denied)");
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
  for (const char* f : {"a", "b", "c", "d", "e", "f", "g", "h", "old/x", "old/y", "s/k", "t/m"}) {
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
  bool minutes = false;  // compared to the minute ("ignore seconds")
  std::string exclude;   // patterns given
  auto run = [&](bool sync, long maxDelete = -1, bool allowed = true) {
    CompareOptions c;
    c.exclude = exclude;
    c.localPath = l;
    c.remotePath = "/";
    c.ignoreSeconds = minutes;
    std::string problem;
    EXPECT_TRUE(controller.RunCompare(c, nullptr, problem)) << problem;
    std::map<std::string, int> states;  // "/folder/name" -> state
    {
      auto guard = collection.Lock();
      for (size_t i = 0; i < collection.GetCount(); ++i)
        for (auto& e : collection.GetAt(i)->entries)
          states[collection.GetAt(i)->localPath.substr(l.size()) + "/" + e->Name()] = e->state * 10 + e->IsTagged();
    }
    TransferOptions o;
    o.localToRemote = o.remoteToLocal = o.deleteFollowing = true;
    o.ignoreSeconds = minutes;
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
  EXPECT_EQ(controller.RecordedFiles(), 13);
  EXPECT_EQ(states["/a"], DeleteRemote * 10 + 1);
  EXPECT_EQ(states["/b"], DeleteLocal * 10 + 1);
  EXPECT_EQ(states["/c"], Conflict * 10);            // never tagged
  EXPECT_EQ(states["/d"], Conflict * 10);
  EXPECT_EQ(states["/old/x"], DeleteRemote * 10 + 1);
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

  states = run(true);  // 4 of 13 recorded: within the share
  for (const char* gone : {"/a", "/b", "/old/x"}) EXPECT_FALSE(std::filesystem::exists(r + gone)) << gone;
  EXPECT_FALSE(std::filesystem::exists(l + "/b"));
  EXPECT_FALSE(std::filesystem::exists(r + "/old"));  // emptied, so removed
  EXPECT_EQ(test::ReadFile(l + "/c"), "c local");     // the conflicts are left alone
  EXPECT_EQ(test::ReadFile(r + "/c"), "c remote");
  EXPECT_EQ(test::ReadFile(r + "/d"), "d remote");
  // Compared to the minute, a same-size edit 40 s after the sync is an edit
  // (copy up), and with a server edit after it a conflict.
  minutes = true;
  test::WriteFile(l + "/g", "G", t0 + 40);
  EXPECT_EQ(run(false)["/g"], CopyLocalToRemote * 10 + 1);
  test::WriteFile(r + "/g", "g", t0 + 300);
  EXPECT_EQ(run(false)["/g"], Conflict * 10);
  test::WriteFile(l + "/g", "g", t0);
  test::WriteFile(r + "/g", "g", t0);
  minutes = false;
  // "e" and "s" but for case, never synchronised: not taken for "e" and "s/k".
  // "f" and "t" links into a disk not mounted: there, so not deleted.
  test::WriteFile(l + "/E", "e", t0);
  test::WriteFile(l + "/S/k", "s/k", t0);
  std::filesystem::remove(l + "/f");
  std::filesystem::remove_all(l + "/t");
  std::filesystem::create_symlink(top / "nowhere/f", l + "/f");
  std::filesystem::create_directory_symlink(top / "nowhere/t", l + "/t");
  states = run(false);
  EXPECT_EQ(states.size(), 11u);  // c, d, e, E, f, g, h, new, s/k, S/k, t/m (and no a, b, old/*)
  EXPECT_EQ(states["/e"], InStep * 10 + 0);
  for (const char* copied : {"/E", "/S/k"}) EXPECT_EQ(states[copied], CopyLocalToRemote * 10 + 1) << copied;
  for (const char* there : {"/f", "/t/m"}) EXPECT_EQ(states[there], CopyRemoteToLocal * 10 + 1) << there;
  for (const char* f : {"E", "S", "f", "t"}) std::filesystem::remove_all(l + "/" + f);
  test::WriteFile(l + "/f", "f", t0);
  test::WriteFile(l + "/t/m", "t/m", t0);
  // "h" left out by the local ".twinbayignore", folder "t" by a pattern given:
  // gone on the server since they were in step, yet nothing is deleted, "t"
  // is not walked, and their records stay for when they are let in again.
  test::WriteFile(l + "/.twinbayignore", "# ours\n\nH\n", t0);
  std::filesystem::remove(r + "/h");
  std::filesystem::remove(r + "/t/m");
  exclude = "/T/";
  states = run(true);
  EXPECT_FALSE(states.count("/h") || states.count("/t/m"));
  EXPECT_TRUE(std::filesystem::exists(l + "/h") && std::filesystem::exists(l + "/t/m"));
  EXPECT_TRUE(std::filesystem::exists(r + "/.twinbayignore"));  // the file itself is synchronised
  for (const std::string& side : {l, r}) std::filesystem::remove(side + "/.twinbayignore");
  exclude.clear();
  states = run(false);
  EXPECT_EQ(states["/h"], DeleteLocal * 10 + 1);
  EXPECT_EQ(states["/t/m"], DeleteLocal * 10 + 1);
  test::WriteFile(r + "/h", "h", t0);
  test::WriteFile(r + "/t/m", "t/m", t0);

  for (const char* f : {"e", "f", "g", "h", "new"}) std::filesystem::remove(l + "/" + f);
  for (const char* f : {"n1", "n2"}) test::WriteFile(r + "/" + f, f, t0);  // new there: no dilution
  run(true, -1, false);  // 5 deletions of 9 recorded: more than half, refused
  EXPECT_TRUE(std::filesystem::exists(r + "/e"));
  for (const char* f : {"e", "f", "g", "h", "new"}) test::WriteFile(l + "/" + f, f, t0);
  std::filesystem::rename(l, top / "unmounted");     // the top folder is missing
  run(true);
  EXPECT_EQ(controller.IncompleteFolders().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(r + "/e") && !std::filesystem::exists(l));
}

// One run per folder pair, with or without the state, whichever way the
// local folder is written: a second process is refused while the first holds
// the pair, and goes once it is killed. A state damaged since the last run
// stops the compare (nothing copied or deleted), and the way out it names
// sets the file aside.
TEST(SyncMemory, OneRunPerPairAndADamagedStateStopsTheRun) {
  test::TempDir top;
  const std::string l = top / "l", r = top / "r", state = top / "state.sqlite";
  for (const std::string& f : {l + "/a", l + "/b", r + "/a", r + "/b"}) test::WriteFile(f, "x", test::ThreeHoursAgo());
  std::filesystem::create_directory_symlink(l, top / "link");
  FileSystemTarget target;
  target.protocol = FsProtocol::Local;
  target.localRoot = r;
  // A compare and a sync of `local` by a controller of its own, which goes
  // at the end but for the one through the link (the holder's, kept).
  std::vector<std::unique_ptr<CFolderCollection>> kept;
  auto go = [&](bool memory, std::string& problem, const std::string& local) {
    auto* controller = new CSyncController(*kept.emplace_back(std::make_unique<CFolderCollection>()));
    std::unique_ptr<CSyncController> owner(local == l ? controller : nullptr);
    OpenFailure failure;
    controller->SetStateFile(state);
    EXPECT_TRUE(controller->Connect(target, failure));
    CompareOptions c;
    c.localPath = local;
    c.memory = memory ? CompareOptions::Memory::On : CompareOptions::Memory::Off;
    const bool ok = controller->RunCompare(c, nullptr, problem);
    TransferOptions o;
    o.localToRemote = o.remoteToLocal = o.deleteFollowing = true;
    SyncTotals totals;
    return controller->RunSync(o, totals, nullptr, &problem) && ok;
  };
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    std::string problem;
    _exit(write(ready[1], go(true, problem, top / "link") ? "1" : "0", 1) == 1 ? pause() : 3);
  }
  char said = 0;
  ASSERT_EQ(read(ready[0], &said, 1), 1);
  EXPECT_EQ(said, '1');
  std::string problem, note;
  EXPECT_FALSE(go(false, problem, l));
  EXPECT_EQ(problem, "Not compared: another run (process " + std::to_string(holder) +
                         ") is comparing or synchronising these folders; try again when it has ended.");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_TRUE(go(true, problem, l)) << problem;

  DamageFilesTable(state);
  std::filesystem::remove(l + "/a");
  EXPECT_FALSE(go(true, problem, l));
  EXPECT_NE(problem.find("it is damaged (Page "), std::string::npos) << problem;
  EXPECT_NE(problem.find("nothing was copied or deleted. `twinbay-cli state forget --remote-dir " + r +
                         "` sets the damaged file aside"), std::string::npos) << problem;
  EXPECT_TRUE(!std::filesystem::exists(l + "/a") && std::filesystem::exists(r + "/a"));
  EXPECT_EQ(CSyncController::ForgetState(target, "", problem, note, state), 0) << problem;
  EXPECT_NE(note.find("kept as " + state + ".damaged"), std::string::npos) << note;
  ASSERT_TRUE(go(true, problem, l)) << problem;  // a first run: copied back
  EXPECT_TRUE(std::filesystem::exists(l + "/a"));
}

}  // namespace
}  // namespace twinbay
