// twinbay-cli through its real binary: compares, syncs, connections, interruptions, hostile names and files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/connections.h"
#include "support/ftp_servers.h"
#include "support/runs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

#ifndef TWINBAY_CLI
#error "TWINBAY_CLI must name the binary"
#endif

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::PrivateKeyring;
using test::ReadFile;
using test::TemporaryFiles;
using test::TempDir;
using test::WriteFile;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

const int64_t T0 = test::UnixTime(2026, 1, 2, 3, 4, 5);

struct Result {
  int status;
  std::string out, err;
};

bool WaitFor(const std::function<bool()>& pred, int seconds = 30) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs the binary with a private HOME and configuration folder, no password
// in its environment and `input` on stdin; `env` entries are NAME=VALUE (NAME
// alone removes it). A run still going after 60 seconds is killed (status -1).
class CliProcess {
 public:
  // watchLimit > 0 runs the program in a user namespace of its own whose
  // limit on inotify watches is that number (the machine's stays as it is).
  explicit CliProcess(const Args& args, const Args& env = {}, const std::string& input = "", int watchLimit = 0) {
    WriteFile(io_ / "in", input, 0);
    const std::string in = io_ / "in", out = io_ / "out", err = io_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("HOME", io_.path().c_str(), 1);
      setenv("XDG_CONFIG_HOME", (io_ / "config").c_str(), 1);
      unsetenv("TWINBAY_PASSWORD");
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      if (!freopen(in.c_str(), "r", stdin) || !freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
        _exit(126);
      // The namespace is made by unshare(1): a process with threads (as a
      // sanitizer's runtime starts) cannot make one itself.
      const std::string limit = "echo " + std::to_string(watchLimit) +
                                " > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\"";
      std::vector<char*> argv;
      if (watchLimit > 0)
        for (const char* w : {"unshare", "-Ur", "/bin/sh", "-c", limit.c_str()}) argv.push_back(const_cast<char*>(w));
      argv.push_back(const_cast<char*>(TWINBAY_CLI));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      if (watchLimit > 0) execvp("unshare", argv.data());
      execv(TWINBAY_CLI, argv.data());
      _exit(127);
    }
  }
  ~CliProcess() {
    if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  void Signal(int sig) { kill(pid_, sig); }
  std::string Out() const { return ReadFile(io_ / "out") + ReadFile(io_ / "err"); }
  Result Wait() {
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, 60)) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
    reaped_ = true;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status) == SIGKILL ? -1 : -1000 - WTERMSIG(status);
    return {code, ReadFile(io_ / "out"), ReadFile(io_ / "err")};
  }

 private:
  TempDir io_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

Result Cli(const Args& args, const Args& env = {}, const std::string& input = "") {
  return CliProcess(args, env, input).Wait();
}

Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// pyftpdlib serving `root` with the test switches `extraArgs`; password is the environment entry that logs in.
struct Served {
  TempDir local, root;
  std::unique_ptr<FtpTestServer> server;
  std::string password;
  explicit Served(const Args& extraArgs = {}) {
    fs::create_directories(root / "site");
    FtpTestServer::PyOptions o;
    o.extraArgs = extraArgs;
    std::string why;
    server = FtpTestServer::StartPyftpdlib(root.path(), o, &why);
    if (server) password = "TWINBAY_PASSWORD=" + server->password();
    EXPECT_TRUE(server) << why;
  }
  std::string Url(const std::string& path = "/site") const {
    return "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + path;
  }
};

// What cannot be done as asked fails with status 2 and says why.
TEST(Cli, ExitStatusesAndErrors) {
  TempDir a, b;
  const Args local = {"compare", "--local", a.path()};
  for (const Args& args : std::vector<Args>{{"frobnicate"}, local + Args{"--remote", "ftp://u:pw@host/"},
                                            local + Args{"--remote", "ftp://127.0.0.1:1/"},
                                            local + Args{"--remote-dir", b.path(), "--server-offset", "5:30"},
                                            Args{"sync", "--bwlimit", "2X"}, Args{"sync", "--bwlimit", "0"}}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.status, 2) << args.back() << r.out;
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(args.size() < 2 || args[1] != "--bwlimit" || Has(r.err, "--bwlimit takes")) << r.err;
  }
  EXPECT_EQ(Cli({"connections", "list"}, {"HOME", "XDG_CONFIG_HOME"}).status, 2);  // no folder to fall back on
}

