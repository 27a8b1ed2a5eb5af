// twinbay-cli through its real binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "core/connections.h"
#include "support/ftp_servers.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

#ifndef TWINBAY_CLI
#error "TWINBAY_CLI must name the binary"
#endif

namespace twinbay {
namespace {

using test::TempDir;

const int64_t T0 = test::UnixTime(2026, 1, 2, 3, 4, 5);

struct Result {
  int status;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Result Cli(const std::vector<std::string>& args, const std::string& env = "", const std::string& input = "") {
  TempDir io;
  std::string cmd = env + " " + Quote(TWINBAY_CLI);
  for (const std::string& a : args) cmd += " " + Quote(a);
  test::WriteFile(io / "in", input, 0);
  cmd += " <" + Quote(io / "in") + " >" + Quote(io / "out") + " 2>" + Quote(io / "err");
  const int raw = std::system(("env -u TWINBAY_PASSWORD HOME=" + Quote(io.path()) + " XDG_CONFIG_HOME=" +
                               Quote(io / "config") + " " + cmd)
                                  .c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFile(io / "out"), test::ReadFile(io / "err")};
}

TEST(Cli, CompareTsvOfAKnownTree) {
  TempDir local, remote;
  test::WriteFile(local / "index.html", "new", T0 + 120);
  test::WriteFile(remote / "INDEX.HTML", "old!", T0);
  test::WriteFile(local / "same.css", "s", T0);
  test::WriteFile(remote / "same.css", "s", T0 + 30);  // same minute: in step by default
  test::WriteFile(remote / "img/Logo.gif", "gif", T0);
  test::WriteFile(local / "drafts/a.txt", "a", T0);
  const Result r = Cli({"compare", "--local", local.path(), "--remote-dir", remote.path(), "--format", "tsv"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "D\troot\t.\n"
            "F\t>\tindex.html\t3\t2026-01-02T03:06:05Z\t4\t2026-01-02T03:04:05Z\n"
            "F\t=\tsame.css\t1\t2026-01-02T03:04:05Z\t1\t2026-01-02T03:04:35Z\n"
            "D\tlocal\tdrafts\n"
            "F\t>\tdrafts/a.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "D\tremote\timg\n"
            "F\t<\timg/Logo.gif\t-\t-\t3\t2026-01-02T03:04:05Z\n");
  // Exact seconds: the 30-second difference counts.
  const Result exact = Cli({"compare", "--local", local.path(), "--remote-dir", remote.path(), "--format", "tsv",
                            "--exact-seconds", "--types", "*.css", "--no-subfolders"});
  EXPECT_EQ(exact.out, "D\troot\t.\nF\t<\tsame.css\t1\t2026-01-02T03:04:05Z\t1\t2026-01-02T03:04:35Z\n"
                       "D\tlocal\tdrafts\nD\tremote\timg\n");
  // The text form ends with the two summaries.
  const Result text = Cli({"compare", "--local", local.path(), "--remote-dir", remote.path()});
  EXPECT_NE(text.out.find("Local to Remote: 2 of 2 files tagged (1KB)"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Remote to Local: 1 of 1 file tagged (1KB)"), std::string::npos) << text.out;
}

TEST(Cli, ExitStatusesAndErrors) {
  TempDir a, b;
  test::WriteFile(a / "x", "1", T0);
  test::WriteFile(b / "x", "1", T0);
  EXPECT_EQ(Cli({"compare", "--local", a.path(), "--remote-dir", b.path()}).status, 0);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"compare", "--local", a.path()},
           {"compare", "--local", "", "--remote-dir", b.path()},
           {"compare", "--local", a.path(), "--remote", "http://x/"},
           {"compare", "--local", a.path(), "--remote", "ftp://127.0.0.1:70000/"},
           {"compare", "--local", a.path(), "--remote", "ftp://u:pw@host/"},
           {"compare", "--local", a.path(), "--remote-dir", b.path(), "--connections", "0"},
           {"compare", "--local", a.path(), "--remote-dir", b.path(), "--connections", "17"},
           {"compare", "--local", a.path(), "--remote-dir", b.path(), "--connections", "8x"},
           {"compare", "--local", a.path(), "--remote-dir", b.path(), "--format", "xml"},
       }) {
    const Result r = Cli(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]) << " " << r.out;
    EXPECT_FALSE(r.err.empty());
  }
  // A local folder that does not exist yet lists as empty.
  EXPECT_EQ(Cli({"compare", "--local", a / "missing/deeper", "--remote-dir", b.path()}).status, 1);
  // A server that is not there.
  const Result r = Cli({"compare", "--local", a.path(), "--remote", "ftp://127.0.0.1:1/"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("could not connect"), std::string::npos) << r.err;
}

TEST(Cli, ConnectionsCommandsWriteTheExactFile) {
  TempDir t;
  const std::string file = t / "connections.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--host", "ftp.example.com"}).status, 0);
  const Result add2 = Cli({"connections", "add", "--file", file, "--description", "Work", "--host", "10.0.0.1",
                           "--port", "2121", "--user", "abc", "--password-stdin", "--local", "/home/me/web",
                           "--remote", "/www", "--types", "*.htm", "--no-subfolders"},
                          "", "s3cret\n");
  ASSERT_EQ(add2.status, 0) << add2.err;
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::vector<std::unique_ptr<CConnectionProperties>> expected;
  expected.push_back(std::make_unique<CConnectionProperties>());
  expected[0]->description = expected[0]->host = "ftp.example.com";
  expected[0]->remotePath = "/";
  expected.push_back(std::make_unique<CConnectionProperties>());
  auto& w = *expected[1];
  w.description = "Work";
  w.host = "10.0.0.1";
  w.port = 2121;
  w.anonymous = 0;
  w.userName = "abc";
  w.password = "s3cret";
  w.localPath = "/home/me/web";
  w.remotePath = "/www";
  w.fileTypes = "*.htm";
  w.includeSubFolders = 0;
  EXPECT_EQ(test::ReadFile(file), SerializeConnections(expected));

