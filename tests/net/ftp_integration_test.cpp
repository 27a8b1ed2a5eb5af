// The FTP client, session and remote listing against real servers on
// loopback: pyftpdlib (MLSD, MFMT) and vsftpd (LIST only).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "engine/comparer.h"
#include "net/curl_ftp.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"
#include "net/ftp_session.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;

const int64_t T0 = test::UnixTime(2025, 3, 4, 5, 6, 7);

#define START_OR_FAIL(server, expr)            \
  std::string why_##server;                    \
  auto server = (expr);                        \
  ASSERT_TRUE(server) << why_##server;

const FindData* Named(const ScanList& l, const std::string& name) {
  auto it = std::find_if(l.begin(), l.end(), [&](const FindData& f) { return f.name == name; });
  return it == l.end() ? nullptr : &*it;
}

std::string Download(IFtpConnection& c, const std::string& path, bool* ok = nullptr) {
  std::string got;
  const bool r = c.Retrieve(path, [&](const char* d, size_t n) {
    got.append(d, n);
    return true;
  });
  if (ok) *ok = r;
  return got;
}

bool Upload(IFtpConnection& c, const std::string& path, const std::string& data) {
  size_t pos = 0;
  return c.Store(
      path,
      [&](char* buf, size_t n) {
        const size_t k = std::min(n, data.size() - pos);
        std::copy_n(data.data() + pos, k, buf);
        pos += k;
        return static_cast<long>(k);
      },
      data.size());
}

TEST(FtpPyftpdlib, LoginsFeaturesAndARefusedLogin) {
  TempDir root;
  test::WriteFile(root / "a.txt", "hello", T0);
  START_OR_FAIL(server, FtpTestServer::StartPyftpdlib(root.path(), {}, &why_server));

  CFtpSession anon;
  ASSERT_TRUE(anon.Connect("127.0.0.1", "", "", server->port())) << anon.LastError();
  EXPECT_TRUE(anon.GetConnection()->Features().mlsd);
  EXPECT_TRUE(anon.GetConnection()->Features().mfmt);
  EXPECT_EQ(anon.LoginFolder(), "/");
  EXPECT_EQ(anon.GetHost(), "127.0.0.1");

  CFtpSession user;
  ASSERT_TRUE(user.Connect("127.0.0.1", server->user(), server->password(), server->port())) << user.LastError();
  bool ok = false;
  EXPECT_EQ(Download(*user.GetConnection(), "/a.txt", &ok), "hello");
  EXPECT_TRUE(ok);

  CFtpSession refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", server->user(), "wrong", server->port()));
  EXPECT_EQ(refused.GetConnection(), nullptr);
  EXPECT_NE(refused.LastError().find("refused the login"), std::string::npos) << refused.LastError();
}

TEST(FtpPyftpdlib, BadPortsAndNoServer) {
  CFtpSession s;
  EXPECT_FALSE(s.Connect("127.0.0.1", "", "", 0));
  EXPECT_FALSE(s.Connect("127.0.0.1", "", "", 65536 + 21));  // not cut to 21
  EXPECT_NE(s.LastError().find("65557"), std::string::npos);
  EXPECT_FALSE(s.Connect("bad host\r\nQUIT", "", "", 21));
  CFtpSession never;
  EXPECT_FALSE(never.EnsureConnected());
}

