// The SFTP file system against OpenSSH's sshd and a small server of the
// tests' own that refuses, cuts or falls silent on chosen names.
#include "net/sftp_fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "support/runs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::SshTestServer;

class SftpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    chmod(dir_->path().c_str(), 0755);
    if (const char* home = std::getenv("HOME")) home_ = home;
    setenv("HOME", dir_->path().c_str(), 1);
    unsetenv("SSH_AUTH_SOCK");
    ASSERT_TRUE(test::MakeSshKey(*dir_ / "ecdsa", "ecdsa", "open sesame"));
    std::string why;
    test::MakeFolder(*dir_ / "sshd");
    test::MakeFolder(*dir_ / "python");
    sshd_ = SshTestServer::StartSshd(*dir_ / "sshd", &why, {*dir_ / "ecdsa.pub"}, SshTestServer::Login::Account).release();
    ASSERT_TRUE(sshd_) << why;
    // Listing "cut", reading "big", writing "big-up" cut the connection.
    python_ = SshTestServer::StartPython(*dir_ / "python", {"", "cut", "big", "big-up", ""}, &why).release();
    ASSERT_TRUE(python_) << why;
  }
  static void TearDownTestSuite() {
    delete python_;
    delete sshd_;
    delete dir_;
    setenv("HOME", home_.c_str(), 1);
  }
  static inline test::TempDir* dir_ = nullptr;
  static inline SshTestServer *sshd_ = nullptr, *python_ = nullptr;
  static inline std::string home_;
  test::TempDir data_;
  // Files are written here as root, the folder belongs to sshd's login.
  void SetUp() override {
    chmod(data_.path().c_str(), 0755);
    sshd_->Own(data_.path());
  }
};

