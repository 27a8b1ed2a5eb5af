// The SFTP file system against OpenSSH's sshd (listing, links, round trips,
// host keys, sign-in) and against a small server of the tests' own (password
// sign-in, refused and cut listings, a cut copy, a server that falls silent).
#include "net/sftp_fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

using test::SshTestServer;

class SftpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    if (const char* home = std::getenv("HOME")) home_ = home;
    setenv("HOME", dir_->path().c_str(), 1);
    unsetenv("SSH_AUTH_SOCK");
    ASSERT_TRUE(test::MakeSshKey(*dir_ / "rsa", "rsa") && test::MakeSshKey(*dir_ / "ecdsa", "ecdsa", "open sesame"));
    std::string why;
    test::MakeFolder(*dir_ / "sshd");
    sshd_ = SshTestServer::StartSshd(*dir_ / "sshd", &why, {*dir_ / "rsa.pub", *dir_ / "ecdsa.pub"}).release();
    ASSERT_TRUE(sshd_) << why;
    std::ofstream(*dir_ / "known_hosts") << sshd_->KnownHostsLine();
  }
  static void TearDownTestSuite() {
    delete sshd_;
    delete dir_;
    setenv("HOME", home_.c_str(), 1);
  }

  static SftpSettings Settings(const SshTestServer& server = *sshd_) {
    SftpSettings s;
    s.host = "127.0.0.1";
    s.port = server.port();
    s.user = "root";
    s.keyFile = server.ClientKey();
    s.knownHosts = *dir_ / "known_hosts";
    s.useAgent = false;
    return s;
  }
  // The tests' own server, trusted by its pinned key.
  static std::unique_ptr<SshTestServer> Python(const test::TempDir& folder,
                                               const SshTestServer::PyOptions& options = {}) {
    std::string why;
    auto server = SshTestServer::StartPython(folder.path(), options, &why);
    EXPECT_TRUE(server) << why;
    return server;
  }
  static SftpSettings PythonSettings(const SshTestServer& server) {
    SftpSettings s = Settings(server);
    s.user = "tester";
    s.password = "secret";
    s.keyFile.clear();
    s.pinnedFingerprint = server.HostFingerprint();
    return s;
  }

  static test::TempDir* dir_;
  static SshTestServer* sshd_;
  static std::string home_;
  test::TempDir data_;
};
std::string SftpTest::home_;
test::TempDir* SftpTest::dir_ = nullptr;
SshTestServer* SftpTest::sshd_ = nullptr;

size_t OpenFiles() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

const FindData* Find(const ScanList& l, const std::string& name) {
  for (const FindData& f : l)
    if (f.name == name) return &f;
  return nullptr;
}

TEST_F(SftpTest, ListsExactTimesDotFilesAndFollowsLinks) {
  const int64_t t1 = test::UnixTime(2021, 3, 4, 5, 6, 7), t2 = test::UnixTime(2019, 12, 31, 23, 59, 59);
  test::WriteFile(data_ / "a.txt", "12345", t1);
  test::WriteFile(data_ / ".hidden", "x", t2);
  test::WriteFile(data_ / "sub/b", "", t1);
  ASSERT_EQ(0, symlink("a.txt", (data_ / "to_file").c_str()));
  ASSERT_EQ(0, symlink("sub", (data_ / "to_dir").c_str()));
  ASSERT_EQ(0, symlink("missing", (data_ / "nowhere").c_str()));
  ASSERT_EQ(0, symlink(".", (data_ / "loop").c_str()));
  mkfifo((data_ / "pipe").c_str(), 0644);
  SftpFileSystem fs(Settings());
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  for (int round = 0; round < 2; ++round) {
    ScanList l;
    ASSERT_TRUE(fs.List(data_.path(), l)) << fs.LastError();
    EXPECT_EQ(6u, l.size());  // no ".", "..", pipe or link leading nowhere
    for (const char* name : {"a.txt", "to_file"}) {
      const FindData* f = Find(l, name);
      ASSERT_TRUE(f) << name;
      EXPECT_EQ(TicksFromUnix(t1), f->lastWrite);
      EXPECT_EQ(5u, f->size);
      EXPECT_EQ(TimePrecision::Seconds, f->precision);
      EXPECT_FALSE(f->IsDirectory());
    }
    ASSERT_TRUE(Find(l, ".hidden"));
    EXPECT_EQ(TicksFromUnix(t2), Find(l, ".hidden")->lastWrite);
    EXPECT_TRUE(Find(l, "sub")->IsDirectory());
    ASSERT_TRUE(Find(l, "to_dir") && Find(l, "loop"));
    EXPECT_TRUE(Find(l, "to_dir")->IsDirectory() && Find(l, "to_dir")->link);
    EXPECT_EQ(data_ / "sub", Find(l, "to_dir")->linkTarget);
    // A link to its own folder carries that folder's path: the walk stops there.
    EXPECT_EQ(data_.path(), Find(l, "loop")->linkTarget);
    // The link leading nowhere is told once.
    EXPECT_EQ(round == 0 ? 1u : 0u, fs.TakeSkipped().size());
  }
}

