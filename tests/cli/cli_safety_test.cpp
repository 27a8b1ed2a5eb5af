// twinbay-cli through its real binary: interrupted runs, hostile names and
// files, copies that the server cut short.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/ftp_servers.h"
#include "support/temp_dir.h"

#ifndef TWINBAY_CLI
#error "TWINBAY_CLI must name the binary"
#endif

namespace twinbay {
namespace {

using test::FtpTestServer;
using test::TempDir;
using Clock = std::chrono::steady_clock;

const int64_t T0 = test::UnixTime(2026, 1, 2, 3, 4, 5);

struct Result {
  int status;
  std::string out, err;
};

// Runs the binary with a private HOME and configuration folder; stdout and
// stderr are kept apart. `env` entries are NAME=VALUE. A run that has not
// ended after 60 seconds is killed (status -1).
class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    const std::string out = io_ / "out", err = io_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("HOME", io_.path().c_str(), 1);
      setenv("XDG_CONFIG_HOME", (io_ / "config").c_str(), 1);
      unsetenv("TWINBAY_PASSWORD");
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      freopen("/dev/null", "r", stdin);
      freopen(out.c_str(), "w", stdout);
      freopen(err.c_str(), "w", stderr);
      std::vector<char*> argv{const_cast<char*>(TWINBAY_CLI)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(TWINBAY_CLI, argv.data());
      _exit(127);
    }
  }
  ~CliProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int sig) { kill(pid_, sig); }
  Result Wait() {
    int status = 0;
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return {-1, test::ReadFile(io_ / "out"), test::ReadFile(io_ / "err")};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reaped_ = true;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status), test::ReadFile(io_ / "out"),
            test::ReadFile(io_ / "err")};
  }

 private:
  TempDir io_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

Result Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  return CliProcess(args, env).Wait();
}

// The transfer's temporary files below a folder, with their sizes.
std::vector<std::pair<std::string, uintmax_t>> Temps(const std::string& root) {
  std::vector<std::pair<std::string, uintmax_t>> out;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(root, ec))
    if (e.path().filename().string().rfind(".twinbay-", 0) == 0) out.push_back({e.path(), e.file_size(ec)});
  return out;
}

bool WaitFor(const std::function<bool()>& pred, int seconds = 30) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string Bytes(size_t n) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

struct Served {
  TempDir local, root;
  std::unique_ptr<FtpTestServer> server;
  std::string url, password;
  explicit Served(const std::vector<std::string>& faults) {
    std::filesystem::create_directories(root / "site");
    FtpTestServer::PyOptions o;
    o.extraArgs = faults;
    std::string why;
    server = FtpTestServer::StartPyftpdlib(root.path(), o, &why);
    if (!server) {
      ADD_FAILURE() << why;
      return;
    }
    url = "ftp://" + server->user() + "@127.0.0.1:" + std::to_string(server->port()) + "/site";
    password = "TWINBAY_PASSWORD=" + server->password();
  }
};

TEST(CliInterrupt, CtrlCInALargeCopyLeavesTheOldFilesAndNoTemporaryFile) {
  struct Case {
    bool upload;
    int signal, status;
  };
  for (const Case c : {Case{false, SIGINT, 130}, Case{true, SIGINT, 130}, Case{true, SIGTERM, 143}}) {
    SCOPED_TRACE(std::string(c.upload ? "upload" : "download") + " signal " + std::to_string(c.signal));
    Served s({"--throttle", "4000000"});
    ASSERT_TRUE(s.server);
    const std::string big = Bytes(64u << 20);  // 16 s at the throttled rate
    const std::string oldText = "the old version";
    if (c.upload) {
      test::WriteFile(s.local / "big.bin", big, T0 + 600);
      test::WriteFile(s.root / "site/big.bin", oldText, T0);
    } else {
      test::WriteFile(s.root / "site/big.bin", big, T0 + 600);
      test::WriteFile(s.local / "big.bin", oldText, T0);
    }
    test::WriteFile(s.local / "zzz.txt", "after the big one", T0);
    // One connection: the small file waits for the big one.
    CliProcess run({"sync", "--local", s.local.path(), "--remote", s.url, "--connections", "1"}, {s.password});
    // Interrupt once the big file is on its way.
    const std::string side = c.upload ? s.root.path() : s.local.path();
    ASSERT_TRUE(WaitFor([&] {
      for (auto& [path, size] : Temps(side))
        if (size > (1u << 20)) return true;
      return false;
    })) << "no transfer seen";
    const auto signalled = Clock::now();
    run.Signal(c.signal);
    const Result r = run.Wait();
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string("CANCELLED ") + (c.upload ? "up   big.bin" : "down big.bin")), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("not copied up   zzz.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("interrupted: 0 copied, 2 not copied"), std::string::npos) << r.out;
    // The old versions are intact, on both sides.
    EXPECT_EQ(test::ReadFile(s.local / "big.bin"), c.upload ? big : oldText);
    EXPECT_EQ(test::ReadFile(s.root / "site/big.bin"), c.upload ? oldText : big);
    EXPECT_FALSE(std::filesystem::exists(s.root / "site/zzz.txt"));
    EXPECT_TRUE(Temps(s.local.path()).empty());
    // The server may take a moment to let go of the abandoned upload.
    EXPECT_TRUE(WaitFor([&] { return Temps(s.root.path()).empty(); }, 5)) << Temps(s.root.path())[0].first;
  }
}