TEST(FtpPyftpdlib, ManyFilesAwkwardNamesAndFileOperations) {
  TempDir root;
  const std::string odd = "semi;colon #hash ?q %41 \xC3\xBCml\xC3\xA4ut.txt";
  test::WriteFile(root / ("dir with space/" + odd), "odd", T0);
  test::WriteFile(root / "[brackets]/x*y.txt", "star", T0);
  for (int i = 0; i < 10000; ++i)
    test::WriteFile(root / ("big/f" + std::to_string(i) + ".txt"), std::to_string(i), T0 + i);
  START_OR_FAIL(server, FtpTestServer::StartPyftpdlib(root.path(), {}, &why_server));
  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  IFtpConnection& c = *s.GetConnection();

  // Ten thousand files, with their times to the second.
  ScanList l;
  ASSERT_TRUE(c.ListDirectory("/big", l)) << c.LastError();
  ASSERT_EQ(l.size(), 10000u);
  for (int i : {0, 1, 4321, 9999}) {
    const FindData* f = Named(l, "f" + std::to_string(i) + ".txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->lastWrite, TicksFromUnix(T0 + i));
    EXPECT_EQ(f->size, std::to_string(i).size());
    EXPECT_EQ(f->precision, TimePrecision::Seconds);
  }
  ASSERT_TRUE(c.ListDirectory("/dir with space", l)) << c.LastError();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].name, odd);
  EXPECT_EQ(Download(c, "/dir with space/" + odd), "odd");
  ASSERT_TRUE(c.ListDirectory("/[brackets]", l));  // not taken as a wildcard
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].name, "x*y.txt");
  ASSERT_TRUE(c.ListDirectory("/", l));
  EXPECT_NE(Named(l, "dir with space"), nullptr);
  EXPECT_TRUE(Named(l, "dir with space")->IsDirectory());

  EXPECT_FALSE(c.ListDirectory("/no such folder", l));
  EXPECT_TRUE(l.empty());
  EXPECT_TRUE(c.SetCurrentDirectory("/dir with space"));
  EXPECT_FALSE(c.SetCurrentDirectory("/no such folder"));

  ASSERT_TRUE(c.CreateDirectory("/new \xC3\xA9t\xC3\xA9"));
  ASSERT_TRUE(Upload(c, "/new \xC3\xA9t\xC3\xA9/up load.txt", "uploaded bytes"));
  EXPECT_EQ(test::ReadFile(root / "new \xC3\xA9t\xC3\xA9/up load.txt"), "uploaded bytes");
  ASSERT_TRUE(c.SetModificationTime("/new \xC3\xA9t\xC3\xA9/up load.txt", TicksFromUnix(T0)));
  int64_t t = 0;
  ASSERT_TRUE(c.GetModificationTime("/new \xC3\xA9t\xC3\xA9/up load.txt", t));
  EXPECT_EQ(t, TicksFromUnix(T0));
  ASSERT_TRUE(c.Rename("/new \xC3\xA9t\xC3\xA9/up load.txt", "/renamed.txt"));
  EXPECT_EQ(test::ReadFile(root / "renamed.txt"), "uploaded bytes");
  EXPECT_TRUE(c.Remove("/renamed.txt"));
  EXPECT_FALSE(c.Remove("/renamed.txt"));
  // Nothing with a line break ever reaches the server as a command.
  EXPECT_FALSE(c.Remove("/x\r\nDELE /a"));
  EXPECT_FALSE(c.CreateDirectory("relative"));
}

TEST(FtpPyftpdlib, ADroppedControlConnectionIsRepaired) {
  TempDir root;
  test::WriteFile(root / "a.txt", "hello", T0);
  FtpTestServer::PyOptions o;
  o.idleTimeoutSeconds = 1;
  START_OR_FAIL(server, FtpTestServer::StartPyftpdlib(root.path(), o, &why_server));
  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the server drops the idle connection
  ASSERT_TRUE(s.EnsureConnected()) << s.LastError();
  ScanList l;
  ASSERT_TRUE(s.GetConnection()->ListDirectory("/", l)) << s.GetConnection()->LastError();
  EXPECT_EQ(l.size(), 1u);
  // After a disconnect the last login is used again.
  s.CloseConnection();
  EXPECT_TRUE(s.EnsureConnected());
  // A server that is gone for good: EnsureConnected says so.
  server->Stop();
  EXPECT_FALSE(s.EnsureConnected());
  EXPECT_EQ(s.GetConnection(), nullptr);
}

