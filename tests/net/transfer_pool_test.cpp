// Copies over several connections: the same files, times and outcomes as over
// one connection, whatever the server allows and whatever breaks on the way;
// an abort with copies in flight leaves nothing half-written on either side.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "engine/comparer.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"
#include "net/ftp_session.h"
#include "net/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const auto Base = test::ThreeHoursAgo;

// Every file below a folder as "path size mtime content-digest", and every
// temporary file of the transfer as "LEFTOVER path".
std::string Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = std::filesystem::relative(e.path(), root).string();
    if (e.path().filename().string().rfind(".twinbay-", 0) == 0) files[rel] = "LEFTOVER";
    if (!e.is_regular_file()) continue;
    const std::string content = test::ReadFile(e.path().string());
    const auto mtime = std::chrono::duration_cast<std::chrono::seconds>(
                           std::filesystem::last_write_time(e.path()).time_since_epoch())
                           .count();
    files[rel] = std::to_string(content.size()) + " " + std::to_string(mtime) + " " +
                 std::to_string(std::hash<std::string>()(content));
  }
  std::ostringstream o;
  for (const auto& [path, what] : files) o << path << " " << what << "\n";
  return o.str();
}

// A local folder against the server's folder, compared over the session.
struct Pair {
  TempDir local, serverRoot;
  std::unique_ptr<FtpTestServer> server;
  std::string dataDir, remote;
  CFtpSession session;
  CFolderCollection collection;
  SyncTotals totals;
  std::unique_ptr<FtpFileSystem> remoteFs;
  std::unique_ptr<CTransferJob> job;

  // pure-ftpd with the default options; pyftpdlib with the options given.
  explicit Pair(const FtpTestServer::PyOptions* py = nullptr) {
    std::string why;
    if (py) {
      server = FtpTestServer::StartPyftpdlib(serverRoot.path(), *py, &why);
      dataDir = serverRoot.path();
      remote = "/";
    } else {
      server = FtpTestServer::Start(FtpTestServer::Kind::PureFtpd, serverRoot.path(), &why);
      if (server) dataDir = server->DataDir(), remote = server->RemoteDir();
    }
    if (!server) ADD_FAILURE() << why;
  }
  bool Connect() {
    if (!server) return false;
    server->Own(dataDir);
    if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port())) {
      ADD_FAILURE() << session.LastError();
      return false;
    }
    remote = ResolveRemotePath(remote, session.LoginFolder());
    return true;
  }
  void Compare() {
    FtpFileSystem lister(session);
    test::CompareInto(collection, lister, local.path(), remote);
  }
  void Sync(int connections, ITransferListener* listener = nullptr) {
    TransferOptions o = test::Directions(true, true);
    o.connections = connections;
    remoteFs = std::make_unique<FtpFileSystem>(session);
    job = test::Transfer(collection, totals, *remoteFs, o, listener);
  }
  // The outcomes, with the paths made relative, in their order.
  std::string Outcomes() const {
    std::ostringstream o;
    for (const TransferOutcome& out : job->Outcomes())
      o << (out.upload ? "up " : "down ") << out.localPath.substr(local.path().size()) << " "
        << out.remotePath.substr(remote.size()) << (out.ok ? " ok" : " FAILED ") << out.error
        << (out.warning.empty() ? "" : " warning ") << out.warning << "\n";
    return o.str();
  }
  size_t Failed() const {
    return std::count_if(job->Outcomes().begin(), job->Outcomes().end(), [](const TransferOutcome& o) { return !o.ok; });
  }
  std::string States() const {
    std::ostringstream o;
    auto guard = collection.Lock();
    for (size_t i = 0; i < collection.GetCount(); ++i)
      for (const auto& e : collection.GetAt(i)->entries)
        o << collection.GetAt(i)->localPath.substr(local.path().size()) << "/" << e->Name() << " " << e->state << "\n";
    return o.str();
  }
};

// `count` files in a few folders each way, some replacing older copies, some
// in folders the other side does not have yet.
void LayOut(Pair& r, int count) {
  const int64_t T = Base();
  for (int i = 0; i < count; ++i) {
    const std::string folder = "d" + std::to_string(i % 7) + "/";
    const std::string content(100 + i * 37 % 3000, static_cast<char>('a' + i % 26));
    test::WriteFile(r.local / ("up/" + folder + "u" + std::to_string(i) + ".txt"), content, T + i);
    test::WriteFile(r.dataDir + "/down/" + folder + "w" + std::to_string(i) + ".txt", content, T + i);
  }
  for (int i = 0; i < count / 10; ++i) {
    test::WriteFile(r.local / ("both/newer-here" + std::to_string(i)), "here, newer", T + 3600);
    test::WriteFile(r.dataDir + "/both/newer-here" + std::to_string(i), "there, older", T);
    test::WriteFile(r.local / ("both/newer-there" + std::to_string(i)), "here, older", T);
    test::WriteFile(r.dataDir + "/both/newer-there" + std::to_string(i), "there, newer", T + 3600);
  }
}