// The connections file the commands write is the one the program reads, private to
// the user; a damaged file, or one that is no regular file, is refused and stays as it was.
// resolve settles each kind of conflict as the side kept says, and nothing
// else: a file only here stays there, a path that is no conflict is named.
TEST(Cli, ResolveSettlesEachConflictKindAndNothingElse) {
  // {keep, changed on both sides (server newer), deleted here, deleted there}: what both sides hold after
  // ("" for gone).
  const std::vector<std::array<std::string, 4>> rows{
      {"local", "L", "", "L"}, {"remote", "R", "R", ""}, {"newer", "R", "R", "L"}};
  for (const auto& row : rows) {
    TempDir l, r, data;
    const Args pair = {"--local", l.path(), "--remote-dir", r.path()}, env = {"XDG_DATA_HOME=" + data.path()};
    for (const char* f : {"both", "gonehere", "gonethere"}) WriteFile(l / f, "old", T0), WriteFile(r / f, "old", T0);
    ASSERT_EQ(Cli(Args{"sync"} + pair, env).status, 0);
    WriteFile(l / "both", "L", T0 + 600), WriteFile(r / "both", "R", T0 + 1200);
    fs::remove(l / "gonehere"), WriteFile(r / "gonehere", "R", T0 + 600);
    fs::remove(r / "gonethere"), WriteFile(l / "gonethere", "L", T0 + 600);
    WriteFile(l / "new", "n", T0);
    const Args named = row[0] == "newer" ? Args{} : Args{"both", "gonehere", "gonethere"};
    Result res = Cli(Args{"resolve", "--keep", row[0]} + pair + named, env);
    EXPECT_EQ(res.status, 0) << row[0] << res.out << res.err;
    for (int i = 1; i <= 3; ++i) {
      const char* f = i == 1 ? "both" : i == 2 ? "gonehere" : "gonethere";
      for (const TempDir* side : {&l, &r})
        EXPECT_EQ(fs::exists(*side / f) ? ReadFile(*side / f) : "", row[i]) << row[0] << " " << f;
    }
    EXPECT_FALSE(fs::exists(r / "new")) << row[0];
    res = Cli(Args{"resolve", "--keep", "local"} + pair + Args{"new", "gone"}, env);
    EXPECT_EQ(res.status, 1) << res.err;
    EXPECT_TRUE(Has(res.err, "new is not a conflict") && Has(res.err, "gone is not a conflict")) << res.err;
    EXPECT_FALSE(fs::exists(r / "new"));
    if (row[0] != "remote") continue;
    // A trash that cannot be written destroys nothing: the replacement
    // fails and says why; --no-trash overwrites.
    fs::remove_all(data / "Trash"), WriteFile(data / "Trash", "", T0);
    WriteFile(l / "both", "L2", T0 + 1800), WriteFile(r / "both", "R2", T0 + 2400);
    res = Cli(Args{"resolve", "--keep", "remote", "both"} + pair, env);
    EXPECT_EQ(res.status, 1) << res.out;
    EXPECT_TRUE(Has(res.out, "FAILED down both: the file could not be put in the trash")) << res.out;
    EXPECT_EQ(ReadFile(l / "both"), "L2");
    EXPECT_EQ(Cli(Args{"resolve", "--keep", "remote", "both", "--no-trash"} + pair, env).status, 0);
    EXPECT_EQ(ReadFile(l / "both"), "R2");
  }
  EXPECT_EQ(Cli({"resolve", "--keep", "local", "--local", "x", "--remote-dir", "y"}).status, 2);  // no PATH
}

