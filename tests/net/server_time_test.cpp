// The server's time offset: the setting and its place in the connections
// file, and finding the offset against vsftpd serving in its own local time
// (use_localtime=YES) in zones ahead of and behind UTC.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "engine/comparer.h"
#include "core/connections.h"
#include "net/ftp_session.h"
#include "net/server_time.h"
#include "net/ftp_fs.h"
#include "net/transfer.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using Records = std::vector<std::unique_ptr<CConnectionProperties>>;

using test::Hex;

ServerTimeOffset Fixed(int minutes) {
  ServerTimeOffset o;
  o.automatic = false;
  o.minutes = minutes;
  return o;
}

// ---- the setting -------------------------------------------------------------------

TEST(ServerTimeOffset, ParsedAndWritten) {
  ServerTimeOffset o;
  std::string why;
  // Text, minutes east of UTC, and the text written back.
  for (const auto& [text, minutes, written] :
       {std::tuple{"+05:30", 330, "+05:30"}, {"-08:00", -480, "-08:00"}, {"-0330", -210, "-03:30"},
        {"+1", 60, "+01:00"}, {"00:00", 0, "+00:00"}}) {  // UTC, fixed: no probing
    ASSERT_TRUE(ServerTimeOffset::Parse(text, o)) << text;
    EXPECT_EQ(o, Fixed(minutes));
    EXPECT_EQ(o.Text(), written);
  }
  ASSERT_TRUE(ServerTimeOffset::Parse(" Auto ", o));
  EXPECT_TRUE(o.automatic);
  EXPECT_EQ(o.Text(), "automatic");
  for (const char* bad : {"", "5:30", "+24:00", "+05:60", "+5:3", "+05:30x", "++1", "utc", "+", "-:30"})
    EXPECT_FALSE(ServerTimeOffset::Parse(bad, o, &why)) << bad;
  EXPECT_NE(why.find("+05:30"), std::string::npos) << why;
}

TEST(ServerTimeOffset, QuarterHoursAndWritableFolders) {
  EXPECT_EQ(RoundToQuarterHour(5 * 3600 * kTicksPerSecond + 30 * kTicksPerMinute + 7 * kTicksPerMinute),
            (5 * 60 + 30) * kTicksPerMinute);
  EXPECT_EQ(RoundToQuarterHour(-8 * 3600 * kTicksPerSecond - 50 * kTicksPerSecond), -8 * 60 * kTicksPerMinute);
  EXPECT_EQ(RoundToQuarterHour(7 * kTicksPerMinute), 0);
  EXPECT_EQ(FormatOffsetTicks(-(8 * 60 + 45) * kTicksPerMinute), "-08:45");

  using W = FolderWrite;
  const struct {
    const char *line, *login;
    W judged;
  } lines[] = {
      {"drwxrwxrwx    2 102      105          4096 Dec 06 09:27 in coming", "", W::Writable},
      {"drwxr-xr-x    2 ftp      ftp          4096 Dec 06 09:27 pub", "", W::Writable},
      {"drwxr-xr-x    2 ftp      ftp          4096 Dec 06 09:27 pub", "me", W::NotWritable},
      {"drwxr-xr-x    2 me       users        4096 Dec 06 09:27 site", "me", W::Writable},
      {"drwxr-xr-x    2 1001     100          4096 Dec 06 09:27 site", "me", W::Unjudged},  // vsftpd's default
      {"drwxr-xr-x    2 0        0            4096 Dec 06 09:27 ro", "", W::Unjudged},
      {"dr-xr-xr-x    2 0        0            4096 Dec 06 09:27 ro", "", W::NotWritable},
      {"-rw-rw-rw-    1 ftp      ftp             4 Dec 06 09:27 file", "", W::NotAFolder},
      {"12-06-26  09:12AM       <DIR>          dos", "", W::NotAFolder},
      {"drwxrwxrwx", "", W::NotAFolder},
  };
  for (const auto& l : lines) EXPECT_EQ(JudgeFolderLine(l.line, l.login, nullptr), l.judged) << l.line;
  std::string name;
  JudgeFolderLine(lines[0].line, "", &name);
  EXPECT_EQ(name, "in coming");
}