TEST(CliInterrupt, StaleTemporaryFilesAreNamedByACompareOrDryRunAndRemovedOnlyByASync) {
  Served s({});
  ASSERT_TRUE(s.server);
  const int64_t old = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count() -
                      3 * 86400;
  const std::string local = s.local / ".twinbay-x.bin.partAbC123";
  const std::string remote = s.root / "site/sub/.twinbay-y.bin.part-0123456789ab";
  test::WriteFile(local, "874 MB, once", old);
  test::WriteFile(remote, "partial", old);
  test::WriteFile(s.local / "sub/y.bin", "y", T0);
  const struct {
    std::vector<std::string> args;
    std::string out, err;  // what stdout and stderr say
    bool removed;
  } runs[] = {
      {{"compare"}, "would remove remote /site/sub/.twinbay-y.bin.part-0123456789ab\n", "PASS ****", false},
      // The TSV on stdout stays pure: the names go to stderr.
      {{"compare", "--format", "tsv"}, "F\t>\tsub/y.bin", "would remove local " + local + "\n", false},
      {{"sync", "--dry-run"}, "2 stale temporary files left by an interrupted transfer would be removed by a sync\n",
       "", false},
      {{"sync"}, "Removed 2 stale temporary files left by an interrupted transfer\n", "", true},
  };
  for (const auto& run : runs) {
    std::vector<std::string> args = run.args;
    args.insert(args.end(), {"--local", s.local.path(), "--remote", s.url});
    const Result r = Cli(args, {s.password, "TWINBAY_FTP_TRACE=1"});
    SCOPED_TRACE(args[0] + " " + args[1] + "\n" + r.out + r.err);
    EXPECT_NE(r.out.find(run.out), std::string::npos);
    EXPECT_NE(r.err.find(run.err), std::string::npos);
    EXPECT_EQ(r.err.find("secret"), std::string::npos);  // the password is never traced
    EXPECT_EQ(r.out.find("would remove") != std::string::npos, !run.removed && run.args.back() != "tsv");
    EXPECT_NE(std::filesystem::exists(local), run.removed);
    EXPECT_NE(std::filesystem::exists(remote), run.removed);
    EXPECT_NE(std::filesystem::exists(s.root / "site/sub/y.bin"), run.args.back() != "sync");
  }
}

TEST(CliSafety, NoHomeIsRefusedAndTheVersionIsTold) {
  // "NAME" alone takes the variable away.
  const Result r = Cli({"connections", "list"}, {"HOME", "XDG_CONFIG_HOME"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("HOME is not set"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists("/tmp/Kestrion"));
  const Result v = Cli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("twinbay-cli 0.", 0), 0u) << v.out;
}

TEST(CliSafety, ConnectionsFileThatIsNoRegularFile) {
  TempDir t;
  const std::string fifo = t / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& file : {std::string("/dev/zero"), fifo, t.path()}) {
    const auto start = Clock::now();
    const Result r = Cli({"connections", "list", "--file", file});
    EXPECT_EQ(r.status, 2) << file << r.out;
    EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << file;
    // Nothing was moved or written in its place.
    EXPECT_EQ(Cli({"connections", "add", "--file", file, "--host", "h"}).status, 2) << file;
  }
  struct stat st;
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A regular file beyond any real size is refused before it is read.
  const std::string huge = t / "huge.ftp";
  test::WriteFile(huge, "", 0);
  ASSERT_EQ(truncate(huge.c_str(), off_t{300} << 20), 0);
  const Result r = Cli({"connections", "list", "--file", huge});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("too large"), std::string::npos) << r.err;
}