  const Result list = Cli({"connections", "list", "--file", file, "--format", "tsv"});
  EXPECT_EQ(list.out,
            "ftp.example.com\tftp.example.com\t21\t1\t\t0\t/\t\t\t1\n"
            "Work\t10.0.0.1\t2121\t0\tabc\t1\t/www\t/home/me/web\t*.htm\t0\n");
  EXPECT_EQ(list.out.find("s3cret"), std::string::npos);

  ASSERT_EQ(Cli({"connections", "remove", "--file", file, "--description", "ftp.example.com"}).status, 0);
  expected.erase(expected.begin());
  EXPECT_EQ(test::ReadFile(file), SerializeConnections(expected));
  EXPECT_EQ(Cli({"connections", "remove", "--file", file, "--description", "nope"}).status, 2);

  // A damaged file is an error and stays exactly as it was.
  const std::string damaged = std::string("\x03\x00\x00\x00\xFF\xFF\x01\x00", 8);
  test::WriteFile(t / "bad.ftp", damaged, 0);
  const Result bad = Cli({"connections", "add", "--file", t / "bad.ftp", "--host", "h"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.ftp"), std::string::npos);
  EXPECT_EQ(test::ReadFile(t / "bad.ftp"), damaged);
  EXPECT_EQ(Cli({"connections", "list", "--file", t / "bad.ftp"}).status, 2);
  // Without --file the file lives in the configuration folder.
  ASSERT_EQ(Cli({"connections", "list"}).status, 0);
}

TEST(Cli, SyncWithARealServer) {
  TempDir local, root, t;
  test::WriteFile(local / "up.html", "local", T0 + 600);
  test::WriteFile(root / "site/up.html", "remote", T0);
  test::WriteFile(root / "site/sub/down.html", "from server", T0);
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root.path(), {}, &why);
  ASSERT_TRUE(server) << why;
  const std::string url = "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/site";
  const std::string pw = "TWINBAY_PASSWORD=" + server->password();

  Result r = Cli({"compare", "--local", local.path(), "--remote", url, "--format", "tsv"}, pw);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("F\t>\tup.html"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("F\t<\tsub/down.html"), std::string::npos) << r.out;
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote", url}).status, 2);  // no password anywhere
  for (const char* n : {"1", "2", "16"}) {
    const Result same = Cli({"compare", "--local", local.path(), "--remote", url, "--format", "tsv", "--connections", n}, pw);
    EXPECT_EQ(same.status, 1) << same.err;
    EXPECT_EQ(same.out, r.out) << n << " connections";
  }

  r = Cli({"sync", "--local", local.path(), "--remote", url, "--dry-run"}, pw);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("would copy up   up.html"), std::string::npos) << r.out;
  EXPECT_EQ(test::ReadFile(root / "site/up.html"), "remote");

