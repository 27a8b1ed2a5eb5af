// The server's time offset: the setting, its word in the connections file
// (beside the TLS fields), and finding it against vsftpd in its local time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <tuple>

#include "core/connections.h"
#include "engine/comparer.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "net/server_time.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::TemporaryFiles;
using Records = std::vector<std::unique_ptr<CConnectionProperties>>;

ServerTimeOffset Fixed(int minutes) {
  ServerTimeOffset o;
  o.automatic = false;
  o.minutes = minutes;
  return o;
}

// A typed offset is read with its sign; anything malformed is refused.
TEST(ServerTimeOffset, ParsedAndWritten) {
  ServerTimeOffset o;
  for (const auto& [text, minutes, written] : {std::tuple{"+05:30", 330, "+05:30"}, {"-08:00", -480, "-08:00"},
                                               {"-0330", -210, "-03:30"}, {"+1", 60, "+01:00"}, {"00:00", 0, "+00:00"}}) {
    ASSERT_TRUE(ServerTimeOffset::Parse(text, o)) << text;
    EXPECT_EQ(o, Fixed(minutes));
    EXPECT_EQ(o.Text(), written);
  }
  EXPECT_TRUE(ServerTimeOffset::Parse(" Auto ", o) && o.automatic);
  for (const char* bad : {"", "5:30", "+24:00", "+05:60", "+5:3", "+05:30x", "++1", "utc", "+", "-:30"})
    EXPECT_FALSE(ServerTimeOffset::Parse(bad, o)) << bad;
}

