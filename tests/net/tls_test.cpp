// FTP over TLS against vsftpd and pure-ftpd: certificate checks and pins,
// explicit and implicit TLS, no fall-back to plain FTP.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "engine/comparer.h"
#include "engine/parallel_lister.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using Kind = FtpTestServer::Kind;

// Recent times: a LIST shows the time of day only for files of the last months.
const int64_t T0 = (static_cast<int64_t>(time(nullptr)) - 2 * 86400) / 60 * 60;

// A TLS server with a new self-signed certificate for 127.0.0.1 at each start.
struct TlsServer {
  TempDir dir;
  FtpTestServer::Tls cert;
  std::unique_ptr<FtpTestServer> server;
  std::string fingerprint, why, folder;
  int starts = 0;
  bool Start(Kind kind, bool implicit = false) {
    const std::string n = std::to_string(++starts);
    if (!test::MakeTestCertificate(dir / ("cert" + n), "127.0.0.1", cert, &why)) return false;
    cert.implicit = implicit;
    fingerprint = test::OpensslFingerprint(cert.certFile);
    folder = dir / ("srv" + n);
    server.reset();
    server = kind == Kind::Vsftpd ? FtpTestServer::StartVsftpd(folder, &why, &cert)
                                  : FtpTestServer::StartPureFtpd(folder, &why, 0, 0, 0, &cert);
    return server && fingerprint.size() == 95;
  }
  bool Connect(CFtpSession& s, FtpTls mode, const std::string& pin) {
    s.SetTls(mode, pin);
    return s.Connect("127.0.0.1", server->user(), server->password(), server->port());
  }
  std::string Log() const { return test::ReadFile(folder + "/vsftpd.log"); }
};

class TlsServers : public ::testing::TestWithParam<Kind> {};

// An untrusted or changed certificate is refused with its fingerprint before
// the login; trusted, every connection of a compare asks for TLS, a sync both ways works.
TEST_P(TlsServers, RefusedUntilTrustedThenComparedOverSeveralConnectionsSyncedAndPinned) {
  const bool vsftpd = GetParam() == Kind::Vsftpd;
  TlsServer t;
  ASSERT_TRUE(t.Start(GetParam())) << t.why;
  const std::string remoteRoot = t.server->DataDir();
  TempDir local;
  test::WriteFile(local / "up.txt", "new local text", T0 + 600);
  test::WriteFile(remoteRoot + "/up.txt", "old", T0);
  test::WriteFile(remoteRoot + "/down.txt", "new remote text", T0 + 600);
  test::WriteFile(local / "down.txt", "old", T0);
  test::WriteFile(local / "deep/new/a.bin", std::string(300000, 'x'), T0);  // several TLS records
  for (int i = 0; i < 30; ++i) test::WriteFile(remoteRoot + "/f" + std::to_string(i) + "/g/page.htm", "x", T0);
  t.server->Own(remoteRoot);
  auto refused = [&](FtpTls mode, const std::string& pin) {
    CFtpSession session;
    EXPECT_FALSE(t.Connect(session, mode, pin));
    EXPECT_NE(session.LastError().find(t.fingerprint), std::string::npos) << session.LastError();
    EXPECT_TRUE(!vsftpd || t.Log().find("\"USER") == std::string::npos) << t.Log();
  };
  refused(FtpTls::Explicit, "");
  CFtpSession session;
  ASSERT_TRUE(t.Connect(session, FtpTls::Explicit, "sha256 Fingerprint=" + t.fingerprint)) << session.LastError();
  EXPECT_TRUE(session.Encrypted());
  CFolderCollection collection;
  {
    FtpFileSystem own(session);
    FileSystemPool pool(own, 8);
    FileSystemPool::Lease walk = pool.LeaseFirst();
    CParallelLister lister(*walk, pool, 7);
    test::CompareInto(collection, lister, local.path(), t.server->RemoteDir(), false, true, &lister);
    lister.Stop();
    EXPECT_EQ(collection.GetCount(), 63u);
    for (size_t i = 0; i < collection.GetCount(); ++i) EXPECT_FALSE(collection.GetAt(i)->incomplete);
    EXPECT_GE(lister.MostHelpersConnected(), 1);
    const std::string l = t.Log();
    size_t auth = 0;
    for (size_t at = l.find("\"AUTH TLS\""); at != std::string::npos; at = l.find("\"AUTH TLS\"", at + 1)) ++auth;
    EXPECT_TRUE(!vsftpd || auth >= static_cast<size_t>(2 + lister.MostHelpersConnected())) << l;
  }
  SyncTotals totals;
  FtpFileSystem remoteFs(session);
  const auto job = test::Transfer(collection, totals, remoteFs, test::Directions(true, true));
  for (const TransferOutcome& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.localPath << ": " << out.error;
  EXPECT_EQ(test::ReadFile(remoteRoot + "/up.txt"), "new local text");
  EXPECT_TRUE(test::ReadFile(remoteRoot + "/deep/new/a.bin") == std::string(300000, 'x'));
  EXPECT_EQ(test::ReadFile(local / "down.txt"), "new remote text");
  // A new certificate (vsftpd: TLS from the first byte) is refused under the
  // old pin; pinned anew, a file is read whole.
  const std::string trusted = t.fingerprint;
  const FtpTls mode = vsftpd ? FtpTls::Implicit : FtpTls::Explicit;
  ASSERT_TRUE(t.Start(GetParam(), vsftpd)) << t.why;
  ASSERT_NE(t.fingerprint, trusted);
  test::WriteFile(t.server->DataDir() + "/f.txt", "again", T0);
  t.server->Own(t.server->DataDir());
  refused(mode, trusted);
  CFtpSession again;
  ASSERT_TRUE(t.Connect(again, mode, t.fingerprint)) << again.LastError();
  EXPECT_TRUE(again.Encrypted());
  std::string got;
  ASSERT_TRUE(again.GetConnection()->Retrieve(t.server->RemoteDir() + "/f.txt", [&](const char* d, size_t n) {
    return got.append(d, n), true;
  }));
  EXPECT_EQ(got, "again");
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsServers, ::testing::Values(Kind::Vsftpd, Kind::PureFtpd),
                         [](const auto& info) { return std::string(FtpTestServer::Name(info.param)); });

// Asked for TLS, a server without it never hears the login.
TEST(TlsRequired, PlainVsftpdAskedForTlsNeverGetsTheLogin) {
  TempDir dir;
  std::string why;
  auto server = FtpTestServer::StartVsftpd(dir.path(), &why);
  ASSERT_TRUE(server) << why;
  CFtpSession session;
  session.SetTls(FtpTls::Explicit, "");
  EXPECT_FALSE(session.Connect("127.0.0.1", "", "", server->port()));
  const std::string log = test::ReadFile(dir / "vsftpd.log");
  EXPECT_EQ(log.find("\"USER"), std::string::npos) << log;
}

}  // namespace
}  // namespace twinbay