// What sshd logged after `before` once it saw the connection close.
std::string LogOfLastConnection(const SshTestServer& server, size_t before) {
  std::string log;
  for (int i = 0; i < 100 && (log = server.Log().substr(before)).find("onnection closed") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return log;
}

// An unknown or changed host key stops the connect before anything is
// offered, telling its fingerprint; a pin overrides known_hosts; each way of
// signing in works, and a wrong secret is a sign-in failure.
TEST_F(SftpTest, HostKeysAndSignIn) {
  test::TempDir folder;
  const std::string fingerprint = sshd_->HostFingerprint(), known = folder / "known", ecdsa = *dir_ / "ecdsa";
  std::string otherKey = python_->KnownHostsLine();  // another key for sshd's address
  otherKey.replace(0, otherKey.find(' '), "[127.0.0.1]:" + std::to_string(sshd_->port()));
  using Set = std::function<void(SftpSettings&)>;
  auto hosts = [&](const std::string& line, const std::string& pin) -> Set {
    return [=](SftpSettings& s) {
      std::ofstream(known) << line;
      s.knownHosts = known;
      s.pinnedFingerprint = pin;
    };
  };
  auto key = [&](std::optional<std::string> passphrase) -> Set {
    return [=](SftpSettings& s) {
      s.keyFile = ecdsa;
      s.askPassphrase = [=](const std::string&) { return passphrase; };
    };
  };
  const struct {
    const char* what;
    SshTestServer* server;
    Set set;
    SshFailure expected;
  } cases[] = {
      {"unknown host key", sshd_, hosts("", ""), SshFailure::UnknownHostKey},
      {"changed host key", sshd_, hosts(otherKey, ""), SshFailure::ChangedHostKey},
      {"another key pinned", sshd_, hosts(sshd_->KnownHostsLine(), "SHA256:" + std::string(43, 'A')),
       SshFailure::ChangedHostKey},
      {"the pin overrides", sshd_, hosts(otherKey, fingerprint), SshFailure::None},
      {"key with its passphrase", sshd_, key("open sesame"), SshFailure::None},
      {"key, wrong passphrase", sshd_, key("guess"), SshFailure::SignIn},
      {"password", python_, [](SftpSettings&) {}, SshFailure::None},
      {"wrong password", python_, [](SftpSettings& s) { s.password = "wrong"; }, SshFailure::SignIn},
  };
  for (const auto& c : cases) {
    SftpSettings s = c.server->ClientSettings();
    c.set(s);
    const size_t logged = c.server->Log().size();
    SftpFileSystem fs(s);
    EXPECT_EQ(c.expected == SshFailure::None, fs.Connect()) << c.what << ": " << fs.LastError();
    EXPECT_EQ(c.expected, fs.Failure()) << c.what;
    if (c.expected != SshFailure::UnknownHostKey && c.expected != SshFailure::ChangedHostKey) continue;
    EXPECT_NE(std::string::npos, fs.LastError().find(fingerprint)) << fs.LastError();
    const std::string log = LogOfLastConnection(*c.server, logged);
    EXPECT_TRUE(log.rfind("Connection closed by 127.0.0.1 port ", 0) == 0 && std::count(log.begin(), log.end(), '\n') == 1)
        << c.what << ":\n" << log;
  }
  // A pool over an encrypted key: its passphrase is asked for (and given) once,
  // at the first login; later members and a login again use the key it kept.
  int asked = 0;
  SftpSettings s = sshd_->ClientSettings();
  key(std::nullopt)(s);
  s.askPassphrase = [&](const std::string&) {
    return ++asked == 1 ? std::optional<std::string>("open sesame") : std::nullopt;
  };
  SftpFileSystem first(s);
  ASSERT_TRUE(first.Connect()) << first.LastError();
  const auto second = first.OpenAnother(), third = first.OpenAnother();
  first.Disconnect();
  EXPECT_TRUE(second && third && first.Reconnect()) << first.LastError();
  EXPECT_EQ(asked, 1);
}

// A cut under a listing or a copy is a failure and a lost connection.
TEST_F(SftpTest, CutListingsAndCopiesAreFailures) {
  test::WriteFile(data_ / "cut/x", "x", 0);
  const std::string big(300'000, 'b');
  test::WriteFile(data_ / "big", big, 0);
  SftpFileSystem fs(python_->ClientSettings());
  ScanList l;
  size_t got = 0;
  auto sink = [&](const char*, size_t n) { return got += n, true; };
  auto source = [&](char* b, size_t n) { return std::copy_n(big.data(), n, b), static_cast<long>(n); };
  const std::pair<const char*, std::function<bool()>> cases[] = {
      {"listing", [&] { return fs.List(data_ / "cut", l) || !l.empty(); }},
      {"download", [&] { return fs.Read(data_ / "big", sink); }},
      {"upload", [&] { return fs.Write(data_ / "big-up", source, big.size()); }},
  };
  for (const auto& [what, call] : cases) {
    ASSERT_TRUE(!fs.LostConnection() || fs.Reconnect()) << fs.LastError();
    EXPECT_FALSE(call()) << what;
    EXPECT_TRUE(fs.LostConnection()) << what << ": " << fs.LastError();
  }
  EXPECT_LT(got, big.size());
  // A server that sends less than asked: every byte arrives, in order.
  std::string content(300'000, '\0'), back;
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 1000);
  test::WriteFile(data_ / "short", content, 0);
  ASSERT_TRUE(fs.Reconnect() && fs.Read(data_ / "short", [&](const char* d, size_t n) { return back.append(d, n), true; }))
      << fs.LastError();
  EXPECT_TRUE(back == content);
}

// Names a server lists that would lead out of the folder are left out alone
// and told, and the rest of the folder is listed whole.
TEST_F(SftpTest, NamesThatLeadElsewhereAreLeftOutAlone) {
  test::WriteFile(data_ / "hostile-names/good.txt", "g", 0);
  SftpFileSystem fs(python_->ClientSettings());
  ScanList l;
  ASSERT_TRUE(fs.Connect() && fs.List(data_ / "hostile-names", l)) << fs.LastError();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].name, "good.txt");
  auto leftOut = fs.TakeLeftOut();
  std::sort(leftOut.begin(), leftOut.end());
  EXPECT_EQ(leftOut, (std::vector<std::string>{"../good.txt", "sub/good.txt"}));
  EXPECT_EQ(fs.TakeSkipped().size(), 2u);
  EXPECT_TRUE(fs.TakesName("a\\b\r\n") && !fs.TakesName("a/b") && !fs.TakesName(".."));
}