TEST(Cli, ConnectionsCommandsWriteAPrivateFileAndLeaveABadOneAlone) {
  TempDir t;
  const std::string file = t / "connections.ftp";
  ConnectionsList window(file);  // the window, open meanwhile (no file yet), saves after the commands
  window.Add(std::make_unique<CConnectionProperties>())->description = "Window's";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--host", "ftp.example.com"}).status, 0);
  const Result work = Cli({"connections", "add", "--file", file, "--description", "Work", "--host", "10.0.0.1", "--port",
                           "2121", "--user", "abc", "--password-stdin", "--local", "/home/me/web", "--remote", "/www",
                           "--types", "*.htm", "--no-subfolders"},
                          {}, "s3cret\n");
  ASSERT_EQ(work.status, 0);  // no desktop keyring here
  EXPECT_TRUE(Has(work.err, "password kept scrambled in the connections file (no desktop keyring: no session bus"))
      << work.err;
  ASSERT_EQ(Cli({"connections", "remove", "--file", file, "--description", "ftp.example.com"}).status, 0);
  ASSERT_TRUE(window.Save().ok);
  struct stat st;
  ASSERT_TRUE(stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600u);
  ConnectionsList list(file);
  ASSERT_TRUE(list.Load().ok);
  ASSERT_TRUE(list.Count() == 2 && list.FindByDescription("Window's"));
  const CConnectionProperties& w = *list.FindByDescription("Work");
  EXPECT_EQ(w.host + w.userName + w.password + w.localPath + w.remotePath + w.fileTypes,
            "10.0.0.1abcs3cret/home/me/web/www*.htm");
  EXPECT_EQ(w.port * 10 + w.includeSubFolders + w.anonymous, 21210);
  EXPECT_FALSE(Has(Cli({"connections", "list", "--file", file}).out, "s3cret"));
  // A stored pattern that cannot be used, or settings that cannot be read, stop a run first; the file stays.
  for (const auto& [text, says] : {std::pair{"connection Window's\nexclude !x\n", "by a pattern that cannot be used"},
                                   {"exclude x\n", "connections.ftp.settings cannot be read: line 1"}}) {
    WriteFile(file + ".settings", text, 0);
    const Result r = Cli({"compare", "--file", file, "--connection", "Window's", "--local", t.path()});
    EXPECT_TRUE(r.status == 2 && Has(r.err, says)) << r.err;
  }
  EXPECT_TRUE(Cli({"connections", "add", "--file", file, "--host", "h2"}).status == 2 && ReadFile(file + ".settings") == "exclude x\n");
  const std::string damaged = std::string("\x03\x00\x00\x00\xFF\xFF\x01\x00", 8);
  WriteFile(t / "bad.ftp", damaged, 0);
  const Result bad = Cli({"connections", "add", "--file", t / "bad.ftp", "--host", "h"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(ReadFile(t / "bad.ftp"), damaged);
  // What is no regular file, or far too large for one, is refused before it is read.
  const std::string fifo = t / "fifo", huge = t / "huge.ftp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(huge, "", 0);
  ASSERT_EQ(truncate(huge.c_str(), off_t{300} << 20), 0);
  for (const std::string& f : {std::string("/dev/zero"), fifo, t.path(), huge}) {
    const Result r = Cli({"connections", "list", "--file", f});
    EXPECT_EQ(r.status, 2) << f << r.out;
    EXPECT_TRUE(Has(r.err, f == huge ? "too large" : "is not a regular file")) << r.err;
    EXPECT_EQ(Cli({"connections", "add", "--file", f, "--host", "h"}).status, 2) << f;
  }
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Control characters and bytes that are no UTF-8 in names are written escaped, never raw.
TEST(Cli, TabsLineBreaksAndEscapesInNamesNeverReachTheOutputRaw) {
  TempDir a, b;
  for (const char* name : {"tab\there.txt", "line\nbreak.txt", "esc\x1b[2Jcape.txt", "back\\slash.txt", "bad\xff utf8.txt"})
    WriteFile(a / name, "1", T0);
  const Result tsv = Cli({"compare", "--local", a.path(), "--remote-dir", b.path(), "--format", "tsv"});
  EXPECT_EQ(tsv.status, 1) << tsv.err;
  EXPECT_EQ(tsv.out,
            "D\troot\t.\n"
            "F\t>\tback\\\\slash.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "F\t>\tbad\\xff utf8.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "F\t>\tesc\\x1b[2Jcape.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "F\t>\tline\\nbreak.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "F\t>\ttab\\there.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n");
  const Result text = Cli({"compare", "--local", a.path(), "--remote-dir", b.path()});
  EXPECT_EQ(text.out.find_first_of("\x1b\t"), std::string::npos);
}

// One pyftpdlib server: the compare's classes and times, a dry run that changes nothing,
// a stored connection's sync both ways, stale temporary files removed only by a sync.
TEST(Cli, SyncWithARealServer) {
  Served s;
  ASSERT_TRUE(s.server);
  const TempDir& local = s.local;
  TempDir t;
  WriteFile(local / "index.html", "new", T0 + 120);
  WriteFile(s.root / "site/INDEX.HTML", "old!", T0);
  WriteFile(local / "same.css", "s", T0);
  WriteFile(s.root / "site/same.css", "s", T0 + 30);  // same minute: in step by default
  WriteFile(s.root / "site/img/Logo.gif", "gif", T0);
  WriteFile(local / "drafts/new/a.txt", "a", T0);
  const Args site = {"--local", local.path(), "--remote", s.Url()};
  Result r = Cli(Args{"compare", "--format", "tsv"} + site, {s.password});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "D\troot\t.\n"
            "F\t>\tindex.html\t3\t2026-01-02T03:06:05Z\t4\t2026-01-02T03:04:05Z\n"
            "F\t=\tsame.css\t1\t2026-01-02T03:04:05Z\t1\t2026-01-02T03:04:35Z\n"
            "D\tlocal\tdrafts\nD\tlocal\tdrafts/new\n"
            "F\t>\tdrafts/new/a.txt\t1\t2026-01-02T03:04:05Z\t-\t-\n"
            "D\tremote\timg\n"
            "F\t<\timg/Logo.gif\t-\t-\t3\t2026-01-02T03:04:05Z\n");
  EXPECT_EQ(Cli(Args{"compare"} + site).status, 2);  // no password anywhere
  EXPECT_EQ(Cli(Args{"sync", "--dry-run"} + site, {s.password}).status, 0);
  EXPECT_FALSE(fs::exists(local / "img") || fs::exists(s.root / "site/drafts"));
  EXPECT_EQ(ReadFile(s.root / "site/INDEX.HTML"), "old!");
  const std::string file = t / "c.ftp";
  auto keyring = std::make_unique<PrivateKeyring>(t / "keyring");  // the stored password goes there
  ASSERT_TRUE(keyring->ok()) << ReadFile(keyring->log());
  r = Cli({"connections", "add", "--file", file, "--description", "Test", "--host", "127.0.0.1", "--port",
           std::to_string(s.server->port()), "--user", s.server->user(), "--password-stdin", "--local", local.path(),
           "--remote", "/site"},
          {}, s.server->password() + "\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "twinbay-cli: password kept in the desktop keyring\n");
  EXPECT_FALSE(Has(ReadFile(file), ScrambleText(s.server->password())));
  EXPECT_TRUE(Has(Cli({"connections", "list", "--file", file}).out, " (password in the desktop keyring)"));
  r = Cli({"sync", "--connection", "Test", "--file", file, "--bwlimit", "1.5M"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "3 copied, 0 failed, 0 warnings\n")) << r.out;
  for (const auto& [here, there] : {std::pair<std::string, std::string>{"index.html", "INDEX.HTML"},
                                    {"drafts/new/a.txt", "drafts/new/a.txt"}, {"img/Logo.gif", "img/Logo.gif"}}) {
    EXPECT_EQ(ReadFile(local / here), ReadFile(s.root / ("site/" + there))) << here;
    EXPECT_EQ(fs::last_write_time(local / here), fs::last_write_time(s.root / ("site/" + there))) << here;
  }
  EXPECT_EQ(ReadFile(s.root / "site/INDEX.HTML"), "new");
  EXPECT_EQ(Cli({"compare", "--connection", "Test", "--file", file}).status, 0);
  keyring.reset();  // a password the keyring cannot give is never an empty one
  r = Cli({"compare", "--connection", "Test", "--file", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "is kept in the desktop keyring, but it could not be read")) << r.err;
  // Stale temporary files three days old on both sides; one an hour old may be a copy under way.
  TempDir here;
  const int64_t old = static_cast<int64_t>(std::time(nullptr)) - 3 * 86400;
  WriteFile(here / ".twinbay-z.bin.partYoung1", "under way", old + 3 * 86400 - 3600);
  const std::string localTemp = here / ".twinbay-x.bin.partAbC123";
  const std::string remoteTemp = s.root / "stale/sub/.twinbay-y.bin.part-0123456789ab";
  WriteFile(localTemp, "874 MB, once", old);
  WriteFile(remoteTemp, "partial", old);
  WriteFile(here / "sub/y.bin", "y", T0);
  WriteFile(here / "sub/line\nbreak.txt", "FTP cannot name it", T0);  // left alone; the rest goes on
  for (const Args& args : {Args{"compare"}, Args{"compare", "--format", "tsv"}, Args{"sync", "--dry-run"}, Args{"sync"}}) {
    r = Cli(args + Args{"--local", here.path(), "--remote", s.Url("/stale")}, {s.password, "TWINBAY_FTP_TRACE=1"});
    SCOPED_TRACE(args.back() + "\n" + r.out + r.err);
    const bool removed = args.back() == "sync";
    EXPECT_EQ(Has(r.out + r.err, "would"), !removed);  // named by what does not remove them
    EXPECT_FALSE(Has(r.err, "secret") || (args.back() == "tsv" && Has(r.out, "would")));
    EXPECT_NE(fs::exists(localTemp), removed);
    EXPECT_NE(fs::exists(remoteTemp), removed);
    EXPECT_EQ(fs::exists(s.root / "stale/sub/y.bin"), removed);
    EXPECT_TRUE(fs::exists(here / ".twinbay-z.bin.partYoung1"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "sub/line\\nbreak.txt: a name the server cannot take; left alone") && !Has(r.err, "FAILED"));
  }
}

// pure-ftpd demands TLS; its self-signed certificate is refused until trusted
// by fingerprint, then pinned on the stored connection.
TEST(Cli, TlsRefusedUntilTrustedThenSyncsAndStaysPinned) {
  TempDir local, t;
  FtpTestServer::Tls cert;
  std::string why;
  ASSERT_TRUE(test::MakeTestCertificate(t / "cert", "127.0.0.1", cert, &why)) << why;
  const std::string fingerprint = test::OpensslFingerprint(cert.certFile);
  ASSERT_EQ(fingerprint.size(), 95u);
  auto server = FtpTestServer::StartPureFtpd(t / "srv", &why, 0, 0, 0, &cert);
  ASSERT_TRUE(server) << why;
  const int64_t recent = (static_cast<int64_t>(time(nullptr)) - 86400) / 60 * 60;
  WriteFile(server->DataDir() + "/site/down.txt", "from the server", recent + 600);
  WriteFile(local / "down.txt", "old", recent);
  WriteFile(local / "up.txt", "from here", recent + 600);
  server->Own(server->DataDir());
  const Args env = {"TWINBAY_PASSWORD=secret"};
  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "Secure", "--host", "127.0.0.1", "--port",
                 std::to_string(server->port()), "--user", "tester", "--local", local.path(), "--remote", "/site",
                 "--tls", "explicit"},
                env)
                .status,
            0);
  Result r = Cli({"compare", "--connection", "Secure", "--file", file}, env);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "--trust-fingerprint " + fingerprint)) << r.err;
  r = Cli({"sync", "--connection", "Secure", "--file", file, "--trust-fingerprint", fingerprint}, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(local / "down.txt"), "from the server");
  EXPECT_EQ(ReadFile(server->DataDir() + "/site/up.txt"), "from here");
  r = Cli({"compare", "--connection", "Secure", "--file", file}, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// Over OpenSSH's sshd: an unknown host key stops the run until trusted, a changed one whatever else.
TEST(Cli, SftpHostKeysThenCompareAndSyncWithAKeyFile) {
  TempDir local, remote, t, home;
  std::string why;
  test::MakeFolder(t / "sshd");
  auto sshd = test::SshTestServer::StartSshd(t / "sshd", &why);
  ASSERT_TRUE(sshd) << why;
  const std::string fp = sshd->HostFingerprint(), key = sshd->ClientKey();
  const std::string url = "sftp://root@127.0.0.1:" + std::to_string(sshd->port()) + remote.path();
  const Args env = {"HOME=" + home.path(), "SSH_AUTH_SOCK"};  // no agent; the test's known_hosts
  WriteFile(local / "up.txt", "from here", T0 + 600);
  WriteFile(remote / "up.txt", "old", T0);
  WriteFile(remote / "sub/down.txt", "from there", T0);
  const Args byUrl = {"--local", local.path(), "--remote", url, "--identity", key};
  auto run = [&](const std::string& command, const Args& more = {}) { return Cli(Args{command} + byUrl + more, env); };
  Result r = run("compare");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "--trust-host-key " + fp)) << r.err;
  EXPECT_EQ(run("compare", {"--trust-host-key", fp}).status, 1);
  WriteFile(home / ".ssh/known_hosts", sshd->KnownHostsLine(), 0);
  r = run("sync");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(remote / "up.txt"), "from here");
  EXPECT_EQ(ReadFile(local / "sub/down.txt"), "from there");
  EXPECT_EQ(run("compare").status, 0);
  // Another key for this server, in known_hosts or trusted by option: refused as changed.
  ASSERT_TRUE(test::MakeSshKey(t / "other", "ed25519"));
  std::string other = ReadFile(t / "other.pub");
  other = other.substr(0, other.find(' ', other.find(' ') + 1));
  WriteFile(home / ".ssh/known_hosts", "[127.0.0.1]:" + std::to_string(sshd->port()) + " " + other + "\n", 0);
  for (const std::string& pin : {std::string(), std::string("SHA256:") + std::string(43, 'A')}) {
    if (!pin.empty()) fs::remove(home / ".ssh/known_hosts");
    r = pin.empty() ? run("compare") : run("compare", {"--trust-host-key", pin});
    EXPECT_EQ(r.status, 2) << pin;
    EXPECT_TRUE(Has(r.err, "has CHANGED: it is now\ntwinbay-cli:   " + fp)) << r.err;
    EXPECT_FALSE(Has(r.err, "--trust-host-key")) << r.err;
  }
}

