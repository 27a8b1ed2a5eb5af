// The sync state database: what is recorded reads back under folded names, a
// place can be forgotten, another program's database is left alone, and a
// writer killed mid-run leaves only whole rows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "core/sync_state.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

TEST(SyncState, RecordsReadBackByFoldedNameAndPlacesAreForgotten) {
  test::TempDir dir;
  SyncStateStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir / "deep/state.sqlite", error)) << error;
  const int64_t pair = store.Pair("site", "/l", "/r", true);
  ASSERT_GT(pair, 0);
  EXPECT_EQ(store.Pair("site", "/l", "/r", false), pair);
  EXPECT_EQ(store.Pair("site", "/l", "/other", false), 0);
  EXPECT_FALSE(store.HasRows(pair));
  ASSERT_TRUE(store.Record(pair, "Sub", "Index.HTML", {{5, 100}, {5, 200}}));
  ASSERT_TRUE(store.Record(pair, "sub", "index.html", {{6, 101}, {6, 201}}));  // the same pair, replaced
  ASSERT_TRUE(store.Record(pair, "", "a", {{1, 1}, {1, 1}}));
  const auto sub = store.Folder(pair, "SUB");
  ASSERT_EQ(sub.size(), 1u);
  EXPECT_EQ(sub.at("index.html"), (RecordedPair{{6, 101}, {6, 201}}));
  ASSERT_TRUE(store.Remove(pair, "", "A"));
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

}  // namespace
}  // namespace twinbay