// ---- the connections file --------------------------------------------------------------

const std::string kHeader = std::string("\x01\x00\x00\x00\xFF\xFF\x01\x00\x15\x00", 10) + "CConnectionProperties";
// A record with description "z", host "h" and every other field at its
// default, up to and including reserved word 15.
const std::string kBodyStart = std::string(
    "\x01z\x01h\x00"                  // description, host, remote path
    "\x01\x00\x00\x00"                // anonymous
    "\x00\x00"                        // user name, password
    "\x01\x00\x00\x00"                // include sub-folders
    "\x00\x00\x00\x00\x00"            // local path, file types, reserved strings 9 to 11
    "\x00\x00\x00\x00"                // reserved word 12
    "\x15\x00\x00\x00"                // port 21
    "\x6B\x00\x00\x00"                // format marker 107
    "\x00\x00\x00\x00",               // reserved word 15
    36);

// A fixed offset in word 16; older records read as automatic.
TEST(ServerTimeOffsetFile, FixedOffsetBytesAndOlderRecords) {
  Records one;
  one.push_back(std::make_unique<CConnectionProperties>());
  one[0]->description = "z";
  one[0]->host = "h";
  SetServerOffset(*one[0], Fixed(330));
  const std::string plus = SerializeConnections(one);
  EXPECT_EQ(Hex(plus), Hex(kHeader + kBodyStart + std::string("\x4A\x01\x01\x00" "\x00\x00\x00\x00", 8)));
  SetServerOffset(*one[0], Fixed(-480));
  const std::string minus = SerializeConnections(one);
  EXPECT_EQ(Hex(minus), Hex(kHeader + kBodyStart + std::string("\x20\xFE\x01\x00" "\x00\x00\x00\x00", 8)));
  SetServerOffset(*one[0], Fixed(0));  // fixed UTC is not automatic
  EXPECT_EQ(Hex(SerializeConnections(one).substr(kHeader.size() + kBodyStart.size(), 4)), "00 00 01 00");

  Records in;
  ASSERT_TRUE(ParseConnections(minus, in).ok);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(GetServerOffset(*in[0]), Fixed(-480));
  EXPECT_EQ(SerializeConnections(in), minus);
  // Back to automatic: the word is 0 again, as every older file has it.
  SetServerOffset(*in[0], ServerTimeOffset());
  EXPECT_EQ(SerializeConnections(in), kHeader + kBodyStart + std::string(8, '\0'));

  // Written by the earlier program: word 16 is 0.
  in.clear();
  ASSERT_TRUE(ParseConnections(kHeader + kBodyStart + std::string(8, '\0'), in).ok);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_TRUE(GetServerOffset(*in[0]).automatic);
  EXPECT_EQ(in[0]->host, "h");
  // The older layout (marker 0) has no word 16 at all.
  std::string older = kHeader + kBodyStart;
  older.replace(older.size() - 8, 4, std::string(4, '\0'));
  in.clear();
  ASSERT_TRUE(ParseConnections(older, in).ok);
  EXPECT_EQ(in[0]->formatMarker, 0);
  EXPECT_TRUE(GetServerOffset(*in[0]).automatic);
  // A value this version does not know reads as automatic and is kept.
  in.clear();
  const std::string unknown = kHeader + kBodyStart + std::string("\x07\x00\x00\x80" "\x00\x00\x00\x00", 8);
  ASSERT_TRUE(ParseConnections(unknown, in).ok);
  EXPECT_TRUE(GetServerOffset(*in[0]).automatic);
  SetServerOffset(*in[0], ServerTimeOffset());
  EXPECT_EQ(SerializeConnections(in), unknown);
  // The TLS mode and pin are left alone.
  SetServerOffset(*in[0], Fixed(60));
  EXPECT_EQ(in[0]->tlsMode, 0);
  EXPECT_EQ(in[0]->pinnedFingerprint, "");
}

// ---- vsftpd in its own local time ----------------------------------------------------------

int64_t MTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

using test::TemporaryFiles;

