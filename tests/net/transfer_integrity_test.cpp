// A copy counts only when every byte arrived: servers that end a transfer
// early and still report success, servers that refuse to set times, and the
// temporary files an abrupt end leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"
#include "net/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using Lines = std::vector<std::string>;

const int64_t T0 = test::UnixTime(2025, 6, 7, 8, 9, 10);

using test::TemporaryFiles;

std::string Bytes(size_t n, char seed) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
  return s;
}

// A local folder against /site on a pyftpdlib server started with the given
// fault switches.
struct Fixture {
  TempDir local, serverRoot;
  std::unique_ptr<FtpTestServer> server;
  CFtpSession session;
  CFolderCollection collection;
  CFolderComparer comparer;
  SyncTotals totals;
  std::unique_ptr<FtpFileSystem> remoteFs;

  explicit Fixture(const std::vector<std::string>& faults) {
    std::filesystem::create_directories(serverRoot / "site");
    FtpTestServer::PyOptions o;
    o.extraArgs = faults;
    std::string why;
    server = FtpTestServer::StartPyftpdlib(serverRoot.path(), o, &why);
    if (!server) ADD_FAILURE() << why;
    else if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port()))
      ADD_FAILURE() << session.LastError();
  }
  bool Ready() const { return server && session.GetConnection(); }
  std::string Remote(const std::string& rel) const { return serverRoot / ("site/" + rel); }
  std::string Local(const std::string& rel) const { return local / rel; }
  void Compare() {
    collection.Clear();
    FtpFileSystem lister(session);
    LocalFileSystem disk("/");
    comparer.BeginCompare(nullptr, &disk, &lister, &collection, local.path(), "/site", true, false);
    comparer.Run(local.path(), "/site", "*.*", true);
  }
  std::unique_ptr<CTransferJob> Run(ITransferListener* listener = nullptr) {
    remoteFs = std::make_unique<FtpFileSystem>(session);
    return test::Transfer(collection, totals, *remoteFs, test::Directions(true, true), listener);
  }
  Lines States() {
    Lines out;
    for (size_t i = 0; i < collection.GetCount(); ++i)
      for (auto& e : collection.GetAt(i)->entries) out.push_back(std::string(1, "<=>?"[e->state]) + " " + e->Name());
    return out;
  }
  const TransferOutcome* Outcome(const CTransferJob& job, const std::string& name) {
    for (const TransferOutcome& o : job.Outcomes())
      if (o.localPath == Local(name)) return &o;
    ADD_FAILURE() << "no outcome for " << name;
    return nullptr;
  }
};

TEST(TransferIntegrity, ACopyCutShortIsAFailureAndTheOldFileStays) {
  Fixture f({"--truncate-downloads", "--truncate-uploads"});
  ASSERT_TRUE(f.Ready());
  test::WriteFile(f.Remote("new.bin"), Bytes(300000, 'a'), T0);
  test::WriteFile(f.Remote("newer.bin"), Bytes(200000, 'b'), T0 + 100);
  test::WriteFile(f.Local("newer.bin"), "the old local version", T0);
  test::WriteFile(f.Local("up-new.bin"), Bytes(100000, 'c'), T0);
  test::WriteFile(f.Local("up-newer.bin"), Bytes(150000, 'd'), T0 + 100);
  test::WriteFile(f.Remote("up-newer.bin"), "the old remote version", T0);
  f.Compare();
  const Lines states{"< new.bin", "< newer.bin", "> up-new.bin", "> up-newer.bin"};
  ASSERT_EQ(f.States(), states);
  auto job = f.Run();
  ASSERT_EQ(job->Outcomes().size(), 4u);
  // Downloads are checked against the listed size, uploads' temporary files
  // before the rename.
  for (const auto& [name, text] : {std::pair{"new.bin", "incomplete download"}, {"newer.bin", "incomplete download"},
                                   {"up-new.bin", "4096 of 100000 bytes"}, {"up-newer.bin", "4096 of 150000 bytes"}}) {
    const TransferOutcome* o = f.Outcome(*job, name);
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->ok) << name;
    EXPECT_NE(o->error.find(text), std::string::npos) << o->error;
  }
  EXPECT_FALSE(std::filesystem::exists(f.Local("new.bin")));
  EXPECT_EQ(test::ReadFile(f.Local("newer.bin")), "the old local version");
  EXPECT_FALSE(std::filesystem::exists(f.Remote("up-new.bin")));
  EXPECT_EQ(test::ReadFile(f.Remote("up-newer.bin")), "the old remote version");
  EXPECT_TRUE(TemporaryFiles(f.local.path()).empty());
  EXPECT_TRUE(TemporaryFiles(f.serverRoot.path()).empty());
  // Nothing passes for in step, now or after a fresh compare.
  EXPECT_EQ(f.States(), states);
  f.Compare();
  EXPECT_EQ(f.States(), states);
}