// Listings in the layouts of many server families, in the server's zone: every
// file shows under its own name and time and downloads whole; downloads cut short fail.
TEST(Cli, ListingsOfManyServerFamilies) {
  const struct {
    std::string line, name;
    int size;  // -1: the line gives no byte count (the file holds 9 bytes)
    const char* time = nullptr;
  } kFiles[] = {
      {"-rw-r--r--   1 root     other          5 3 29 2004 unix numeric", "unix numeric", 5},
      {"-rw-r--r--   1 root     other          6 2005-06-07 21:22 unix-iso", "unix-iso", 6, "2005-06-07T20:22:00Z"},
      {"-rw-r--r--   1 root     other          7 2.   Okt.  2003 Bericht ", "Bericht ", 7, "2003-10-02T00:00:00Z"},
      {"-r-xr-xr-x longowner longgroup9 Feb 12  2004 glued", "glued", -1},
      {"0100644   500  101   10    1112345678       numeric", "numeric", 10, "2005-04-01T08:54:38Z"},
      {"+i1.2,m824255907,r,s11,\teplf", "eplf", 11, "1996-02-13T23:58:27Z"},
      {"2002-09-02  19:06                   12 dos.txt", "dos.txt", 12, "2002-09-02T18:06:00Z"},
      {"- [RWCEAFMS] rhesus         15       Oct 20  2003    netware.txt", "netware.txt", 15},
      {"VMS.TXT;1  1/3  29-JAN-1996 03:33:12  [A,B]  (RWED,RWED,,)", "VMS.TXT;1", -1},
      {"LONG-VMS-NAME.DATA;2\r\n      1/3  24-APR-2003 08:16:15  [A,B]  (RWED,,,)", "LONG-VMS-NAME.DATA;2", -1},
  };
  const char* kFolders[][2] = {{"2002-09-02  18:48       <DIR>          dos dir", "dos dir"},
                               {"VMSDIR.DIR;1  1 19-NOV-2001 21:41 [root,root] (RWE,RWE,RE,RE)", "VMSDIR"},
                               {"d [R----F--] supervisor  512       Jan 16  2004    netware dir", "netware dir"}};
  TempDir t;
  std::string listing = "Directory DISK$USER:[ANONYMOUS]\r\n";
  for (const auto& f : kFiles) listing += f.line + "\r\n";
  for (const auto& f : kFolders) listing += std::string(f[0]) + "\r\n";
  WriteFile(t / "listing", listing, T0);
  const Args faults = {"--list-file", t / "listing"};
  Served s(faults);
  ASSERT_TRUE(s.server);
  for (size_t i = 0; i < std::size(kFiles); ++i)
    WriteFile(s.root / kFiles[i].name, std::string(kFiles[i].size < 0 ? 9 : kFiles[i].size, 'a' + i), T0);
  for (const auto& f : kFolders) fs::create_directory(s.root / f[1]);
  // The server lists in UTC+1: times to the minute shift, dates and Unix seconds do not.
  const Args zone = {"--local", s.local.path(), "--server-offset", "+01:00", "--remote"};
  Result r = Cli(Args{"compare", "--format", "tsv"} + zone + Args{s.Url("/")}, {s.password});
  EXPECT_EQ(r.status, 1) << r.err;
  for (const auto& f : kFiles) {
    const std::string row = "F\t<\t" + f.name + "\t-\t-\t" + (f.size < 0 ? "?" : std::to_string(f.size)) + "\t";
    EXPECT_TRUE(Has(r.out, row + (f.time ? f.time : ""))) << row << "\n" << r.out;
  }
  for (const auto& f : kFolders) EXPECT_TRUE(Has(r.out, "D\tremote\t" + std::string(f[1]) + "\n")) << r.out;
  r = Cli(Args{"sync", "--down"} + zone + Args{s.Url("/")}, {s.password});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const auto& f : kFiles) EXPECT_EQ(ReadFile(s.local / f.name), ReadFile(s.root / f.name)) << f.name;
  std::string why;
  FtpTestServer::PyOptions cutting;
  cutting.extraArgs = faults + Args{"--truncate-downloads"};
  auto cut = FtpTestServer::StartPyftpdlib(s.root.path(), cutting, &why);
  ASSERT_TRUE(cut) << why;
  TempDir fresh;
  r = Cli({"sync", "--local", fresh.path(), "--down", "--server-offset", "+01:00", "--remote",
           "ftp://" + cut->user() + "@127.0.0.1:" + std::to_string(cut->port()) + "/"},
          {s.password});
  EXPECT_TRUE(Has(r.out, "0 copied, " + std::to_string(std::size(kFiles)) + " failed")) << r.out << r.err;
  for (const auto& f : kFiles) EXPECT_FALSE(fs::exists(fresh / f.name)) << f.name;
}

