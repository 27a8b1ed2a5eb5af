// FTP over TLS: certificate checks and pins, explicit and implicit TLS, no
// fall-back to plain FTP, and the TLS fields of the connections file.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "engine/comparer.h"
#include "engine/parallel_lister.h"
#include "core/connections.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "net/transfer.h"
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

// ---- fingerprints ------------------------------------------------------------

TEST(TlsFingerprint, AcceptsTheUsualSpellingsAndNothingElse) {
  const std::string canonical =
      "0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9";
  std::string bare;
  for (char c : canonical)
    if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(NormalizeFingerprint(canonical), canonical);
  EXPECT_EQ(NormalizeFingerprint(bare), canonical);
  EXPECT_EQ(NormalizeFingerprint("SHA256:" + bare), canonical);
  EXPECT_EQ(NormalizeFingerprint("sha256 Fingerprint=" + canonical + "\n"), canonical);
  EXPECT_EQ(NormalizeFingerprint(""), "");
  EXPECT_EQ(NormalizeFingerprint(bare.substr(2)), "") << "too short";
  EXPECT_EQ(NormalizeFingerprint(bare + "00"), "") << "too long (a SHA-384 or so)";
  EXPECT_EQ(NormalizeFingerprint("zz" + bare.substr(2)), "");
  // libcurl's public-key pin is another hash altogether and must not pass.
  EXPECT_EQ(NormalizeFingerprint("sha256//YhKJKSzoTt2b5FP18fvpHo7fJYqQCjAa3HWY3tvRMwE="), "");
}

// ---- the connections file ------------------------------------------------------

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
std::string Str(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }
std::string Header() {
  return Le32(1) + std::string("\xFF\xFF\x01\x00\x15\x00", 6) + "CConnectionProperties";
}

const std::string kPin =
    "AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99";

TEST(TlsRecord, ARecordWithTlsAndAPinKeepsEveryOtherByteWhereItWas) {
  std::vector<std::unique_ptr<CConnectionProperties>> records;
  records.push_back(std::make_unique<CConnectionProperties>());
  CConnectionProperties& c = *records[0];
  c.description = "Site";
  c.host = "ftp.example.org";
  c.remotePath = "/www";
  c.anonymous = 0;
  c.userName = "ab";
  c.password = "";
  c.localPath = "/home/u/site";
  c.fileTypes = "*.htm";
  c.port = 21;
  c.reserved16 = 7;  // a word another feature keeps: untouched
  const std::string plain = SerializeConnections(records);
  c.tlsMode = static_cast<int32_t>(FtpTls::Explicit);
  c.pinnedFingerprint = kPin;
  const std::string tls = SerializeConnections(records);

  const std::string before = Header() + Str("Site") + Str("ftp.example.org") + Str("/www") + Le32(0) +
                             Str(ScrambleText("ab")) + Str("") + Le32(1) + Str("/home/u/site") + Str("*.htm");
  const std::string after = Str("") + Str("");
  const std::string tail = Le32(21) + Le32(107) + Le32(0) + Le32(7) + Le32(0);
  EXPECT_EQ(plain, before + Str("") + after + Le32(0) + tail);
  EXPECT_EQ(tls, before + Str(kPin) + after + Le32(1) + tail);

  std::vector<std::unique_ptr<CConnectionProperties>> back;
  ASSERT_TRUE(ParseConnections(tls, back).ok);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0]->tlsMode, 1);
  EXPECT_EQ(back[0]->pinnedFingerprint, kPin);
  EXPECT_EQ(back[0]->reserved16, 7);
  EXPECT_EQ(back[0]->userName, "ab");
  EXPECT_EQ(SerializeConnections(back), tls);
  // The older layout (no words after the marker) may hold leftovers in the
  // pin field: still plain FTP.
  const std::string older = before + Str("junk") + after + Le32(0xCDCDCDCDu) + Le32(21) + Le32(0) + Le32(0);
  back.clear();
  ASSERT_TRUE(ParseConnections(older, back).ok);
  EXPECT_EQ(back[0]->tlsMode, 0);
  EXPECT_EQ(back[0]->pinnedFingerprint, "");
}