TEST(CliSafety, TabsLineBreaksAndEscapesInNamesNeverReachTheOutputRaw) {
  TempDir a, b, t;
  test::WriteFile(a / "tab\there.txt", "1", T0);
  test::WriteFile(a / "line\nbreak.txt", "1", T0);
  test::WriteFile(a / "esc\x1b[2Jcape.txt", "1", T0);
  test::WriteFile(a / "back\\slash.txt", "1", T0);
  test::WriteFile(a / "bad\xff utf8.txt", "1", T0);
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
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.out.find('\t'), std::string::npos);
  EXPECT_NE(text.out.find("> esc\\x1b[2Jcape.txt"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("> line\\nbreak.txt"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("> back\\slash.txt"), std::string::npos) << text.out;

  // Connection fields.
  const std::string file = t / "c.ftp";
  ASSERT_EQ(Cli({"connections", "add", "--file", file, "--description", "My\tsite\n\x1b]0;owned\x07", "--host", "h",
                 "--remote", "/a\\b"})
                .status,
            0);
  const Result list = Cli({"connections", "list", "--file", file, "--format", "tsv"});
  EXPECT_EQ(list.out, "My\\tsite\\n\\x1b]0;owned\\x07\th\t21\t1\t\t0\t/a\\\\b\t\t\t1\n");
  const Result listText = Cli({"connections", "list", "--file", file});
  EXPECT_EQ(listText.out.find('\x1b'), std::string::npos);
  EXPECT_NE(listText.out.find("My\\tsite\\n\\x1b]0;owned\\x07\n"), std::string::npos) << listText.out;
  // Messages.
  const Result err = Cli({"connections", "remove", "--file", file, "--description", "\x1b[2J\nx"});
  EXPECT_EQ(err.status, 2);
  EXPECT_EQ(err.err, "twinbay-cli: no connection \"\\x1b[2J\\nx\"\n");
}

TEST(CliSafety, NamesFromAServerAndFailuresOfASync) {
  Served s({"--truncate-downloads", "--refuse-times"});
  ASSERT_TRUE(s.server);
  test::WriteFile(s.root / "site/esc\x1b[31mred.txt", "remote text of some length", T0);
  test::WriteFile(s.root / "site/plain.txt", "remote text of some length", T0);
  test::WriteFile(s.local / "up.txt", "local", T0);
  const Result tsv = Cli({"compare", "--local", s.local.path(), "--remote", s.url, "--format", "tsv"}, {s.password});
  EXPECT_NE(tsv.out.find("F\t<\tesc\\x1b[31mred.txt\t-\t-\t26\t"), std::string::npos) << tsv.out;
  EXPECT_EQ(tsv.out.find('\x1b'), std::string::npos);
  // The download arrives cut short and fails (and the one with the escape
  // cannot be fetched at all); the upload's time is refused: a warning, counted.
  const Result r = Cli({"sync", "--local", s.local.path(), "--remote", s.url}, {s.password});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("FAILED down plain.txt: incomplete download: 13 of 26 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAILED down esc\\x1b[31mred.txt: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("copied up   up.txt\nWARNING up   up.txt: the time could not be set"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 copied, 2 failed, 1 warning\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(s.local / "plain.txt"));
  EXPECT_TRUE(Temps(s.local.path()).empty());
}

// A listing in a layout no parser reads (ls -l under a German locale) hides
// every file: their state is not known, the compare never says all is well and
// a sync stores nothing over them.
TEST(CliSafety, AListingThatCannotBeReadHidesNothing) {
  TempDir canned;  // the server's LIST of its top folder: b.txt in a layout no parser reads
  test::WriteFile(canned / "list", "b.txt 19 bytes, changed 2026-12-01 at 10:00\r\n", T0);
  Served s({"--list-file", canned / "list"});
  ASSERT_TRUE(s.server);
  test::WriteFile(s.root / "b.txt", "newer on the server", T0 + 600);
  test::WriteFile(s.local / "b.txt", "older here", T0);
  const std::string top = s.url.substr(0, s.url.size() - 4);  // ".../site" -> ".../"
  const std::vector<std::string> args = {"--local", s.local.path(), "--remote", top, "--server-offset", "+00:00"};
  for (const char* format : {"tsv", "text"}) {
    std::vector<std::string> a = {"compare", "--format", format};
    a.insert(a.end(), args.begin(), args.end());
    const Result r = Cli(a, {s.password});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string(format) == "tsv" ? "F\t?\tb.txt\t" : "? b.txt "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("at 10:00\""), std::string::npos) << r.err;
  }
  std::vector<std::string> a = {"sync", "--up"};
  a.insert(a.end(), args.begin(), args.end());
  const Result r = Cli(a, {s.password});
  EXPECT_NE(r.status, 0) << r.out << r.err;
  EXPECT_EQ(test::ReadFile(s.root / "b.txt"), "newer on the server");
}

}  // namespace
}  // namespace twinbay