// Ctrl-C or SIGTERM in a large copy stops it within seconds, keeping the old versions and,
// for the next run to continue, what arrived.
TEST(CliInterrupt, CtrlCInALargeCopyLeavesTheOldFilesAndWhatArrived) {
  std::string big(64u << 20, ' ');  // 16 s at the throttled rate
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  const std::string oldText = "the old version";
  for (const bool upload : {false, true}) {
    const int signal = upload ? SIGTERM : SIGINT;
    SCOPED_TRACE(upload ? "upload" : "download");
    Served s({"--throttle", "4000000"});
    ASSERT_TRUE(s.server);
    WriteFile(s.local / "big.bin", upload ? big : oldText, upload ? T0 + 600 : T0);
    WriteFile(s.root / "site/big.bin", upload ? oldText : big, upload ? T0 : T0 + 600);
    WriteFile(s.local / "zzz.txt", "after the big one", T0);
    // One connection: the small file waits for the big one.
    CliProcess run({"sync", "--local", s.local.path(), "--remote", s.Url(), "--connections", "1"}, {s.password});
    const std::string side = upload ? s.root.path() : s.local.path();
    ASSERT_TRUE(WaitFor([&] {
      std::error_code ec;
      for (const std::string& path : TemporaryFiles(side))
        if (fs::file_size(path, ec) > (1u << 20) && !ec) return true;
      return false;
    })) << "no transfer seen";
    const auto signalled = Clock::now();
    run.Signal(signal);
    const Result r = run.Wait();
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 128 + signal) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, std::string("CANCELLED ") + (upload ? "up   big.bin" : "down big.bin"))) << r.out;
    EXPECT_TRUE(Has(r.out, "not copied up   zzz.txt")) << r.out;
    EXPECT_TRUE(Has(r.out, "interrupted: 0 copied, 2 not copied")) << r.out;
    EXPECT_EQ(ReadFile(s.local / "big.bin"), upload ? big : oldText);
    EXPECT_EQ(ReadFile(s.root / "site/big.bin"), upload ? oldText : big);
    EXPECT_FALSE(fs::exists(s.root / "site/zzz.txt"));
    EXPECT_TRUE(Has(r.out, "kept for the next run to continue")) << r.out;
    EXPECT_EQ(TemporaryFiles(s.local.path()).size(), upload ? 0u : 1u);
    EXPECT_EQ(TemporaryFiles(s.root.path()).size(), upload ? 1u : 0u);
  }
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// sync --watch: an edit saved here reaches the server within 3 s; a burst of
// 1,000 saves makes a few runs, not one per save; deleting everything here is
// refused by the guard and watching goes on; Ctrl-C ends it.
TEST(CliInterrupt, WatchSyncsSavesInFewRunsKeepsTheGuardAndEndsOnCtrlC) {
  Served s;
  ASSERT_TRUE(s.server);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) WriteFile(s.local / name, name, T0);
  CliProcess run({"sync", "--watch", "--local", s.local.path(), "--remote", s.Url()}, {s.password});
  ASSERT_TRUE(WaitFor([&] { return Has(run.Out(), "watching "); })) << run.Out();
  EXPECT_EQ(ReadFile(s.root / "site/c.txt"), "c.txt");
  WriteFile(s.local / "a.txt", "edited", std::time(nullptr));
  EXPECT_TRUE(WaitFor([&] { return ReadFile(s.root / "site/a.txt") == "edited"; }, 3)) << run.Out();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const size_t before = Count(run.Out(), "(changes here)");
  for (int i = 0; i < 1000; ++i) {  // about two seconds of saves
    WriteFile(s.local / "b.txt", std::to_string(i), std::time(nullptr));
    std::this_thread::sleep_for(std::chrono::microseconds(2000));
  }
  EXPECT_TRUE(WaitFor([&] { return ReadFile(s.root / "site/b.txt") == "999"; }, 10)) << run.Out();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const size_t burstRuns = Count(run.Out(), "(changes here)") - before;
  EXPECT_GE(burstRuns, 1u);
  EXPECT_LE(burstRuns, 3u) << run.Out();
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) fs::remove(s.local / name);
  EXPECT_TRUE(WaitFor([&] { return Has(run.Out(), "was refused or could not finish (see above); watching goes on"); }, 10));
  EXPECT_TRUE(Has(run.Out(), "nothing was copied or deleted")) << run.Out();
  run.Signal(SIGINT);
  const Result r = run.Wait();
  EXPECT_EQ(r.status, 130) << r.out << r.err;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) EXPECT_TRUE(fs::exists(s.root / (std::string("site/") + name))) << name;
}

