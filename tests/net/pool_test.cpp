// Listing over several connections: the compare's result is the same as over
// one connection, whatever the server allows and whatever breaks on the way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/controller.h"
#include "engine/comparer.h"
#include "engine/parallel_lister.h"
#include "net/curl_ftp.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const auto Base = test::ThreeHoursAgo;

// Every record in collection order, with its class, state and entries. Of
// the reason a folder is incomplete only the part before the server's or
// libcurl's words is kept: a cut connection is told in more than one way.
std::string Dump(const CFolderCollection& collection) {
  std::ostringstream o;
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    o << r->localPath << " | " << r->remotePath << " | class " << r->folderClass << (r->incomplete ? " INCOMPLETE " : "")
      << r->incompleteReason.substr(0, r->incompleteReason.find(": ")) << (r->remoteMissing ? " missing" : "") << "\n";
    for (const std::string& s : r->skipped) o << "  skipped " << s << "\n";
    for (const auto& e : r->entries)
      o << "  " << e->Name() << " state " << e->state << " tagged " << e->tagged << " local "
        << (e->local ? e->local->lastWrite : -1) << "/" << (e->local ? e->local->size : 0) << " remote "
        << (e->remote ? e->remote->lastWrite : -1) << "/" << (e->remote ? e->remote->size : 0) << "\n";
  }
  return o.str();
}

struct CompareRun {
  std::string dump;
  int mostHelpers = 0;
  size_t delivered = 0, discarded = 0;
  size_t folders = 0;
};

CompareRun Compare(const FtpTestServer& server, const std::string& local, int connections) {
  CompareRun run;
  CFtpSession session;
  EXPECT_TRUE(session.Connect("127.0.0.1", server.user(), server.password(), server.port())) << session.LastError();
  FtpFileSystem first(session);
  FileSystemPool pool(first, connections);
  FileSystemPool::Lease walk = pool.LeaseFirst();
  CParallelLister lister(*walk, pool, connections - 1);
  CFolderCollection collection;
  test::CompareInto(collection, lister, local, ResolveRemotePath(server.RemoteDir(), session.LoginFolder()), false,
                    true, &lister);
  lister.Stop();
  // Connections are opened only for helpers, one at a time as work waits.
  EXPECT_LE(pool.Opened(), connections - 1);
  EXPECT_GE(pool.Opened(), lister.MostHelpersConnected());
  run.dump = Dump(collection);
  run.mostHelpers = lister.MostHelpersConnected();
  run.delivered = lister.Delivered();
  run.discarded = lister.Discarded();
  run.folders = collection.GetCount();
  return run;
}

// 10 x 10 x 10 folders (1,110 in all) on the server, one file in each of the
// deepest; the local side has part of it, older and newer, and folders of
// its own.
void LayOut(const std::string& server, const std::string& local, int fanOut) {
  const int64_t T = Base();
  for (int a = 0; a < fanOut; ++a)
    for (int b = 0; b < fanOut; ++b)
      for (int c = 0; c < fanOut; ++c) {
        const std::string rel = "a" + std::to_string(a) + "/b" + std::to_string(b) + "/c" + std::to_string(c);
        test::WriteFile(server + "/" + rel + "/page.htm", "server " + rel, T + a * 60);
        if (a < 3 && c % 2 == 0) test::WriteFile(local + "/" + rel + "/page.htm", "local", T + 120);
        if (a == 1 && b == 1) test::WriteFile(local + "/" + rel + "/local-only.txt", "x", T);
      }
  test::WriteFile(local + "/mine/only/here.txt", "local", T);
  test::WriteFile(server + "/Mixed/Case.txt", "server", T);
  test::WriteFile(local + "/mixed/case.TXT", "local", T + 600);
}

TEST(ConnectionPool, OneAndEightConnectionsGiveTheSameRecordsInTheSameOrder) {
  TempDir folder, local;
  chmod(folder.path().c_str(), 0755);
  std::string why;
  auto server = FtpTestServer::Start(FtpTestServer::Kind::PureFtpd, folder.path(), &why);
  ASSERT_TRUE(server) << why;
  LayOut(server->DataDir(), local.path(), 10);
  server->Own(server->DataDir());
  const CompareRun one = Compare(*server, local.path(), 1);
  const CompareRun eight = Compare(*server, local.path(), 8);
  EXPECT_GT(one.folders, 1110u);
  EXPECT_EQ(one.dump.find("INCOMPLETE"), std::string::npos);
  EXPECT_EQ(one.dump, eight.dump);
  EXPECT_EQ(one.delivered, 0u);
  EXPECT_GE(eight.mostHelpers, 2);
  // Most listings came from the helpers, not the walk's own connection.
  EXPECT_GT(eight.delivered, eight.folders / 2);
  EXPECT_EQ(eight.discarded, 0u);
}