// Stopped or timed out while the server is silent, every operation fails
// within moments and lets the connection go; a copy stopped mid-way keeps it.
TEST_F(SftpTest, EveryOperationEndsWhenStoppedOrTimedOutWhileTheServerIsSilent) {
  SshTestServer* const server = python_;
  const std::string x = data_ / "x", y = data_ / "y";
  test::WriteFile(x, "x", 0);
  ScanList l;
  auto endless = [](char*, size_t n) { return static_cast<long>(n); };
  const std::pair<const char*, std::function<bool(SftpFileSystem&)>> calls[] = {
      {"List", [&](SftpFileSystem& fs) { return fs.List(data_.path(), l); }},
      {"Rename", [&](SftpFileSystem& fs) { return fs.Rename(x, y); }},
      {"Read", [&](SftpFileSystem& fs) { return fs.Read(x, [](const char*, size_t) { return true; }); }},
      {"Write", [&](SftpFileSystem& fs) { return fs.Write(y, endless, 1 << 30); }},
      {"WriteBatch", [&](SftpFileSystem& fs) {
         std::vector<FsBatchFile> files(2);
         files[0].path = y, files[1].path = x + "2";
         fs.WriteBatch(files);
         return files[0].stored || files[1].stored || files[0].error.empty() || files[1].error.empty();
       }},
  };
  std::atomic<bool> abort{false};
  for (const bool stop : {true, false}) {
    abort = false;
    server->Pause(false);
    SftpSettings settings = server->ClientSettings();
    settings.timeoutSeconds = stop ? 30 : 1;
    SftpFileSystem fs(settings);
    fs.SetAbortFlag(&abort);
    ASSERT_TRUE(fs.Connect()) << fs.LastError();
    if (stop) {
      EXPECT_FALSE(fs.Write(y, [&](char*, size_t n) { return abort = true, static_cast<long>(n); }, 1 << 30));
      EXPECT_FALSE(fs.LostConnection()) << fs.LastError();
    }
    for (const auto& [name, call] : calls) {
      if (!stop && std::string(name) != "List" && std::string(name) != "Rename") continue;
      abort = false;
      server->Pause(false);
      ASSERT_TRUE(!fs.LostConnection() || fs.Reconnect()) << fs.LastError();
      server->Pause(true);
      abort = stop;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(call(fs)) << name;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << name;
      EXPECT_TRUE(fs.LostConnection()) << name << ": " << fs.LastError();
    }
  }
  server->Pause(false);
}