  r = Cli({"sync", "--local", local.path(), "--remote", url, "--down"}, pw);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(local / "sub/down.html"), "from server");
  EXPECT_EQ(test::ReadFile(root / "site/up.html"), "remote");

  // A stored connection supplies server, login and paths.
  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "Test", "--host", "127.0.0.1", "--port",
                 std::to_string(server->port()), "--user", server->user(), "--password-stdin", "--local",
                 local.path(), "--remote", "/site"},
                "", server->password() + "\n")
                .status,
            0);
  r = Cli({"sync", "--connection", "Test", "--file", file});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("1 copied, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(test::ReadFile(root / "site/up.html"), "local");
  EXPECT_EQ(Cli({"compare", "--connection", "Test", "--file", file}).status, 0);
}

TEST(Cli, SyncBothWaysWithALocalFolderStandingInForTheServer) {
  TempDir local, remote;
  test::WriteFile(local / "up.html", "newer here", T0 + 600);
  test::WriteFile(remote / "up.html", "older there", T0);
  test::WriteFile(local / "new/deeper/page.html", "only here", T0);
  test::WriteFile(remote / "down.html", "newer there", T0 + 600);
  test::WriteFile(local / "down.html", "older here", T0);
  test::WriteFile(remote / "far/away.html", "only there", T0 + 60);
  const Result r = Cli({"sync", "--local", local.path(), "--remote-dir", remote.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // Piped: one line per file, in the order of the compare.
  EXPECT_EQ(r.out, "copied down down.html\ncopied up   up.html\ncopied down far/away.html\n"
                   "copied up   new/deeper/page.html\n4 copied, 0 failed, 0 warnings\n");
  for (const char* name : {"up.html", "down.html", "new/deeper/page.html", "far/away.html"}) {
    EXPECT_EQ(test::ReadFile(local / name), test::ReadFile(remote / name)) << name;
    EXPECT_EQ(std::filesystem::last_write_time(local / name), std::filesystem::last_write_time(remote / name)) << name;
  }
  EXPECT_EQ(test::ReadFile(remote / "up.html"), "newer here");
  EXPECT_EQ(test::ReadFile(local / "down.html"), "newer there");
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote-dir", remote.path()}).status, 0);
}

// The program on a pseudo-terminal (through script(1)): what it wrote there.
Result OnTerminal(const std::vector<std::string>& args) {
  TempDir io;
  std::string cmd = Quote(TWINBAY_CLI);
  for (const std::string& a : args) cmd += " " + Quote(a);
  const int raw = std::system(("script -qec " + Quote(cmd) + " /dev/null </dev/null >" + Quote(io / "out")).c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFile(io / "out"), ""};
}

TEST(Cli, OnATerminalSyncDrawsOneProgressLineAndNamesFilesOnlyWithVerbose) {
  TempDir local, remote;
  for (int i = 0; i < 3; ++i) test::WriteFile(local / ("a" + std::to_string(i)), std::string(5000, 'a'), T0);
  Result r = OnTerminal({"sync", "--local", local.path(), "--remote-dir", remote.path()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\r3 of 3 files, "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("copied up"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 copied, 0 failed, 0 warnings"), std::string::npos) << r.out;

  test::WriteFile(local / "b", "b", T0);
  r = OnTerminal({"sync", "--local", local.path(), "--remote-dir", remote.path(), "-v"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("copied up   b"), std::string::npos) << r.out;

  for (const bool terminal : {true, false}) {
    test::WriteFile(local / "c", terminal ? "c1" : "c2", T0 + (terminal ? 600 : 1200));
    const std::vector<std::string> args = {"sync", "--local", local.path(), "--remote-dir", remote.path(), "-q"};
    r = terminal ? OnTerminal(args) : Cli(args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "") << terminal;
  }
  EXPECT_EQ(test::ReadFile(remote / "c"), "c2");
}

TEST(Cli, AFolderTheServerRefusesIsReportedOnStderrAndEndsWithStatusTwo) {
  TempDir local, root;
  test::WriteFile(local / "locked/page.html", "local, older", T0);
  test::WriteFile(local / "open/new.html", "new", T0);
  test::WriteFile(root / "site/locked/page.html", "server, newer", T0 + 600);
  test::MakeFolder(root / "site/open");
  test::FtpTestServer::PyOptions o;
  o.refuseList = "locked";
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root.path(), o, &why);
  ASSERT_TRUE(server) << why;
  const std::string url = "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/site";
  const std::string pw = "TWINBAY_PASSWORD=" + server->password();

  Result r = Cli({"compare", "--local", local.path(), "--remote", url}, pw);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("incomplete folder locked (remote /site/locked): cannot list /site/locked"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("550"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 folder could not be read"), std::string::npos) << r.err;

  // The rest is copied; the refused folder is left alone, and the run still
  // ends with status 2.
  r = Cli({"sync", "--local", local.path(), "--remote", url}, pw);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("1 copied, 0 failed"), std::string::npos) << r.out;
  EXPECT_EQ(test::ReadFile(root / "site/open/new.html"), "new");
  EXPECT_EQ(test::ReadFile(root / "site/locked/page.html"), "server, newer");
  EXPECT_NE(r.err.find("incomplete folder locked"), std::string::npos) << r.err;
}

TEST(Cli, SyncDownIntoALocalFolderThatDoesNotExistYet) {
  TempDir parent, root;
  test::WriteFile(root / "site/index.html", "home", T0);
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root.path(), {}, &why);
  ASSERT_TRUE(server) << why;
  const std::string url = "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/site";
  const std::string local = parent / "a/b/site";
  const Result r = Cli({"sync", "--down", "--local", local, "--remote", url}, "TWINBAY_PASSWORD=" + server->password());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(local + "/index.html"), "home");
  EXPECT_EQ(Cli({"sync", "--down", "--local", "a/b/site", "--remote", url}).status, 2);
}

// vsftpd listing in its local time, 5:30 ahead of UTC, from a folder the
// anonymous login cannot write to.
TEST(Cli, ServerOffsetOfAReadOnlyServerInItsLocalTime) {
  TempDir folder, local, t;
  // Recent times (listed to the minute), away from minute edges.
  const int64_t base = (static_cast<int64_t>(std::time(nullptr)) - 2 * 86400) / 60 * 60 + 20;
  test::WriteFile(folder / "anon/ro/site/same.txt", "s", base);
  test::WriteFile(folder / "anon/ro/site/newer here.txt", "r", base);
  test::WriteFile(local / "same.txt", "s", base);
  test::WriteFile(local / "newer here.txt", "l", base + 600);
  std::string why;
  auto server = test::FtpTestServer::StartVsftpdLocalTime(folder.path(), "IST-5:30", &why);
  ASSERT_TRUE(server) << why;
  const std::string url = "ftp://127.0.0.1:" + std::to_string(server->port()) + "/ro/site";

  // Automatic: the offset cannot be found here, and the user is told once.
  Result r = Cli({"compare", "--local", local.path(), "--remote", url, "--format", "tsv"});
  EXPECT_EQ(r.status, 1) << r.err;
  const size_t warning = r.err.find("warning: The server's time offset is unknown");
  EXPECT_NE(warning, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("warning", warning + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--server-offset"), std::string::npos) << r.err;

  // Fixed: right, and nothing to warn about.
  r = Cli({"compare", "--local", local.path(), "--remote", url, "--format", "tsv", "--server-offset", "+05:30"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("F\t>\tnewer here.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("F\t=\tsame.txt"), std::string::npos) << r.out;
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote", url, "--server-offset", "5:30"}).status, 2);

  // A stored connection keeps its offset.
  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "Local time", "--host", "127.0.0.1",
                 "--port", std::to_string(server->port()), "--local", local.path(), "--remote", "/ro/site",
                 "--server-offset", "+05:30"})
                .status,
            0);
  EXPECT_NE(Cli({"connections", "list", "--file", file}).out.find("server time offset: +05:30"), std::string::npos);
  r = Cli({"sync", "--connection", "Local time", "--file", file, "--down"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("0 copied, 0 failed"), std::string::npos) << r.out;  // nothing is newer there
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::ReadFile(local / "newer here.txt"), "l");
}

// FTP over TLS from the command line: pure-ftpd demands TLS; its certificate
// is self-signed, refused until trusted by fingerprint, then pinned on the
// stored connection.
TEST(Cli, TlsRefusedUntilTrustedThenSyncsAndStaysPinned) {
  TempDir local, t;
  test::FtpTestServer::Tls cert;
  std::string why;
  ASSERT_TRUE(test::MakeTestCertificate(t / "cert", "127.0.0.1", cert, &why)) << why;
  const std::string fingerprint = test::OpensslFingerprint(cert.certFile);
  ASSERT_EQ(fingerprint.size(), 95u);
  auto server = test::FtpTestServer::StartPureFtpd(t / "srv", &why, 0, 0, 0, &cert);
  ASSERT_TRUE(server) << why;
  const int64_t recent = (static_cast<int64_t>(time(nullptr)) - 86400) / 60 * 60;
  test::WriteFile(server->DataDir() + "/site/down.txt", "from the server", recent + 600);
  test::WriteFile(local / "down.txt", "old", recent);
  test::WriteFile(local / "up.txt", "from here", recent + 600);
  server->Own(server->DataDir());
  const std::string port = std::to_string(server->port());
  const std::string env = "TWINBAY_PASSWORD=secret";

  // Plain FTP is refused by the server; TLS without trust stops at the certificate.
  Result r = Cli({"compare", "--local", local.path(), "--remote", "ftp://tester@127.0.0.1:" + port + "/site"}, env);
  EXPECT_EQ(r.status, 2) << r.err;
  r = Cli({"compare", "--local", local.path(), "--remote", "ftpes://tester@127.0.0.1:" + port + "/site"}, env);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--trust-fingerprint " + fingerprint), std::string::npos) << r.err;
  // The address's scheme and --tls must agree; a fingerprint must be one.
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote", "ftps://127.0.0.1:" + port + "/", "--tls",
                 "explicit"})
                .status,
            2);
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote", "ftpes://127.0.0.1:" + port + "/",
                 "--trust-fingerprint", "sha256//abc="})
                .status,
            2);

  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "Secure", "--host", "127.0.0.1", "--port",
                 port, "--user", "tester", "--local", local.path(), "--remote", "/site", "--tls", "explicit"},
                env)
                .status,
            0);
  r = Cli({"compare", "--connection", "Secure", "--file", file}, env);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(fingerprint), std::string::npos) << r.err;

  r = Cli({"sync", "--connection", "Secure", "--file", file, "--trust-fingerprint", fingerprint}, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("2 copied, 0 failed"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("explicit TLS"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFile(local / "down.txt"), "from the server");
  EXPECT_EQ(test::ReadFile(server->DataDir() + "/site/up.txt"), "from here");

  // Pinned on the record: the next run needs no fingerprint, and says so in the list.
  EXPECT_NE(Cli({"connections", "list", "--file", file}).out.find("tls:     explicit, trusted certificate SHA-256 " +
                                                                  fingerprint),
            std::string::npos);
  r = Cli({"compare", "--connection", "Secure", "--file", file}, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// twinbay-cli over OpenSSH's sshd: a host key not in known_hosts stops the
// run with its fingerprint until trusted; a changed one stops it whatever
// else; compare and sync over sftp:// with a key file, and a stored SFTP
// connection that keeps the key trusted once.
TEST(Cli, SftpHostKeysThenCompareAndSyncWithAKeyFile) {
  TempDir local, remote, t, home;
  std::string why;
  test::MakeFolder(t / "sshd");
  auto sshd = test::SshTestServer::StartSshd(t / "sshd", &why);
  ASSERT_TRUE(sshd) << why;
  const std::string fp = sshd->HostFingerprint(), key = sshd->ClientKey();
  const std::string url = "sftp://root@127.0.0.1:" + std::to_string(sshd->port()) + remote.path();
  // No agent; the home folder (and its known_hosts) is the test's.
  const std::string env = "HOME=" + Quote(home.path()) + " env -u SSH_AUTH_SOCK";
  test::WriteFile(local / "up.txt", "from here", T0 + 600);
  test::WriteFile(remote / "up.txt", "old", T0);
  test::WriteFile(remote / "sub/down.txt", "from there", T0);

  Result r = Cli({"compare", "--local", local.path(), "--remote", url, "--identity", key}, env);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("host key is not known\ntwinbay-cli:   " + fp + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--trust-host-key " + fp), std::string::npos) << r.err;
  r = Cli({"compare", "--local", local.path(), "--remote", url, "--identity", key, "--trust-host-key", fp,
           "--format", "tsv"},
          env);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "D\troot\t.\nF\t>\tup.txt\t9\t2026-01-02T03:14:05Z\t3\t2026-01-02T03:04:05Z\n"
            "D\tremote\tsub\nF\t<\tsub/down.txt\t-\t-\t10\t2026-01-02T03:04:05Z\n");
  // Known to ~/.ssh/known_hosts: no option needed; the sync goes both ways.
  test::WriteFile(home / ".ssh/known_hosts", sshd->KnownHostsLine(), 0);
  r = Cli({"sync", "--local", local.path(), "--remote", url, "--identity", key}, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(remote / "up.txt"), "from here");
  EXPECT_EQ(test::ReadFile(local / "sub/down.txt"), "from there");
  EXPECT_EQ(Cli({"compare", "--local", local.path(), "--remote", url, "--identity", key}, env).status, 0);

  // A stored SFTP connection: the trusted key is pinned on it once it got in.
  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "S", "--protocol", "sftp", "--host",
                 "127.0.0.1", "--port", std::to_string(sshd->port()), "--user", "root", "--identity", key,
                 "--local", local.path(), "--remote", remote.path()})
                .status,
            0);
  std::filesystem::remove(home / ".ssh/known_hosts");
  EXPECT_EQ(Cli({"compare", "--connection", "S", "--file", file}, env).status, 2);
  r = Cli({"compare", "--connection", "S", "--file", file, "--trust-host-key", fp}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Cli({"connections", "list", "--file", file}).out.find("protocol: sftp, key file " + key +
                                                                  ", trusted host key " + fp),
            std::string::npos);
  EXPECT_EQ(Cli({"compare", "--connection", "S", "--file", file}, env).status, 0);

  // Another key for this server in known_hosts, or pinned: refused as changed, and no option accepts it.
  ASSERT_TRUE(test::MakeSshKey(t / "other", "ed25519"));
  std::string other = test::ReadFile(t / "other.pub");
  other = other.substr(0, other.find(' ', other.find(' ') + 1));
  test::WriteFile(home / ".ssh/known_hosts", "[127.0.0.1]:" + std::to_string(sshd->port()) + " " + other + "\n", 0);
  for (const std::string& pin : {std::string(), std::string("SHA256:") + std::string(43, 'A')}) {
    std::vector<std::string> args = {"compare", "--local", local.path(), "--remote", url, "--identity", key};
    if (!pin.empty()) std::filesystem::remove(home / ".ssh/known_hosts"), args.push_back("--trust-host-key"),
        args.push_back(pin);
    r = Cli(args, env);
    EXPECT_EQ(r.status, 2) << pin;
    EXPECT_NE(r.err.find("has CHANGED: it is now\ntwinbay-cli:   " + fp), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("--trust-host-key"), std::string::npos) << r.err;
  }
}