// At the kernel's limit on watches the run says so, and a change in a folder
// it does watch still reaches the server at once.
TEST(CliInterrupt, WatchNamesTheKernelsWatchLimit) {
  Served s;
  ASSERT_TRUE(s.server);
  for (const char* d : {"a", "b", "c", "d"}) WriteFile(s.local / (std::string(d) + "/x.txt"), d, T0);
  CliProcess run({"sync", "--watch", "--local", s.local.path(), "--remote", s.Url()}, {s.password}, "", 3);
  ASSERT_TRUE(WaitFor([&] { return Has(run.Out(), "watching "); })) << run.Out();
  EXPECT_TRUE(Has(run.Out(), "limit on watched folders was reached after 3")) << run.Out();
  WriteFile(s.local / "top.txt", "new", std::time(nullptr));
  EXPECT_TRUE(WaitFor([&] { return ReadFile(s.root / "site/top.txt") == "new"; }, 3)) << run.Out();
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait().status, 130);
}

// Names from a server are escaped (one holding a control byte is left alone
// and named); a download cut short fails and leaves nothing, a time the
// server will not set is a warning, and all are counted.
TEST(CliSafety, NamesFromAServerAndFailuresOfASync) {
  Served s({"--truncate-downloads", "--refuse-times"});
  ASSERT_TRUE(s.server);
  WriteFile(s.root / "site/esc\x1b[31mred.txt", "remote text of some length", T0);
  WriteFile(s.root / "site/plain.txt", "remote text of some length", T0);
  WriteFile(s.local / "up.txt", "local", T0);
  const Result tsv = Cli({"compare", "--local", s.local.path(), "--remote", s.Url(), "--format", "tsv"}, {s.password});
  EXPECT_TRUE(Has(tsv.err, "skipped /site/esc\\x1b[31mred.txt: a name that cannot be used") && !Has(tsv.out, "esc"))
      << tsv.out << tsv.err;
  EXPECT_FALSE(Has(tsv.out + tsv.err, "\x1b"));
  const Result r = Cli({"sync", "--local", s.local.path(), "--remote", s.Url()}, {s.password});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const char* line : {"FAILED down plain.txt: incomplete download: 13 of 26 bytes",
                           "copied up   up.txt\nWARNING up   up.txt: the time could not be set",
                           "1 copied, 1 failed, 1 warning\n"})
    EXPECT_TRUE(Has(r.out, line)) << r.out;
  EXPECT_FALSE(Has(r.out + r.err, "\x1b"));
  EXPECT_FALSE(fs::exists(s.local / "plain.txt"));
  EXPECT_TRUE(TemporaryFiles(s.local.path()).empty());
}