// Replies of 4xx and 5xx in the server's protocol log.
int RefusedReplies(const std::string& log) {
  int n = 0;
  size_t at = 0;
  while ((at = log.find("FTP response: Client \"127.0.0.1\", \"", at)) != std::string::npos) {
    at += 35;
    if (at < log.size() && (log[at] == '4' || log[at] == '5')) ++n;
  }
  return n;
}

struct Zone {
  const char* tz;
  int minutes;  // east of UTC
};

// A local folder and three server folders of vsftpd in its own local time,
// all 0755 and listed with numeric owners: /pub/site (anonymous uploads: the
// account ftp's), /ro/site (root's) and the local user's /site (its own).
class LocalTimeServer : public ::testing::TestWithParam<Zone> {
 protected:
  void SetUp() override {
    // Recent times (LIST gives them to the minute), away from minute edges.
    base_ = test::ThreeHoursAgo() + 20;
    const std::string anon = folder_ / "anon";
    for (const std::string& site : {anon + "/pub/site", anon + "/ro/site", folder_ / "home/site"}) {
      test::WriteFile(site + "/same.txt", "same", base_);
      test::WriteFile(site + "/local newer.txt", "old remote", base_);
      test::WriteFile(site + "/remote newer.txt", "new remote", base_ + 3600);
      test::WriteFile(site + "/sub/deep.txt", "deep", base_ - 600);
    }
    test::WriteFile(local_ / "same.txt", "same", base_);
    test::WriteFile(local_ / "local newer.txt", "new local", base_ + 3600);
    test::WriteFile(local_ / "remote newer.txt", "old local", base_);
    test::WriteFile(local_ / "sub/deep.txt", "deep", base_ - 600);
    test::GiveToFtpUser(anon + "/pub");
    std::string why;
    server_ = FtpTestServer::StartVsftpdLocalTime(folder_.path(), GetParam().tz, &why);
    ASSERT_TRUE(server_) << why;  // a server that cannot start fails the test
    const passwd* pw = getpwnam(server_->user().c_str());
    ASSERT_TRUE(pw);
    for (auto& e : std::filesystem::recursive_directory_iterator(folder_ / "home"))
      lchown(e.path().c_str(), pw->pw_uid, pw->pw_gid);
  }

  std::string Anon(const std::string& rel) const { return folder_ / ("anon/" + rel); }
  std::string Log() const { return test::ReadFile(folder_ / "vsftpd.log"); }
  int64_t Offset() const { return GetParam().minutes * kTicksPerMinute; }

  bool Connect(CFtpSession& s, ServerTimeOffset setting = {}, bool localUser = false) {
    s.SetServerOffset(setting);
    return localUser ? s.Connect("127.0.0.1", server_->user(), server_->password(), server_->port())
                     : s.Connect("127.0.0.1", "", "", server_->port());
  }

  void Compare(CFtpSession& s, CFolderCollection& c, const std::string& remote) {
    FtpFileSystem lister(s);
    test::CompareInto(c, lister, local_.path(), remote, true);
  }

  // "<state> name" for every file, in the comparer's order.
  static std::vector<std::string> States(const CFolderCollection& c) {
    std::vector<std::string> out;
    for (size_t i = 0; i < c.GetCount(); ++i)
      for (auto& e : c.GetAt(i)->entries)
        out.push_back(std::string(e->state == InStep ? "=" : e->state == CopyLocalToRemote ? ">" : "<") + " " +
                      e->Name());
    return out;
  }
  static std::vector<std::string> Right() {
    return {"> local newer.txt", "< remote newer.txt", "= same.txt", "= deep.txt"};
  }

  TempDir folder_, local_;
  std::unique_ptr<FtpTestServer> server_;
  int64_t base_ = 0;
};