TEST(TransferIntegrity, AFileThatChangedSinceTheCompareIsCheckedWithSize) {
  Fixture f({});
  ASSERT_TRUE(f.Ready());
  test::WriteFile(f.Remote("grew.txt"), "short", T0);
  f.Compare();
  test::WriteFile(f.Remote("grew.txt"), "rather longer now", T0);
  auto job = f.Run();
  ASSERT_EQ(job->Outcomes().size(), 1u);
  EXPECT_TRUE(job->Outcomes()[0].ok) << job->Outcomes()[0].error;
  EXPECT_EQ(test::ReadFile(f.Local("grew.txt")), "rather longer now");
}

TEST(TransferIntegrity, ATimeTheServerWillNotSetIsAWarningForThatFile) {
  Fixture f({"--refuse-times"});
  ASSERT_TRUE(f.Ready());
  test::WriteFile(f.Local("up.txt"), "local", T0);
  test::WriteFile(f.Remote("down.txt"), "remote", T0);
  f.Compare();
  auto job = f.Run();
  ASSERT_EQ(job->Outcomes().size(), 2u);
  const TransferOutcome* up = f.Outcome(*job, "up.txt");
  const TransferOutcome* down = f.Outcome(*job, "down.txt");
  ASSERT_TRUE(up && down);
  EXPECT_TRUE(up->ok);  // the bytes are there
  EXPECT_NE(up->warning.find("the time could not be set"), std::string::npos) << up->warning;
  EXPECT_NE(up->warning.find("550"), std::string::npos) << up->warning;
  EXPECT_EQ(test::ReadFile(f.Remote("up.txt")), "local");
  EXPECT_TRUE(down->ok);
  EXPECT_TRUE(down->warning.empty()) << down->warning;
}

TEST(TransferIntegrity, AStaleTemporaryFileIsNamedByACompareAndSweptBeforeASync) {
  Fixture f({});
  ASSERT_TRUE(f.Ready());
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t twoDaysAgo = now - 2 * 86400, anHourAgo = now - 3600;
  // Left by a run that ended abruptly, more than a day ago: swept.
  test::WriteFile(f.Local(".twinbay-a.bin.partX1y2Z3"), "partial", twoDaysAgo);
  test::WriteFile(f.Local("sub/.twinbay-b.bin.part"), "partial", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-c.bin.part"), "partial", twoDaysAgo);
  test::WriteFile(f.Remote("sub/.twinbay-d.bin.part2-0123456789ab"), "partial", twoDaysAgo);
  // Too young (perhaps another run's copy in progress), or not a name the
  // transfer makes: kept.
  test::WriteFile(f.Local(".twinbay-e.bin.partQWERTY"), "busy", anHourAgo);
  test::WriteFile(f.Remote(".twinbay-f.bin.part"), "busy", anHourAgo);
  test::WriteFile(f.Local(".twinbay-notes.partial"), "mine", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-g.bin.part.keep"), "mine", twoDaysAgo);
  test::WriteFile(f.Remote(".twinbay-h.bin.part-0123456789AB"), "mine", twoDaysAgo);
  test::WriteFile(f.Local("sub/x.txt"), "x", T0);
  // A compare only names them.
  f.Compare();
  std::vector<std::string> kept = f.comparer.StaleTempsKept();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (Lines{"local " + f.Local(".twinbay-a.bin.partX1y2Z3"), "local " + f.Local("sub/.twinbay-b.bin.part"),
                         "remote /site/.twinbay-c.bin.part", "remote /site/sub/.twinbay-d.bin.part2-0123456789ab"}));
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 0);
  EXPECT_EQ(TemporaryFiles(f.local.path()).size() + TemporaryFiles(f.serverRoot.path()).size(), 9u);
  f.comparer.SetRemoveStaleTemps(true);
  f.Compare();
  EXPECT_TRUE(f.comparer.StaleTempsKept().empty());
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 4);
  EXPECT_EQ(TemporaryFiles(f.local.path()).size(), 2u);
  EXPECT_EQ(TemporaryFiles(f.serverRoot.path()).size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(f.Local(".twinbay-e.bin.partQWERTY")));
  EXPECT_TRUE(std::filesystem::exists(f.Remote(".twinbay-f.bin.part")));
  EXPECT_TRUE(std::filesystem::exists(f.Local(".twinbay-notes.partial")));
  EXPECT_TRUE(std::filesystem::exists(f.Remote(".twinbay-g.bin.part.keep")));
  EXPECT_EQ(f.States(), (Lines{"> x.txt"}));
  f.Compare();
  EXPECT_EQ(f.comparer.StaleTempsRemoved(), 0);
}

}  // namespace
}  // namespace twinbay