// ---- real servers --------------------------------------------------------------

// A TLS server with a self-signed certificate for 127.0.0.1.
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
    if (fingerprint.size() != 95) {
      why = "openssl gave no fingerprint";
      return false;
    }
    folder = dir / ("srv" + n);
    server.reset();
    server = kind == Kind::Vsftpd ? FtpTestServer::StartVsftpd(folder, &why, &cert)
                                  : FtpTestServer::StartPureFtpd(folder, &why, 0, 0, 0, &cert);
    return server != nullptr;
  }
  bool Connect(CFtpSession& s, FtpTls mode, const std::string& pin) {
    s.SetTls(mode, pin);
    return s.Connect("127.0.0.1", server->user(), server->password(), server->port());
  }
};

class TlsServers : public ::testing::TestWithParam<Kind> {};

// An untrusted certificate is refused with its fingerprint before the login;
// trusted by its fingerprint (any spelling), a compare over several
// connections asks for TLS on each, and a sync both ways leaves all in step;
// a changed certificate is refused again.
TEST_P(TlsServers, RefusedUntilTrustedThenComparedOverSeveralConnectionsSyncedAndPinned) {
  const bool vsftpd = GetParam() == Kind::Vsftpd;
  TlsServer t;
  ASSERT_TRUE(t.Start(GetParam())) << t.why;
  auto log = [&] { return test::ReadFile(t.folder + "/vsftpd.log"); };
  const std::string remoteRoot = t.server->DataDir();
  TempDir local;
  test::WriteFile(local / "up.txt", "new local text", T0 + 600);
  test::WriteFile(remoteRoot + "/up.txt", "old", T0);
  test::WriteFile(remoteRoot + "/down.txt", "new remote text", T0 + 600);
  test::WriteFile(local / "down.txt", "old", T0);
  test::WriteFile(local / "deep/new/a.bin", std::string(300000, 'x'), T0);  // several TLS records
  test::WriteFile(remoteRoot + "/only/b.txt", "remote only", T0);
  for (int i = 0; i < 30; ++i) test::WriteFile(remoteRoot + "/f" + std::to_string(i) + "/g/page.htm", "x", T0);
  t.server->Own(remoteRoot);
  {
    CFtpSession session;
    EXPECT_FALSE(t.Connect(session, FtpTls::Explicit, ""));
    EXPECT_NE(session.LastError().find(t.fingerprint), std::string::npos) << session.LastError();
    EXPECT_NE(session.LastError().find("self-signed"), std::string::npos) << session.LastError();
    EXPECT_EQ(session.RefusedCertificate(), t.fingerprint);
    EXPECT_EQ(session.GetConnection(), nullptr);
    if (vsftpd) {
      EXPECT_NE(log().find("\"AUTH TLS\""), std::string::npos) << log();
      EXPECT_EQ(log().find("\"USER"), std::string::npos) << log();
      EXPECT_EQ(log().find("\"PASS"), std::string::npos) << log();
    }
  }
  CFtpSession session;
  std::string bare;
  for (char c : t.fingerprint)
    if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_TRUE(t.Connect(session, FtpTls::Explicit, bare)) << session.LastError();
  EXPECT_TRUE(session.Encrypted());
  CFolderCollection collection;
  {
    FtpFileSystem own(session);
    FileSystemPool pool(own, 8);
    FileSystemPool::Lease walk = pool.LeaseFirst();
    CParallelLister lister(*walk, pool, 7);
    test::CompareInto(collection, lister, local.path(), t.server->RemoteDir(), false, true, &lister);
    lister.Stop();
    EXPECT_EQ(collection.GetCount(), 64u);
    for (size_t i = 0; i < collection.GetCount(); ++i) EXPECT_FALSE(collection.GetAt(i)->incomplete);
    // A helper joins once folders wait; every helper asks for TLS before its
    // login, with the same trust.
    EXPECT_GE(lister.MostHelpersConnected(), 1);
    size_t auth = 0;
    const std::string l = log();
    for (size_t at = l.find("\"AUTH TLS\""); at != std::string::npos; at = l.find("\"AUTH TLS\"", at + 1)) ++auth;
    EXPECT_TRUE(!vsftpd || auth >= static_cast<size_t>(2 + lister.MostHelpersConnected())) << l;
  }
  SyncTotals totals;
  const TransferOptions o = test::Directions(true, true);
  FtpFileSystem remoteFs(session);
  const auto job = test::Transfer(collection, totals, remoteFs, o);
  EXPECT_GT(totals.allUp, 0);
  EXPECT_GT(totals.allDown, 0);
  for (const TransferOutcome& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.localPath << ": " << out.error;
  EXPECT_EQ(test::ReadFile(remoteRoot + "/up.txt"), "new local text");
  EXPECT_TRUE(test::ReadFile(remoteRoot + "/deep/new/a.bin") == std::string(300000, 'x'));
  EXPECT_EQ(test::ReadFile(local / "down.txt"), "new remote text");
  EXPECT_EQ(test::ReadFile(local / "only/b.txt"), "remote only");
  test::CompareInto(collection, remoteFs, local.path(), t.server->RemoteDir());
  SyncTotals after;
  CountTagged(collection, after, o.filter);
  EXPECT_EQ(after.allUp + after.allDown, 0);

  const std::string trusted = t.fingerprint;
  t.server->Stop();
  ASSERT_TRUE(t.Start(GetParam())) << t.why;  // a new certificate on a new server
  ASSERT_NE(t.fingerprint, trusted);
  CFtpSession again;
  EXPECT_FALSE(t.Connect(again, FtpTls::Explicit, trusted));
  EXPECT_NE(again.LastError().find("changed"), std::string::npos) << again.LastError();
  EXPECT_NE(again.LastError().find(t.fingerprint), std::string::npos) << again.LastError();
  EXPECT_EQ(again.RefusedCertificate(), t.fingerprint);
  if (vsftpd) {
    EXPECT_EQ(log().find("\"USER"), std::string::npos) << log();
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsServers, ::testing::Values(Kind::Vsftpd, Kind::PureFtpd),
                         [](const auto& info) { return std::string(FtpTestServer::Name(info.param)); });

TEST(TlsImplicit, VsftpdWithTlsFromTheFirstByte) {
  TlsServer t;
  ASSERT_TRUE(t.Start(Kind::Vsftpd, true)) << t.why;
  test::WriteFile(t.server->DataDir() + "/f.txt", "implicit", T0);
  t.server->Own(t.server->DataDir());
  CFtpSession session;
  EXPECT_FALSE(t.Connect(session, FtpTls::Implicit, "")) << "self-signed";
  EXPECT_EQ(session.RefusedCertificate(), t.fingerprint);
  ASSERT_TRUE(t.Connect(session, FtpTls::Implicit, t.fingerprint)) << session.LastError();
  EXPECT_TRUE(session.Encrypted());
  FindData fd;
  ASSERT_TRUE(session.GetConnection()->StatFile("/pub/f.txt", fd)) << session.GetConnection()->LastError();
  EXPECT_EQ(fd.size, 8u);
  std::string got;
  ASSERT_TRUE(session.GetConnection()->Retrieve("/pub/f.txt", [&](const char* d, size_t n) {
    got.append(d, n);
    return true;
  }));
  EXPECT_EQ(got, "implicit");
}

TEST(TlsRequired, PlainVsftpdAskedForTlsNeverGetsTheLogin) {
  TempDir dir;
  std::string why;
  auto server = FtpTestServer::StartVsftpd(dir.path(), &why);
  ASSERT_TRUE(server) << why;
  CFtpSession session;
  session.SetTls(FtpTls::Explicit, "");
  EXPECT_FALSE(session.Connect("127.0.0.1", "", "", server->port()));
  EXPECT_NE(session.LastError().find("does not offer TLS"), std::string::npos) << session.LastError();
  const std::string log = test::ReadFile(dir / "vsftpd.log");
  EXPECT_NE(log.find("\"AUTH TLS\""), std::string::npos) << log;
  EXPECT_EQ(log.find("\"USER"), std::string::npos) << log;
  EXPECT_EQ(log.find("\"PASS"), std::string::npos) << log;
}

}  // namespace
}  // namespace twinbay