TEST_P(LocalTimeServer, FoldersOfTheLoginAreProbedThenSyncedBothWays) {
  for (const bool localUser : {false, true}) {
    SCOPED_TRACE(localUser ? "local user" : "anonymous");
    const std::string remote = localUser ? "/site" : "/pub/site";
    const std::string onDisk = localUser ? folder_ / "home/site" : Anon("pub/site");
    CFtpSession s;
    ASSERT_TRUE(Connect(s, {}, localUser)) << s.LastError();
    CFolderCollection c;
    Compare(s, c, remote);
    EXPECT_EQ(States(c), Right());
    EXPECT_EQ(s.Clock().GetSource(), ServerClock::Source::Probed);
    EXPECT_EQ(s.Clock().ListOffset(), Offset());
    EXPECT_EQ(s.Clock().MdtmOffset(), Offset());  // vsftpd's MDTM is in local time too
    EXPECT_EQ(s.Clock().Notice(), "");
    EXPECT_NE(s.Clock().TakeProbeReport().find("stored a one-byte test file, " + remote + "/.twinbay-probe-"),
              std::string::npos);
    EXPECT_EQ(TemporaryFiles(onDisk), std::vector<std::string>());

    SyncTotals totals;
    TransferOptions o;
    o.localToRemote = o.remoteToLocal = true;
    FtpFileSystem remoteFs(s);
    const auto job = test::Transfer(c, totals, remoteFs, o);
    ASSERT_EQ(job->Outcomes().size(), 2u);
    for (auto& out : job->Outcomes()) EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(test::ReadFile(onDisk + "/local newer.txt"), "new local");
    EXPECT_EQ(test::ReadFile(local_ / "remote newer.txt"), "new remote");
    // The times set through the two-argument MDTM land exactly.
    EXPECT_EQ(MTime(onDisk + "/local newer.txt"), base_ + 3600);
    EXPECT_EQ(MTime(local_ / "remote newer.txt") / 60, (base_ + 3600) / 60);
    int64_t mdtm = 0;  // and MDTM reads them back in UTC
    ASSERT_TRUE(s.GetConnection()->GetModificationTime(remote + "/local newer.txt", mdtm));
    EXPECT_EQ(mdtm, TicksFromUnix(base_ + 3600));
    for (const std::string& line : States(c)) EXPECT_EQ(line[0], '=') << line;

    // A new session finds the offset again and sees everything in step.
    CFtpSession again;
    ASSERT_TRUE(Connect(again, {}, localUser));
    CFolderCollection c2;
    Compare(again, c2, remote);
    EXPECT_EQ(States(c2), (std::vector<std::string>{"= local newer.txt", "= remote newer.txt", "= same.txt",
                                                    "= deep.txt"}));
    EXPECT_EQ(again.Clock().GetSource(), ServerClock::Source::Probed);
    EXPECT_EQ(TemporaryFiles(onDisk), std::vector<std::string>());
    EXPECT_EQ(RefusedReplies(Log()), 0) << Log();
    // The next login starts from the old local files again.
    test::WriteFile(local_ / "local newer.txt", "new local", base_ + 3600);
    test::WriteFile(local_ / "remote newer.txt", "old local", base_);
  }
}