TEST(FtpPyftpdlib, AHostileListingNeverYieldsAnUnsafeName) {
  TempDir root;
  FtpTestServer::PyOptions o;
  o.hostile = true;
  START_OR_FAIL(server, FtpTestServer::StartPyftpdlib(root.path(), o, &why_server));
  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", server->user(), server->password(), server->port()));
  ScanList l;
  // Listed in part: what can be used is kept ("\" is a byte like any other),
  // every name left out is told.
  ASSERT_TRUE(!s.GetConnection()->ListDirectory("/", l) && s.GetConnection()->ListedInPart());
  std::string names;
  for (auto& f : l) names += "[" + f.name + "]";
  EXPECT_TRUE(names == "[back\\slash][good.txt]" || names == "[back\\slash][cr][good.txt]") << names;
  EXPECT_GE(s.GetConnection()->TakeSkipped().size(), 3u);
}

TEST(FtpVsftpd, ListOnlyServerTimesToTheMinuteAndRefusedFolders) {
  TempDir folder;
  START_OR_FAIL(server, FtpTestServer::StartVsftpd(folder.path(), &why_server));
  const std::string pub = folder / "anon/pub";
  const int64_t recent = test::UnixTime(2026, 11, 30, 8, 15, 42);
  test::WriteFile(pub + "/recent.txt", "r", recent);
  test::WriteFile(pub + "/old name.txt", "o", T0);
  test::WriteFile(pub + "/locked/secret.txt", "s", T0);
  test::GiveToFtpUser(pub);
  chown((pub + "/locked").c_str(), 0, 0);
  chmod((pub + "/locked").c_str(), 0700);

  CFtpSession s;
  ASSERT_TRUE(s.Connect("127.0.0.1", "", "", server->port())) << s.LastError();
  IFtpConnection& c = *s.GetConnection();
  EXPECT_FALSE(c.Features().mlsd);
  EXPECT_TRUE(c.Features().mdtm);
  ScanList l;
  ASSERT_TRUE(c.ListDirectory("/pub", l)) << c.LastError();
  ASSERT_EQ(l.size(), 3u);
  const FindData* r = Named(l, "recent.txt");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->precision, TimePrecision::Minutes);
  EXPECT_EQ(r->lastWrite, TicksFromUnix(recent - 42));
  const FindData* o = Named(l, "old name.txt");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->precision, TimePrecision::Day);
  FindData local;
  local.lastWrite = TicksFromUnix(recent);
  EXPECT_EQ(CFolderComparer::CompareTimes(&local, r, false), InStep);

  EXPECT_FALSE(c.ListDirectory("/pub/locked", l));
  EXPECT_TRUE(l.empty());

  ASSERT_TRUE(Upload(c, "/pub/up.txt", "data"));
  EXPECT_TRUE(c.SetModificationTime("/pub/up.txt", TicksFromUnix(T0)));  // the two-argument MDTM
  int64_t t = 0;
  ASSERT_TRUE(c.GetModificationTime("/pub/up.txt", t));
  EXPECT_EQ(t, TicksFromUnix(T0));
}

TEST(RemotePaths, ResolvedAgainstTheLoginFolder) {
  EXPECT_EQ(ResolveRemotePath("", "/home/me"), "/home/me");
  EXPECT_EQ(ResolveRemotePath("site", "/home/me"), "/home/me/site");
  EXPECT_EQ(ResolveRemotePath("site/", "/"), "/site");
  EXPECT_EQ(ResolveRemotePath("/abs//x\\y/", "/home/me"), "/abs/x/y");
  EXPECT_EQ(ResolveRemotePath("/", "/home"), "/");
  EXPECT_EQ(EncodeFtpUrlPath("/a b/c;d#e?f%g"), "%2Fa%20b/c%3Bd%23e%3Ff%25g");
  EXPECT_EQ(EncodeFtpUrlPath("/"), "%2F/");
  EXPECT_EQ(EncodeFtpUrlPath("/x/"), "%2Fx/");
}

}  // namespace
}  // namespace twinbay