TEST(ConnectionPool, AServerThatTakesTwoLoginsIsUsedWithTwoAndTheRunGoesOn) {
  TempDir root, local;
  LayOut(root.path(), local.path(), 4);
  FtpTestServer::PyOptions o;
  o.maxLogins = 2;
  std::string why;
  auto server = FtpTestServer::StartPyftpdlib(root.path(), o, &why);
  ASSERT_TRUE(server) << why;
  const CompareRun eight = Compare(*server, local.path(), 8);
  const CompareRun one = Compare(*server, local.path(), 1);
  EXPECT_EQ(eight.mostHelpers, 1);
  EXPECT_EQ(one.dump.find("INCOMPLETE"), std::string::npos);
  EXPECT_EQ(one.dump, eight.dump);
  EXPECT_GT(eight.delivered, 0u);
}

// One pool serves the compare and the sync after it, and opens a connection
// only when work waits: a 3-folder tree logged in 14 times when the listing
// pool logged in eagerly and the transfer opened a fresh one.
TEST(ConnectionPool, ACompareAndItsSyncShareOneLazyPool) {
  TempDir folder;
  chmod(folder.path().c_str(), 0755);
  std::string why;
  auto server = FtpTestServer::Start(FtpTestServer::Kind::PureFtpd, folder.path(), &why);
  ASSERT_TRUE(server) << why;
  const int64_t T = Base();
  for (const bool small : {false, true}) {
    TempDir local;
    const std::string top = server->DataDir() + (small ? "/small" : "/three");
    for (const std::string& sub : small ? std::vector<std::string>{""} : std::vector<std::string>{"", "/a", "/b"})
      for (int i = 0; i < (small ? 1 : 4); ++i) {
        const std::string n = std::to_string(i);
        test::WriteFile(top + sub + "/down" + n, "server", T + 60);
        if (!small) test::WriteFile(local / (sub + "/up" + n), "local", T + 60);
      }
    server->Own(server->DataDir());
    CFolderCollection collection;
    CSyncController controller(collection);
    OpenFailure failure;
    ASSERT_TRUE(controller.Connect(server->Target(), failure)) << failure.message;
    CompareOptions compare;
    compare.localPath = local.path();
    compare.remotePath = server->RemoteDir() + (small ? "/small" : "/three");
    compare.ignoreSeconds = false;
    ASSERT_TRUE(controller.RunCompare(compare, nullptr, why)) << why;
    const int openedByCompare = controller.Pool()->Opened();
    SyncTotals totals;
    controller.RunSync(test::Directions(true, true), totals, nullptr);
    for (const TransferOutcome& out : controller.Job()->Outcomes()) EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(controller.Job()->Outcomes().size(), small ? 1u : 24u);
    // At most the 8 connections asked for in all (the session's own one of
    // them); a one-folder tree with one file to copy opens none beside it.
    EXPECT_LE(1 + controller.Pool()->Opened(), 8);
    EXPECT_LE(openedByCompare, controller.Pool()->Opened());
    if (small) {
      EXPECT_EQ(controller.Pool()->Opened(), 0);
    }
    EXPECT_TRUE(controller.IncompleteFolders().empty());
  }
}

TEST(ConnectionPool, AConnectionCutMidRunIsMadeAgainAndItsFolderListedWhole) {
  TempDir root, local;
  LayOut(root.path(), local.path(), 5);
  FtpTestServer::PyOptions o;
  o.cutSecondLogin = true;  // the first helper's third listing cuts it
  std::string why;
  auto server = FtpTestServer::StartPyftpdlib(root.path(), o, &why);
  ASSERT_TRUE(server) << why;
  const CompareRun eight = Compare(*server, local.path(), 8);
  const CompareRun one = Compare(*server, local.path(), 1);
  EXPECT_EQ(eight.discarded, 1u);
  EXPECT_EQ(eight.dump.find("INCOMPLETE"), std::string::npos);
  EXPECT_EQ(one.dump, eight.dump);
}

TEST(ConnectionPool, RefusedAndCutFoldersComeOutAsWithOneConnection) {
  TempDir root, local;
  LayOut(root.path(), local.path(), 3);
  const int64_t T = Base();
  test::WriteFile(root / "a1/locked/x.txt", "x", T);
  test::WriteFile(root / "a2/b0/broken/y.txt", "y", T);
  FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  o.cutList = "broken";
  std::string why;
  auto server = FtpTestServer::StartPyftpdlib(root.path(), o, &why);
  ASSERT_TRUE(server) << why;
  const CompareRun eight = Compare(*server, local.path(), 8);
  const CompareRun one = Compare(*server, local.path(), 1);
  EXPECT_NE(one.dump.find("locked | /a1/locked | class 3 INCOMPLETE"), std::string::npos) << one.dump.substr(0, 2000);
  EXPECT_NE(one.dump.find("broken | /a2/b0/broken | class 3 INCOMPLETE"), std::string::npos);
  EXPECT_EQ(one.dump, eight.dump);
}

}  // namespace
}  // namespace twinbay