// Files in a listing no parser reads are unknown: the compare fails and a sync stores nothing over them.
TEST(CliSafety, AListingThatCannotBeReadHidesNothing) {
  TempDir canned;
  WriteFile(canned / "list", "b.txt 19 bytes, changed 2026-12-01 at 10:00\r\n", T0);
  Served s({"--list-file", canned / "list"});
  ASSERT_TRUE(s.server);
  WriteFile(s.root / "b.txt", "newer on the server", T0 + 600);
  WriteFile(s.local / "b.txt", "older here", T0);
  const Args args = {"--local", s.local.path(), "--remote", s.Url("/"), "--server-offset", "+00:00"};
  for (const std::string format : {"tsv", "text"}) {
    const Result r = Cli(Args{"compare", "--format", format} + args, {s.password});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, format == "tsv" ? "F\t?\tb.txt\t" : "? b.txt ")) << r.out;
    EXPECT_TRUE(Has(r.err, "at 10:00\"")) << r.err;
  }
  const Result r = Cli(Args{"sync", "--up"} + args, {s.password});
  EXPECT_NE(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(s.root / "b.txt"), "newer on the server");
  // A cut listing given twice (the server ignores "-r") is not the whole folder.
  WriteFile(canned / "list", "-rw-r--r-- 1 o g 1 Jan 02 2020 a\r\n-rw-r--r-- 1 o g 1 Jan 02 2020 b\r\n", T0);
  Served cut({"--list-file", canned / "list", "--list-truncated"});
  ASSERT_TRUE(cut.server);
  const Result c = Cli({"compare", "--local", cut.local.path(), "--remote", cut.Url("/")}, {cut.password});
  EXPECT_EQ(c.status, 2) << c.out << c.err;
  EXPECT_TRUE(Has(c.err, "more entries than it will list")) << c.err << c.out;
}

}  // namespace
}  // namespace twinbay