std::string Le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Str(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

// The pin, the TLS mode and the offset sit where other versions keep reserved
// fields; older records (marker 0, leftovers) read as plain FTP, automatic.
TEST(ConnectionsFileWords, TlsPinAndServerOffsetKeepEveryOtherByteWhereItWas) {
  std::string pin = "AA";
  for (int i = 0; i < 31; ++i) pin += ":AA";
  Records one;
  one.push_back(std::make_unique<CConnectionProperties>());
  CConnectionProperties& c = *one[0];
  c.description = "z", c.host = "h", c.anonymous = 0, c.userName = "ab";
  // Up to the file types, then reserved strings 9 to 11, TLS mode, port, marker, words 15 to 17.
  const std::string head = Le32(1) + std::string("\xFF\xFF\x01\x00\x15\x00", 6) + "CConnectionProperties" + Str("z") +
                           Str("h") + Str("") + Le32(0) + Str(ScrambleText("ab")) + Str("") + Le32(1) + Str("") +
                           Str("");
  auto record = [&](const std::string& pin, uint32_t tls, uint32_t offset) {
    return head + Str(pin) + Str("") + Str("") + Le32(tls) + Le32(21) + Le32(107) + Le32(0) + Le32(offset) + Le32(0);
  };
  auto parse = [](const std::string& bytes) {
    Records in;
    EXPECT_TRUE(ParseConnections(bytes, in).ok);
    if (in.empty()) in.push_back(std::make_unique<CConnectionProperties>());
    return in;
  };
  EXPECT_EQ(SerializeConnections(one), record("", 0, 0));
  c.tlsMode = static_cast<int32_t>(FtpTls::Explicit);
  c.pinnedFingerprint = pin;
  for (const auto& [minutes, word] : {std::pair{330, 0x1014Au}, {-480, 0x1FE20u}, {0, 0x10000u}}) {
    SetServerOffset(c, Fixed(minutes));
    EXPECT_EQ(test::Hex(SerializeConnections(one)), test::Hex(record(pin, 1, word)));
  }
  Records in = parse(record(pin, 1, 0x1FE20u));
  EXPECT_EQ(std::to_string(in[0]->tlsMode) + " " + in[0]->pinnedFingerprint + " " + GetServerOffset(*in[0]).Text(),
            "1 " + pin + " -08:00");
  EXPECT_EQ(SerializeConnections(in), record(pin, 1, 0x1FE20u));
  in = parse(record("", 0, 0x80000007u));  // an offset value this version does not know: automatic, kept
  EXPECT_TRUE(GetServerOffset(*in[0]).automatic);
  SetServerOffset(*in[0], ServerTimeOffset());
  EXPECT_EQ(SerializeConnections(in), record("", 0, 0x80000007u));
  in = parse(head + Str("junk") + Str("") + Str("") + Le32(0xCDCDCDCDu) + Le32(21) + Le32(0) + Le32(0));
  EXPECT_EQ(std::to_string(in[0]->tlsMode) + in[0]->pinnedFingerprint + GetServerOffset(*in[0]).Text(), "0automatic");
}

int64_t MTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

using Zone = std::pair<const char*, int>;  // TZ, minutes east of UTC

// vsftpd in its own local time serving /pub/site (anonymous uploads) and
// /ro/site (root's), 0755 with numeric owners.
class LocalTimeServer : public ::testing::TestWithParam<Zone> {
 protected:
  void SetUp() override {
    base_ = test::ThreeHoursAgo() + 20;  // away from minute edges
    for (const std::string& site : {Anon("pub/site"), Anon("ro/site")}) {
      test::WriteFile(site + "/same.txt", "same", base_);
      test::WriteFile(site + "/local newer.txt", "old remote", base_);
      test::WriteFile(site + "/remote newer.txt", "new remote", base_ + 3600);
      test::WriteFile(site + "/sub/deep.txt", "deep", base_ - 600);
    }
    test::WriteFile(local_ / "local newer.txt", "new local", base_ + 3600);
    test::WriteFile(local_ / "remote newer.txt", "old local", base_);
    test::WriteFile(local_ / "same.txt", "same", base_);
    test::WriteFile(local_ / "sub/deep.txt", "deep", base_ - 600);
    test::GiveToFtpUser(Anon("pub"));
    std::string why;
    server_ = test::FtpTestServer::StartVsftpdLocalTime(folder_.path(), GetParam().first, &why);
    ASSERT_TRUE(server_) << why;
  }
  std::string Anon(const std::string& rel) const { return folder_ / ("anon/" + rel); }
  bool Connect(CFtpSession& s, ServerTimeOffset setting = {}) {
    s.SetServerOffset(setting);
    return s.Connect("127.0.0.1", "", "", server_->port());
  }
  // "<state> name" of every file after a compare of `remote`.
  std::vector<std::string> Compare(CFtpSession& s, CFolderCollection& c, const std::string& remote) {
    FtpFileSystem lister(s);
    test::CompareInto(c, lister, local_.path(), remote, true);
    std::vector<std::string> out;
    for (size_t i = 0; i < c.GetCount(); ++i)
      for (auto& e : c.GetAt(i)->entries) out.push_back(std::string(1, "<=>?"[e->state]) + " " + e->Name());
    return out;
  }
  const std::vector<std::string> right_ = {"> local newer.txt", "< remote newer.txt", "= same.txt", "= deep.txt"};
  void Sync(CFtpSession& s, CFolderCollection& c, bool up, size_t copies) {
    SyncTotals totals;
    FtpFileSystem remoteFs(s);
    const auto job = test::Transfer(c, totals, remoteFs, test::Directions(up, true));
    ASSERT_EQ(job->Outcomes().size(), copies);
    for (auto& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.error;
  }
  test::TempDir folder_, local_;
  std::unique_ptr<test::FtpTestServer> server_;
  int64_t base_ = 0;
};

// Where no file can be stored the offset is unknown, told, and a fixed one
// honoured; elsewhere it is probed, times land exactly, no probe file is left.
TEST_P(LocalTimeServer, UnknownFixedOrProbedOffsetSyncsExactlyAndLeavesNoProbeFile) {
  CFtpSession s;
  ASSERT_TRUE(Connect(s)) << s.LastError();
  CFolderCollection c;
  EXPECT_NE(Compare(s, c, "/ro/site"), right_);
  EXPECT_EQ(s.Clock().GetSource(), ServerClock::Source::Unknown);
  EXPECT_NE(s.Clock().TakeNotice(), "");
  EXPECT_EQ(s.GetConnection()->RefusedReplies(), 0u);  // the refused probe is counted apart
  EXPECT_EQ(s.GetConnection()->RefusedProbes(), 1u);
  CFtpSession fixed;
  ASSERT_TRUE(Connect(fixed, Fixed(GetParam().second)));
  EXPECT_EQ(Compare(fixed, c, "/ro/site"), right_);
  EXPECT_EQ(fixed.Clock().GetSource(), ServerClock::Source::Fixed);
  ASSERT_NO_FATAL_FAILURE(Sync(fixed, c, false, 1));
  EXPECT_EQ(MTime(local_ / "remote newer.txt") / 60, (base_ + 3600) / 60);
  const int64_t offset = GetParam().second * kTicksPerMinute;
  const std::string onDisk = Anon("pub/site");
  const std::vector<std::string> upOnly = {"> local newer.txt", "= remote newer.txt", "= same.txt", "= deep.txt"};
  CFtpSession p;
  ASSERT_TRUE(Connect(p)) << p.LastError();
  EXPECT_EQ(Compare(p, c, "/pub/site"), upOnly);
  EXPECT_EQ(p.Clock().GetSource(), ServerClock::Source::Probed);
  EXPECT_EQ(p.Clock().ListOffset(), offset);
  EXPECT_EQ(p.Clock().MdtmOffset(), offset);
  ASSERT_NO_FATAL_FAILURE(Sync(p, c, true, 1));
  EXPECT_EQ(test::ReadFile(onDisk + "/local newer.txt"), "new local");
  EXPECT_EQ(MTime(onDisk + "/local newer.txt"), base_ + 3600);
  int64_t mdtm = 0;
  ASSERT_TRUE(p.GetConnection()->GetModificationTime("/pub/site/local newer.txt", mdtm));
  EXPECT_EQ(mdtm, TicksFromUnix(base_ + 3600));
  CFtpSession again;
  ASSERT_TRUE(Connect(again));
  for (const std::string& line : Compare(again, c, "/pub/site")) EXPECT_EQ(line[0], '=') << line;
  EXPECT_EQ(TemporaryFiles(onDisk), std::vector<std::string>());
  EXPECT_EQ(fixed.GetConnection()->RefusedReplies() + p.GetConnection()->RefusedReplies() +
                again.GetConnection()->RefusedReplies(),
            0u);
  // The server goes away right after the probe's store: its file goes at the reconnect.
  CFtpSession d;
  ASSERT_TRUE(Connect(d)) << d.LastError();
  int probes = 0;
  d.Clock().SetProbeHook([&](const std::string& path) {
    probes += path.rfind("/pub/site/.twinbay-probe-", 0) == 0 && TemporaryFiles(Anon("pub")).size() == 1;
    server_->DropSessions();
    server_->Stop();
  });
  Compare(d, c, "/pub/site");
  EXPECT_EQ(probes, 1);
  EXPECT_EQ(TemporaryFiles(Anon("pub")).size(), 1u);
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(d.EnsureConnected()) << d.LastError();
  EXPECT_EQ(TemporaryFiles(Anon("pub")), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalTimeServer, ::testing::Values(Zone{"IST-5:30", 330}, Zone{"PST8", -480}),
                         [](const auto& info) { return info.param.second > 0 ? "Ahead" : "Behind"; });

}  // namespace
}  // namespace twinbay