// A server without MLSD that lists in the layouts of many server families:
// every entry shows under its own name, and every file downloads (a size the
// listing does not give exactly is checked with SIZE).
TEST(Cli, ListingsOfManyServerFamilies) {
  const struct {
    std::string line, name;
    int size;  // -1: the line gives no byte count (the file holds 9 bytes)
    const char* time = nullptr;
  } kFiles[] = {
      {"-rw-r--r--   1 root     other          5 3 29 2004 unix numeric", "unix numeric", 5},
      {"-rw-r--r--   1 root     other          6 2005-06-07 21:22 unix-iso", "unix-iso", 6, "2005-06-07T20:22:00Z"},
      {"-rw-r--r--   1 root     other          7 2.   Okt.  2003 Bericht ", "Bericht ", 7, "2003-10-02T00:00:00Z"},
      {"-rw-r--r--   1 root     sys            8  4月 18日 2003年 日本.txt", "日本.txt", 8},
      {"-r-xr-xr-x longowner longgroup9 Feb 12  2004 glued", "glued", -1},
      {"0100644   500  101   10    1112345678       numeric", "numeric", 10, "2005-04-01T08:54:38Z"},
      {"+i1.2,m824255907,r,s11,\teplf", "eplf", 11, "1996-02-13T23:58:27Z"},
      {"2002-09-02  19:06                   12 dos.txt", "dos.txt", 12, "2002-09-02T18:06:00Z"},
      {"13  Apr 04, 2000 21:06 vshell.txt", "vshell.txt", 13},
      {"14      A    04-23-103  10:57  os2.txt", "os2.txt", 14},
      {"- [RWCEAFMS] rhesus         15       Oct 20  2003    netware.txt", "netware.txt", 15},
      {"VMS.TXT;1  1/3  29-JAN-1996 03:33:12  [A,B]  (RWED,RWED,,)", "VMS.TXT;1", -1},
      {"LONG-VMS-NAME.DATA;2\r\n      1/3  24-APR-2003 08:16:15  [A,B]  (RWED,,,)", "LONG-VMS-NAME.DATA;2", -1},
      {"QSYS            16 02/23/00 15:09:55 *STMF      as400.txt", "as400.txt", 16},
      {"  0.0    93/06/30 1404   ------wr     17        17 os9.txt", "os9.txt", 17},
      {"nortel.cfg       18  06/03/04  Thur.   10:20:03", "nortel.cfg", 18},
      {"19   Mar-01-2004  12:00:00   vxworks.cmd", "vxworks.cmd", 19},
  };
  const char* kFolders[][2] = {{"2002-09-02  18:48       <DIR>          dos dir", "dos dir"},
                               {"VMSDIR.DIR;1  1 19-NOV-2001 21:41 [root,root] (RWE,RWE,RE,RE)", "VMSDIR"},
                               {"d [R----F--] supervisor  512       Jan 16  2004    netware dir", "netware dir"}};
  TempDir local, root, t;
  std::string listing = "Directory DISK$USER:[ANONYMOUS]\r\n";
  for (size_t i = 0; i < std::size(kFiles); ++i) {
    listing += kFiles[i].line + "\r\n";
    test::WriteFile(root / kFiles[i].name, std::string(kFiles[i].size < 0 ? 9 : kFiles[i].size, 'a' + i), T0);
  }
  for (const auto& f : kFolders) {
    listing += std::string(f[0]) + "\r\n";
    std::filesystem::create_directory(root / f[1]);
  }
  test::WriteFile(t / "listing", listing, T0);
  std::string why;
  test::FtpTestServer::PyOptions options;
  options.extraArgs = {"--list-file", t / "listing"};
  auto server = test::FtpTestServer::StartPyftpdlib(root.path(), options, &why);
  ASSERT_TRUE(server) << why;
  const std::string url = "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/";
  const std::string pw = "TWINBAY_PASSWORD=" + server->password();
  // The server lists in UTC+1: times to the minute shift, dates and Unix seconds do not.
  Result r =
      Cli({"compare", "--local", local.path(), "--remote", url, "--format", "tsv", "--server-offset", "+01:00"}, pw);
  EXPECT_EQ(r.status, 1) << r.err;
  for (const auto& f : kFiles) {
    const std::string row = "F\t<\t" + f.name + "\t-\t-\t" + (f.size < 0 ? "?" : std::to_string(f.size)) + "\t";
    EXPECT_NE(r.out.find(row + (f.time ? f.time : "")), std::string::npos) << row << "\n" << r.out;
  }
  for (const auto& f : kFolders)
    EXPECT_NE(r.out.find("D\tremote\t" + std::string(f[1]) + "\n"), std::string::npos) << r.out;
  r = Cli({"sync", "--local", local.path(), "--remote", url, "--down", "--server-offset", "+01:00"}, pw);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& f : kFiles) EXPECT_EQ(test::ReadFile(local / f.name), test::ReadFile(root / f.name)) << f.name;

  // Downloads cut short fail, those of a size the listing did not give too.
  TempDir fresh;
  options.extraArgs.push_back("--truncate-downloads");
  server = test::FtpTestServer::StartPyftpdlib(root.path(), options, &why);
  ASSERT_TRUE(server) << why;
  r = Cli({"sync", "--local", fresh.path(), "--down", "--server-offset", "+01:00", "--remote",
           "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/"}, pw);
  EXPECT_NE(r.out.find("0 copied, 17 failed"), std::string::npos) << r.out << r.err;
  for (const auto& f : kFiles) EXPECT_FALSE(std::filesystem::exists(fresh / f.name)) << f.name;
}

}  // namespace
}  // namespace twinbay
