// SFTP writes and listings with requests in flight (over the second channel)
// against OpenSSH's sshd: more blocks than go out at once arrive whole, a
// folder larger than one reply is listed whole, and a write or a listing that
// fails (a refused open, a local read error) leaves the channel in step for
// the requests after it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/sftp_fs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

TEST(SftpWriteTest, ManyBlocksInFlightAndFailedWritesKeepTheChannelInStep) {
  test::TempDir dir;
  std::string why;
  auto sshd = test::SshTestServer::StartSshd(dir.path(), &why);
  ASSERT_TRUE(sshd) << why;
  SftpSettings s;
  s.host = "127.0.0.1";
  s.port = sshd->port();
  s.user = "root";
  s.keyFile = sshd->ClientKey();
  s.pinnedFingerprint = sshd->HostFingerprint();
  s.knownHosts = dir / "known_hosts";
  s.useAgent = false;
  SftpFileSystem fs(s);
  ASSERT_TRUE(fs.Connect()) << fs.LastError();
  // 3 MiB: 48 blocks, more than are in flight at once.
  std::string content(3 << 20, '\0');
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
  const std::string a = dir / "a", b = dir / "b";
  struct Case {
    std::string path;
    size_t failAt;
    const char* error;  // null: the write succeeds
  };
  for (const Case& c : {Case{a, std::string::npos, nullptr}, Case{dir / "missing/x", std::string::npos, "no such file"},
                        Case{b, 1 << 20, "could not be read"}, Case{b, std::string::npos, nullptr}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(!c.error, fs.Write(c.path, source(content, c.failAt), content.size())) << fs.LastError();
    if (c.error) {
      EXPECT_NE(std::string::npos, fs.LastError().find(c.error)) << fs.LastError();
    }
    EXPECT_FALSE(fs.LostConnection());
    // The replacing rename goes over the same channel right behind the write.
    ASSERT_TRUE(fs.Rename(a, a + ".2") && fs.Rename(a + ".2", a)) << fs.LastError();
  }
  // Each folder's close is not waited for: the rename behind it must still
  // get its own reply.
  for (int i = 0; i < 300; ++i) test::WriteFile(dir / ("many/f" + std::to_string(i)), "x", 1'600'000'000 + i);
  for (const std::string& folder : {dir / "many", dir / "missing", dir / "many"}) {
    ScanList l;
    const bool many = folder == dir / "many";
    EXPECT_EQ(many, fs.List(folder, l)) << fs.LastError();
    EXPECT_EQ(many ? 300u : 0u, l.size());
    for (const FindData& fd : l) EXPECT_EQ(TicksFromUnix(1'600'000'000 + std::stoi(fd.name.substr(1))), fd.lastWrite);
    EXPECT_FALSE(fs.LostConnection());
    ASSERT_TRUE(fs.Rename(a, a + ".2") && fs.Rename(a + ".2", a)) << fs.LastError();
  }
  for (const std::string& path : {a, b}) {
    std::string back;
    ASSERT_TRUE(fs.Read(path, [&](const char* d, size_t n) { return back.append(d, n), true; })) << fs.LastError();
    EXPECT_TRUE(back == content) << path;
  }
}

}  // namespace
}  // namespace twinbay