TEST_P(LocalTimeServer, ReadOnlyFolderWarnsAndHonoursAFixedOffsetAndNoProbeFileIsLeft) {
  CFtpSession s;
  ASSERT_TRUE(Connect(s)) << s.LastError();
  CFolderCollection c;
  Compare(s, c, "/ro/site");
  EXPECT_EQ(s.Clock().GetSource(), ServerClock::Source::Unknown);
  EXPECT_EQ(s.Clock().ListOffset(), 0);
  const std::string notice = s.Clock().TakeNotice();
  EXPECT_NE(notice.find("unknown"), std::string::npos) << notice;
  EXPECT_NE(notice.find("MDTM agrees"), std::string::npos) << notice;
  EXPECT_EQ(s.Clock().TakeNotice(), "");  // once
  EXPECT_NE(s.Clock().Notice(), "");      // but still there for a status line
  EXPECT_NE(States(c), Right());          // taken as UTC, the times are shifted
  // The listing could not tell (a numeric owner): one test file was tried,
  // refused and counted apart.
  EXPECT_NE(s.Clock().TakeProbeReport().find("refused"), std::string::npos);
  EXPECT_EQ(s.GetConnection()->RefusedReplies(), 0u);
  EXPECT_EQ(s.GetConnection()->RefusedProbes(), 1u);
  EXPECT_EQ(RefusedReplies(Log()), 1) << Log();
  EXPECT_EQ(Log().find("STOR"), Log().rfind("STOR"));

  CFtpSession fixed;
  ASSERT_TRUE(Connect(fixed, Fixed(GetParam().minutes)));
  CFolderCollection c2;
  Compare(fixed, c2, "/ro/site");
  EXPECT_EQ(States(c2), Right());
  EXPECT_EQ(fixed.Clock().GetSource(), ServerClock::Source::Fixed);
  EXPECT_EQ(fixed.Clock().Notice(), "");

  // Download what is newer there; then all that can be in step is.
  SyncTotals totals;
  TransferOptions o;
  o.remoteToLocal = true;
  FtpFileSystem remoteFs(fixed);
  const auto job = test::Transfer(c2, totals, remoteFs, o);
  ASSERT_EQ(job->Outcomes().size(), 1u);
  EXPECT_TRUE(job->Outcomes()[0].ok) << job->Outcomes()[0].error;
  CFolderCollection c3;
  Compare(fixed, c3, "/ro/site");
  EXPECT_EQ(States(c3), (std::vector<std::string>{"> local newer.txt", "= remote newer.txt", "= same.txt",
                                                  "= deep.txt"}));
  EXPECT_EQ(RefusedReplies(Log()), 1) << Log();

  // No probe file is left when the connection drops.
  CFtpSession dropped;
  ASSERT_TRUE(Connect(dropped)) << dropped.LastError();
  std::vector<std::string> seen;
  dropped.Clock().SetProbeHook([&](const std::string& path) {
    seen.push_back(path);
    EXPECT_EQ(TemporaryFiles(Anon("pub")).size(), 1u);  // it is there now
    server_->DropSessions();
  });
  CFolderCollection c4;
  Compare(dropped, c4, "/pub/site");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rfind("/pub/site/.twinbay-probe-", 0), 0u) << seen[0];
  ASSERT_TRUE(dropped.EnsureConnected()) << dropped.LastError();
  ScanList l;
  dropped.GetConnection()->ListDirectory("/pub/site", l);
  EXPECT_EQ(TemporaryFiles(Anon("pub")), std::vector<std::string>());
  EXPECT_EQ(dropped.Clock().PendingProbe(), "");

  // The server goes away right after the store: the probe file stays until
  // the session reconnects, and goes then.
  CFtpSession gone;
  ASSERT_TRUE(Connect(gone)) << gone.LastError();
  gone.Clock().SetProbeHook([&](const std::string&) {
    server_->DropSessions();
    server_->Stop();
  });
  CFolderCollection c5;
  Compare(gone, c5, "/pub/site");
  EXPECT_EQ(gone.Clock().GetSource(), ServerClock::Source::Unknown);
  EXPECT_EQ(TemporaryFiles(Anon("pub")).size(), 1u);
  EXPECT_NE(gone.Clock().PendingProbe(), "");
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(gone.EnsureConnected()) << gone.LastError();
  EXPECT_EQ(TemporaryFiles(Anon("pub")), std::vector<std::string>());
  EXPECT_EQ(gone.Clock().PendingProbe(), "");

  // One left by an earlier, lost connection is removed after the next login.
  const std::string left = Anon("pub/site/.twinbay-probe-1-2-3.part");
  test::WriteFile(left, "\n", base_);
  test::GiveToFtpUser(Anon("pub/site"));
  CFtpSession later;
  later.Clock().SetPendingProbe("/pub/site/.twinbay-probe-1-2-3.part");
  ASSERT_TRUE(Connect(later)) << later.LastError();
  EXPECT_EQ(TemporaryFiles(Anon("pub")), std::vector<std::string>());
  EXPECT_EQ(later.Clock().PendingProbe(), "");
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalTimeServer, ::testing::Values(Zone{"IST-5:30", 330}, Zone{"PST8", -480}),
                         [](const auto& info) { return info.param.minutes > 0 ? "Ahead" : "Behind"; });

}  // namespace
}  // namespace twinbay