TEST_F(SftpTest, WritesReadsRenamesAndSetsTimes) {
  SftpFileSystem fs(Settings());
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  std::string content(300'000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 1000);
  auto source = [&](std::string text) {
    return [text, at = size_t{0}](char* b, size_t n) mutable -> long {
      n = std::min(n, text.size() - at);
      std::copy_n(text.data() + at, n, b);
      at += n;
      return static_cast<long>(n);
    };
  };
  const std::string folder = data_ / "new", tmp = folder + "/f.tmp", dst = folder + "/f";
  ASSERT_TRUE(fs.MakeFolder(folder)) << fs.LastError();
  ASSERT_TRUE(fs.Write(dst, source("old"), 3));
  ASSERT_TRUE(fs.Write(tmp, source(content), content.size())) << fs.LastError();
  // Replacing an existing file goes through posix-rename@openssh.com.
  ASSERT_TRUE(fs.Rename(tmp, dst)) << fs.LastError();
  std::string back;
  ASSERT_TRUE(fs.Read(dst, [&](const char* d, size_t n) { return back.append(d, n), true; })) << fs.LastError();
  EXPECT_TRUE(back == content);
  const int64_t ticks = TicksFromUnix(test::UnixTime(2020, 2, 29, 12, 0, 1));
  ASSERT_TRUE(fs.SetTime(dst, ticks)) << fs.LastError();
  FindData fd;
  uint64_t size = 0;
  ASSERT_TRUE(fs.Stat(dst, fd) && fs.Size(dst, size));
  EXPECT_EQ(ticks, fd.lastWrite);
  EXPECT_EQ(content.size(), size);
  // Failures are failures, told apart from a lost connection.
  EXPECT_FALSE(fs.Write(folder + "/short", source("abc"), 4));  // fewer bytes than announced
  EXPECT_FALSE(fs.Read(folder + "/missing", [](const char*, size_t) { return true; }));
  EXPECT_FALSE(fs.LostConnection());
  EXPECT_FALSE(fs.Stat(folder, fd));  // a folder is no file
  EXPECT_TRUE(fs.Remove(dst));
  EXPECT_FALSE(fs.Stat(dst, fd));
}

TEST_F(SftpTest, HostKeyUnknownOrChangedStopsBeforeSignIn) {
  test::TempDir folder;
  auto server = Python(folder);
  ASSERT_TRUE(server);
  const std::string fingerprint = server->HostFingerprint();
  ASSERT_EQ(0u, fingerprint.rfind("SHA256:", 0));
  std::string otherKey = sshd_->KnownHostsLine();
  otherKey.replace(0, otherKey.find(' '), "[127.0.0.1]:" + std::to_string(server->port()));
  const std::string hashed = folder / "hashed";
  std::ofstream(hashed) << server->KnownHostsLine();
  ASSERT_EQ(0, system(("ssh-keygen -q -H -f " + hashed + " >/dev/null 2>&1").c_str()));
  struct Case {
    std::string knownHosts, pin;
    SshFailure expected;
  } cases[] = {
      {"", "", SshFailure::UnknownHostKey},
      {otherKey, "", SshFailure::ChangedHostKey},
      {server->KnownHostsLine(), "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", SshFailure::ChangedHostKey},
      {otherKey, fingerprint, SshFailure::None},  // the pin overrides
      {"", fingerprint, SshFailure::None},
      {"@hashed", "", SshFailure::None},
  };
  const size_t openBefore = OpenFiles();
  for (const Case& c : cases) {
    SftpSettings s = PythonSettings(*server);
    s.pinnedFingerprint = c.pin;
    s.knownHosts = c.knownHosts == "@hashed" ? hashed : folder / "known";
    if (c.knownHosts != "@hashed") std::ofstream(s.knownHosts) << c.knownHosts;
    const std::string before = server->Log();
    SftpFileSystem fs(s);
    EXPECT_EQ(c.expected == SshFailure::None, fs.Connect()) << c.knownHosts << fs.LastError();
    EXPECT_EQ(c.expected, fs.Failure()) << c.knownHosts;
    if (c.expected == SshFailure::None) continue;
    EXPECT_NE(std::string::npos, fs.LastError().find(fingerprint)) << fs.LastError();
    EXPECT_EQ(before, server->Log()) << "nothing may be offered to an untrusted server";
  }
  EXPECT_EQ(openBefore, OpenFiles()) << "every connection's socket is closed";
}

TEST_F(SftpTest, SignsInWithAgentKeyFilesAndPassword) {
  test::TempDir folder;
  auto python = Python(folder);
  ASSERT_TRUE(python);
  test::SshAgent agent(folder.path(), {*dir_ / "rsa"});
  ASSERT_TRUE(agent.ok());
  struct Case {
    const char* what;
    std::string key;
    const char* passphrase;  // null: the user declines
    bool viaAgent, expected;
  } cases[] = {
      {"ed25519 key file", sshd_->ClientKey(), "", false, true},
      {"RSA key file (rsa-sha2)", *dir_ / "rsa", "", false, true},
      {"ECDSA key with its passphrase", *dir_ / "ecdsa", "open sesame", false, true},
      {"ECDSA key, wrong passphrase", *dir_ / "ecdsa", "guess", false, false},
      {"ECDSA key, passphrase declined", *dir_ / "ecdsa", nullptr, false, false},
      {"agent", "", "", true, true},
  };
  for (const Case& c : cases) {
    SftpSettings s = Settings();
    s.keyFile = c.key;
    s.useAgent = c.viaAgent;
    if (c.viaAgent) setenv("SSH_AUTH_SOCK", agent.socket().c_str(), 1);
    int asked = 0;
    s.askPassphrase = [&](const std::string&) -> std::optional<std::string> {
      ++asked;
      if (!c.passphrase) return std::nullopt;
      return std::string(c.passphrase);
    };
    SftpFileSystem fs(s);
    EXPECT_EQ(c.expected, fs.Connect()) << c.what << ": " << fs.LastError();
    EXPECT_EQ(c.expected ? SshFailure::None : SshFailure::SignIn, fs.Failure()) << c.what;
    EXPECT_EQ(c.key == *dir_ / "ecdsa" ? 1 : 0, asked) << c.what;
    unsetenv("SSH_AUTH_SOCK");
  }
  for (const char* password : {"secret", "wrong"}) {
    SftpSettings s = PythonSettings(*python);
    s.password = password;
    SftpFileSystem fs(s);
    EXPECT_EQ(std::string(password) == "secret", fs.Connect()) << password << fs.LastError();
  }
}

TEST_F(SftpTest, RefusedAndCutListingsAndCopiesAreFailures) {
  test::TempDir folder;
  auto server = Python(folder, {"locked", "cut", "big"});
  ASSERT_TRUE(server);
  for (const char* name : {"locked", "cut", "fine"}) test::WriteFile(data_ / (name + std::string("/x")), "x", 0);
  test::WriteFile(data_ / "big", std::string(200'000, 'b'), 0);
  SftpFileSystem fs(PythonSettings(*server));
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  ScanList l;
  EXPECT_FALSE(fs.List(data_ / "locked", l));
  EXPECT_NE(std::string::npos, fs.LastError().find("permission denied")) << fs.LastError();
  EXPECT_FALSE(fs.LostConnection());
  ASSERT_TRUE(fs.List(data_ / "fine", l));
  EXPECT_EQ(1u, l.size());
  EXPECT_FALSE(fs.List(data_ / "cut", l));
  EXPECT_TRUE(l.empty());
  EXPECT_TRUE(fs.LostConnection());
  ASSERT_TRUE(fs.Reconnect()) << fs.LastError();
  size_t got = 0;
  EXPECT_FALSE(fs.Read(data_ / "big", [&](const char*, size_t n) { return got += n, true; }));
  EXPECT_TRUE(fs.LostConnection());
  EXPECT_LT(got, 200'000u);
}

TEST_F(SftpTest, StopsAndTimesOutWhileTheServerIsSilent) {
  test::TempDir folder;
  auto server = Python(folder);
  ASSERT_TRUE(server);
  test::WriteFile(data_ / "x", "x", 0);
  // A copy stopped while the server answers ends at its next block and keeps
  // the connection.
  std::atomic<bool> abort{false};
  {
    SftpFileSystem fs(PythonSettings(*server));
    fs.SetAbortFlag(&abort);
    ASSERT_TRUE(fs.Connect()) << fs.LastError();
    EXPECT_FALSE(fs.Write(data_ / "y", [&](char*, size_t n) { return abort = true, static_cast<long>(n); }, 1 << 30));
    EXPECT_FALSE(fs.LostConnection());
    abort = false;
    EXPECT_TRUE(fs.Remove(data_ / "y")) << fs.LastError();
  }
  // A silent server: a read is cut when stopped, a listing after the time-out.
  for (const bool byAbort : {true, false}) {
    SftpSettings s = PythonSettings(*server);
    s.timeoutSeconds = byAbort ? 60 : 2;
    SftpFileSystem fs(s);
    abort = false;
    fs.SetAbortFlag(&abort);
    ASSERT_TRUE(fs.Connect()) << fs.LastError();
    server->Pause(true);
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (byAbort) abort = true;
    });
    const auto start = std::chrono::steady_clock::now();
    ScanList l;
    EXPECT_FALSE(byAbort ? fs.Read(data_ / "x", [](const char*, size_t) { return true; }) : fs.List(data_.path(), l));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(byAbort ? 5 : 10));
    EXPECT_TRUE(fs.LostConnection()) << fs.LastError();
    stopper.join();
    server->Pause(false);
  }
}

}  // namespace
}  // namespace twinbay