// Many blocks in flight arrive whole, a folder larger than one reply is
// listed whole to the second, and a failed write, listing or link leaves the
// channel in step and is a failure, never a short success.
TEST_F(SftpTest, ManyBlocksInFlightAndFailuresKeepTheChannelInStep) {
  SftpFileSystem fs(sshd_->ClientSettings());
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  std::string content(3 << 20, '\0');  // 48 blocks, more than are in flight at once
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + i / 4093);
  // Gives `text`, then fails (-1) when `failAt` is reached.
  auto source = [](const std::string& text, size_t failAt = std::string::npos) {
    return [&text, failAt, at = size_t{0}](char* b, size_t n) mutable -> long {
      if (at >= failAt) return -1;
      n = std::min(n, text.size() - at);
      std::copy_n(text.data() + at, n, b);
      at += n;
      return static_cast<long>(n);
    };
  };
  const std::string a = data_ / "a", b = data_ / "b";
  auto inStep = [&] {
    EXPECT_FALSE(fs.LostConnection()) << fs.LastError();
    ASSERT_TRUE(fs.Rename(a, a + ".2") && fs.Rename(a + ".2", a)) << fs.LastError();
  };
  const std::string shortText = "abc";
  struct Case {
    std::string path;
    const std::string& text;
    size_t failAt, announced;
    const char* error;  // null: the write succeeds
  } cases[] = {{a, content, std::string::npos, content.size(), nullptr},
               {data_ / "missing/x", content, std::string::npos, content.size(), "no such file"},
               {b, content, 1 << 20, content.size(), "could not be read"},
               {b, shortText, std::string::npos, 4, ""},  // fewer bytes than announced
               {b, content, std::string::npos, content.size(), nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::filesystem::remove(c.path);  // a write makes its file new
    EXPECT_EQ(!c.error, fs.Write(c.path, source(c.text, c.failAt), c.announced)) << fs.LastError();
    EXPECT_TRUE(!c.error || fs.LastError().find(c.error) != std::string::npos) << fs.LastError();
    // The size held, told in the write's last round trip, answers for that file only.
    uint64_t held = 0, other = 0;
    EXPECT_TRUE(c.error || c.path == a || (fs.Size(a, other) && other == content.size()));
    EXPECT_TRUE(c.error || (fs.Size(c.path, held) && held == std::filesystem::file_size(c.path))) << fs.LastError();
    inStep();
  }
  for (int i = 0; i < 300; ++i) test::WriteFile(data_ / ("many/f" + std::to_string(i)), "x", 1'600'000'000 + i);
  for (const std::string& folder : {data_ / "many", data_ / "missing", data_ / "many"}) {
    ScanList l;
    const bool many = folder == data_ / "many";
    EXPECT_EQ(many, fs.List(folder, l)) << fs.LastError();
    EXPECT_EQ(many ? 300u : 0u, l.size());
    for (const FindData& fd : l) EXPECT_EQ(TicksFromUnix(1'600'000'000 + std::stoi(fd.name.substr(1))), fd.lastWrite);
    inStep();
  }
  // A folder's entries beyond the cap: a failure that keeps those read.
  SetSftpListingCap(4000);
  ScanList capped;
  EXPECT_FALSE(fs.List(data_ / "many", capped));
  SetSftpListingCap(256u << 20);
  EXPECT_TRUE(!capped.empty() && capped.size() < 300 && fs.LastError().find("incomplete") != std::string::npos);
  inStep();
  // A link the server will not follow for the login: the folder is a failure, the rest listed.
  test::MakeFolder(data_ / "shut");
  chmod((data_ / "shut").c_str(), 0);
  ASSERT_EQ(0, symlink("shut/x", (data_ / "behind").c_str()));
  ScanList l;
  EXPECT_FALSE(fs.List(data_.path(), l));
  EXPECT_NE(std::string::npos, fs.LastError().find("permission denied")) << fs.LastError();
  EXPECT_EQ(4u, l.size());  // a, b, many, shut
  EXPECT_FALSE(fs.Read(data_ / "nothing", [](const char*, size_t) { return true; }));
  inStep();
  for (const std::string& path : {a, b}) {
    std::string back;
    ASSERT_TRUE(fs.Read(path, [&](const char* d, size_t n) { return back.append(d, n), true; })) << fs.LastError();
    EXPECT_TRUE(back == content) << path;
  }
}

// Small downloads go many at a time over one connection, read ahead
// together: one the server will not give fails alone, with its own reason;
// the others land whole, empty, grown or shrunk since the compare as they
// are now; nothing is reported copied that did not land.
TEST_F(SftpTest, SmallDownloadsReadAheadTogetherFailAlone) {
  test::TempDir local;
  const auto text = [](int i) { return std::string(1000 * i, static_cast<char>('a' + i % 26)); };
  for (int i = 0; i < 40; ++i) test::WriteFile(data_ / ("f" + std::to_string(i)), text(i), 0);
  SftpFileSystem fs(sshd_->ClientSettings());
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  CFolderCollection collection;
  test::CompareInto(collection, fs, local.path(), data_.path());
  chmod((data_ / "f17").c_str(), 0);
  test::WriteFile(data_ / "f5", text(5) + "grown", 0);
  test::WriteFile(data_ / "f30", "shrunk", 0);
  SyncTotals totals;
  TransferOptions options = test::Directions(false, true);
  options.connections = 1;
  const auto job = test::Transfer(collection, totals, fs, options);
  std::string failed;
  size_t landed = 0;
  for (const TransferOutcome& o : job->Outcomes()) {
    const int i = std::stoi(o.localPath.substr(o.localPath.rfind('f') + 1));
    const std::string want = i == 5 ? text(5) + "grown" : i == 30 ? "shrunk" : text(i);
    if (!o.ok) failed += o.localPath + ": " + o.error + "\n";
    else landed += test::ReadFile(o.localPath) == want;
  }
  EXPECT_EQ(job->Outcomes().size(), 40u);
  EXPECT_EQ(landed, 39u);
  EXPECT_GE(fs.ServedAhead(), 30u);  // the copies took what was read ahead
  EXPECT_EQ(failed, local / "f17" + ": Cannot open " + (data_ / "f17") + ": permission denied\n");
  EXPECT_FALSE(std::filesystem::exists(local / "f17"));
}

// Small uploads go together over one connection, to sshd and to the tests'
// server (which will not set the time of "notime" and, in a third run, cuts
// the connection under the write of "cut-up"): one failing in the middle (a
// folder the login may not write in, a cut) fails alone with its reason and
// leaves no temporary file; a file changed on the server since the compare
// is not replaced; the others land whole with the source's time (one not
// set is a warning), a replaced file keeping its mode, a new one the
// default with the source's execute bits.
TEST_F(SftpTest, SmallUploadsGoTogetherAndFailAlone) {
  const int64_t T = test::ThreeHoursAgo();
  for (const int run : {0, 1, 2}) {
    const bool sshd = run == 0;
    test::TempDir local;
    const std::string top = data_ / std::to_string(run);
    for (const char* name : {"a0", "a1", "edited", "kept", "notime", "shut/x", "z/y", "z/y2", run == 2 ? "cut-up" : ""})
      if (*name) test::WriteFile(local / name, std::string(name) + " here", T + 60);
    for (const char* name : {"edited", "kept"}) test::WriteFile(top + "/" + name, "old", T);
    test::MakeFolder(top + "/shut");
    chmod((local / "a1").c_str(), 0755);
    sshd_->Own(data_.path());
    chmod((top + "/kept").c_str(), 0640);
    chmod((top + "/shut").c_str(), 0555);
    SftpFileSystem fs((sshd ? sshd_ : python_)->ClientSettings());
    ASSERT_TRUE(fs.Connect()) << fs.LastError();
    CFolderCollection collection;
    test::CompareInto(collection, fs, local.path(), top);
    test::WriteFile(top + "/edited", "their edit", T + 120);
    const uint64_t refused = fs.RefusedRequests();
    SyncTotals totals;
    TransferOptions options = test::Directions(true, false);
    options.connections = 1;
    const auto job = test::Transfer(collection, totals, fs, options);
    std::map<std::string, std::string> failed, warned;
    for (const TransferOutcome& o : job->Outcomes()) {
      const std::string name = o.remotePath.substr(top.size() + 1), there = top + "/" + name;
      struct stat st {};
      if (!o.warning.empty()) warned[name] = o.warning;
      if (!o.ok) failed[name] = o.error;
      else if (stat(there.c_str(), &st) != 0 || test::ReadFile(there) != name + " here" ||
               (st.st_mtime != T + 60) != (name == "notime" && !sshd) ||
               (st.st_mode & 07777) != (name == "kept" ? 0640u : name == "a1" ? 0755u : 0644u))
        ADD_FAILURE() << there << " as landed: mode " << std::oct << (st.st_mode & 07777) << std::dec << ", time "
                      << st.st_mtime - T;
    }
    EXPECT_EQ(job->Outcomes().size(), run == 2 ? 9u : 8u);
    const std::string alone = sshd ? "shut/x" : "cut-up";
    ASSERT_EQ(failed.size(), run == 1 ? 1u : 2u);
    EXPECT_EQ(failed["edited"].rfind("not copied: the file on the server changed since the compare", 0), 0u);
    EXPECT_TRUE(run == 1 || failed[alone].starts_with(sshd ? "Cannot create " + top + "/shut/.twinbay-x.part-"
                                                           : "Cannot write " + top + "/.twinbay-cut-up.part-"))
        << failed[alone];
    EXPECT_TRUE(!sshd || failed[alone].ends_with(": permission denied")) << failed[alone];
    // A time the server would not set is a warning; the copy lands.
    EXPECT_EQ(warned.size(), sshd ? 0u : 1u);
    EXPECT_TRUE(sshd || warned["notime"].starts_with("the time could not be set: Cannot set the time of " + top +
                                                     "/.twinbay-notime.part-")) << warned["notime"];
    EXPECT_EQ(test::ReadFile(top + "/edited"), "their edit");
    EXPECT_EQ(test::TemporaryFiles(top), std::vector<std::string>{});
    // sshd refused the one request it had to (no temporary file to remove was made).
    EXPECT_TRUE(!sshd || fs.RefusedRequests() == refused + 1) << fs.RefusedRequests() - refused;
  }
  // Written together without a mode, files are private; one there already is
  // never written over (and, refused, not to be removed).
  SftpFileSystem fs(sshd_->ClientSettings());
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  std::vector<FsBatchFile> twice(2);
  twice[0].path = data_ / "p0", twice[1].path = data_ / "p1", twice[0].bytes = "private";
  for (const bool first : {true, false}) {
    fs.WriteBatch(twice);
    EXPECT_TRUE(twice[0].stored == first && twice[1].stored == first && twice[1].made == first) << twice[1].error;
  }
  EXPECT_EQ(std::filesystem::status(data_ / "p0").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(test::ReadFile(data_ / "p0"), "private");
}

}  // namespace
}  // namespace twinbay