TEST(TransferPool, OneAndEightConnectionsCopyTheSameFilesWithTheSameTimesAndOutcomes) {
  std::string outcomes[2], local[2], server[2], states[2];
  for (const int connections : {1, 8}) {
    Pair r;
    ASSERT_TRUE(r.Connect());
    LayOut(r, 150);
    r.server->Own(r.dataDir);
    r.Compare();
    r.Sync(connections);
    const int k = connections == 1 ? 0 : 1;
    EXPECT_EQ(r.job->Outcomes().size(), 330u);
    EXPECT_EQ(r.Failed(), 0u) << r.Outcomes();
    // More connections join only while files wait: some, not always all.
    EXPECT_EQ(r.job->ConnectionsUsed() > 1, connections > 1);
    EXPECT_LE(r.job->ConnectionsUsed(), connections);
    outcomes[k] = r.Outcomes();
    states[k] = r.States();
    local[k] = Snapshot(r.local.path());
    server[k] = Snapshot(r.dataDir);
    // Both sides hold the same files with the same times.
    EXPECT_EQ(local[k], server[k]);
    EXPECT_EQ(states[k].find(" 0\n"), std::string::npos);
    EXPECT_EQ(states[k].find(" 2\n"), std::string::npos);
  }
  EXPECT_EQ(outcomes[0], outcomes[1]);
  EXPECT_EQ(states[0], states[1]);
  EXPECT_EQ(local[0], local[1]);
  EXPECT_EQ(server[0], server[1]);
}

TEST(TransferPool, AServerThatTakesTwoLoginsCopiesOverTwoAndTheRunGoesOn) {
  FtpTestServer::PyOptions o;
  o.maxLogins = 2;
  Pair r(&o);
  ASSERT_TRUE(r.Connect());
  LayOut(r, 40);
  r.Compare();
  r.Sync(8);
  EXPECT_EQ(r.job->ConnectionsUsed(), 2);
  EXPECT_EQ(r.job->Outcomes().size(), 88u);
  EXPECT_EQ(r.Failed(), 0u) << r.Outcomes();
  EXPECT_EQ(Snapshot(r.local.path()), Snapshot(r.dataDir));
}

TEST(TransferPool, AConnectionCutMidRunIsMadeAgainAndEveryFileArrivesWhole) {
  FtpTestServer::PyOptions o;
  o.cutSecondLogin = true;  // its third transfer is cut
  Pair r(&o);
  ASSERT_TRUE(r.Connect());
  LayOut(r, 40);
  r.Compare();
  r.Sync(8);
  EXPECT_GT(r.job->ConnectionsUsed(), 1);
  EXPECT_EQ(r.job->Outcomes().size(), 88u);
  EXPECT_EQ(r.Failed(), 0u) << r.Outcomes();
  EXPECT_EQ(Snapshot(r.local.path()), Snapshot(r.dataDir));
  EXPECT_EQ(r.States().find(" 0\n"), std::string::npos) << r.States();
}

TEST(TransferPool, AbortWithCopiesInFlightLeavesNoTemporaryFileAndNoHalfWrittenDestination) {
  FtpTestServer::PyOptions o;
  o.extraArgs = {"--throttle", "1000000"};  // a second, per data connection
  Pair r(&o);
  ASSERT_TRUE(r.Connect());
  const std::string big(4u << 20, 'z');
  const int64_t T = Base();
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i);
    test::WriteFile(r.local / ("new-up" + n), big, T + 100);
    test::WriteFile(r.local / ("old-up" + n), big, T + 100);
    test::WriteFile(r.dataDir + "/old-up" + n, "old remote", T);
    test::WriteFile(r.dataDir + "/new-down" + n, big, T + 100);
    test::WriteFile(r.dataDir + "/old-down" + n, big, T + 100);
    test::WriteFile(r.local / ("old-down" + n), "old local", T);
  }
  r.Compare();
  const std::string localBefore = Snapshot(r.local.path()), serverBefore = Snapshot(r.dataDir);
  struct Aborter : ITransferListener {
    CTransferJob* job = nullptr;
    void TransferProgress() override {
      // Once all eight move (at 1 MB/s each), a little after.
      const CTransferJob::Progress p = job ? job->GetProgress() : CTransferJob::Progress();
      if (p.filesStarted == 8 && p.bytesDone > (2 << 20) && !job->Aborted()) {
        job->Abort();
      }
    }
    void TransferFolderChanged(CFolderRecord*) override {}
    void TransferFinished() override {}
  } aborter;
  TransferOptions opts;
  opts.localToRemote = opts.remoteToLocal = true;
  CountTagged(r.collection, r.totals, opts.filter);
  FtpFileSystem remoteFs(r.session);
  CTransferJob job(r.collection, LocalFileSystem("/"), remoteFs, r.totals, opts, &aborter);
  aborter.job = &job;
  job.RunTransfer();
  ASSERT_TRUE(job.Aborted());
  EXPECT_EQ(job.ConnectionsUsed(), 8);
  ASSERT_EQ(job.Outcomes().size(), 8u);
  for (const TransferOutcome& out : job.Outcomes()) {
    EXPECT_FALSE(out.ok) << out.localPath;
    EXPECT_TRUE(out.cancelled) << out.localPath;
  }
  // Both sides as they were: no temporary file, no partial new file, no old
  // file replaced. The server may still be closing the abandoned uploads.
  EXPECT_EQ(Snapshot(r.local.path()), localBefore);
  for (int i = 0; i < 100 && Snapshot(r.dataDir) != serverBefore; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Snapshot(r.dataDir), serverBefore);
}

}  // namespace
}  // namespace twinbay
