// twinbay-cli sync killed (SIGKILL) at random moments of runs that copy and
// delete both ways, then run again: no file is lost, nothing is deleted that
// was not deleted on the other side, and both folders end in step with no
// temporary file left.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/ftp_servers.h"
#include "support/processes.h"
#include "support/runs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Pair {
  test::TempDir t;
  const std::string local = t / "local", remote = t / "remote";
  std::map<std::string, std::string> expected;  // name below each top folder -> content
  std::mt19937 rng;
  int64_t clock = std::time(nullptr) - 10 * 86400;  // the edits' times, ten minutes apart
  int serial = 0;

  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  // A new version of a file: mostly small, now and then large enough that a
  // kill lands in the middle of its copy.
  void Write(const std::string& root, const std::string& name) {
    std::string content = name + " #" + std::to_string(++serial) + "\n";
    content.append(Pick(12) == 0 ? 300000 + Pick(300000) : Pick(3000), static_cast<char>('a' + serial % 26));
    test::WriteFile(root + "/" + name, content, clock);
    expected[name] = content;
  }
  pid_t Start(const char* command) {
    return test::Spawn({"/usr/bin/env", "XDG_DATA_HOME=" + t / "data", "HOME=" + t.path(), TWINBAY_CLI, command,
                        "--local", local, "--remote-dir", remote},
                       t / "run.log");
  }
  std::string Log() { return test::ReadFile(t / "run.log"); }
};

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Edits, new files and deletions on both sides, each file changed on one side
// only: every run after it copies up and down and deletes on both sides.
void Change(Pair& p) {
  p.clock += 600;
  std::vector<std::string> names;
  for (const auto& [name, content] : p.expected) names.push_back(name);
  std::shuffle(names.begin(), names.end(), p.rng);
  for (size_t i = 0; i < 20; ++i) {
    const std::string& root = i % 2 ? p.remote : p.local;
    if (i < 12) p.Write(root, names[i]);
    else fs::remove(root + "/" + names[i]), p.expected.erase(names[i]);
  }
  static const char* const kFolders[] = {"", "a/", "a/b/", "c/", "d/e/f/"};
  for (int i = 0; i < 10; ++i)
    p.Write(i % 2 ? p.remote : p.local, kFolders[p.Pick(5)] + std::string("new") + std::to_string(p.serial) + ".txt");
}

// Both folders hold exactly what is expected (a temporary file is one too many).
std::string Differences(const Pair& p) {
  std::string out;
  for (const std::string& root : {p.local, p.remote}) {
    std::map<std::string, std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.is_regular_file()) found[fs::relative(e.path(), root).string()] = test::ReadFile(e.path());
    for (const auto& [name, content] : p.expected)
      if (!found.count(name)) out += root + ": missing " + name + "\n";
      else if (found[name] != content) out += root + ": wrong content in " + name + "\n";
    for (const auto& [name, content] : found)
      if (!p.expected.count(name)) out += root + ": not expected " + name + "\n";
  }
  return out;
}

// What a killed run leaves under a temporary name is removed by a later sync
// once it is a day old (sooner it may be another program's copy in progress):
// the test ages it rather than wait.
void AgeTemporaryFiles(const std::vector<std::string>& roots) {
  const time_t old = std::time(nullptr) - 2 * 86400;
  const timespec times[2] = {{old, 0}, {old, 0}};
  for (const std::string& root : roots)
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.path().filename().string().rfind(".twinbay-", 0) == 0) utimensat(AT_FDCWD, e.path().c_str(), times, 0);
}

// A sync started with every folder of both trees watched, to tell when it
// first changes one (its compare is done).
struct WatchedSync {
  explicit WatchedSync(Pair& p) {
    for (const std::string& root : {p.local, p.remote}) {
      inotify_add_watch(fd, root.c_str(), kEvents);
      for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_directory()) inotify_add_watch(fd, e.path().c_str(), kEvents);
    }
    pid = p.Start("sync");
  }
  ~WatchedSync() { close(fd); }
  // Until the sync changes a tree (or 2 s pass).
  void WaitForChange() {
    pollfd pfd{fd, POLLIN, 0};
    poll(&pfd, 1, 2000);
  }
  static constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO;
  const int fd = inotify_init1(IN_CLOEXEC);
  pid_t pid = 0;
};

TEST(SyncKill, KilledAnywhereThenRunAgainLosesNothing) {
  const char* env = std::getenv("TWINBAY_KILL_SEED");
  const uint32_t seed = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 20261207u;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (TWINBAY_KILL_SEED repeats a run)");
  Pair p;
  p.rng.seed(seed);
  // The first sync makes the state: files on one side, the other, and both.
  for (int i = 0; i < 240; ++i) {
    const std::string name = std::string(i % 3 ? "a/" : "") + (i % 4 ? "" : "c/") + "f" + std::to_string(i) + ".dat";
    p.Write(i % 3 ? p.local : p.remote, name);
    if (i % 5 == 0) test::WriteFile((i % 3 ? p.remote : p.local) + "/" + name, p.expected[name], p.clock);
  }
  ASSERT_EQ(Wait(p.Start("sync")), 0) << p.Log();
  // One run of the size every killed run has, unkilled: how long its start and
  // compare take (until it first changes a tree), and its copies and deletions.
  Change(p);
  const auto t0 = Clock::now();
  WatchedSync measured(p);
  measured.WaitForChange();
  const auto t1 = Clock::now();
  ASSERT_EQ(Wait(measured.pid), 0) << p.Log();
  const std::chrono::duration<double, std::micro> compare = t1 - t0, copying = Clock::now() - t1;
  ASSERT_EQ(Differences(p), "");

  int landed = 0, tries = 0;
  for (int run = 0; run < 50; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    Change(p);
    // Now and then killed again before it could finish (while anything is left).
    for (int kills = p.Pick(5) == 0 ? 3 : 1; kills > 0 && !Differences(p).empty(); --kills) {
      WatchedSync sync(p);
      // One kill in four during the compare; the others once the copies and
      // deletions have begun (the compare's length varies with the load).
      const bool inCompare = p.Pick(4) == 0;
      if (!inCompare) sync.WaitForChange();
      std::this_thread::sleep_for((inCompare ? compare : copying) * std::uniform_real_distribution<>(0, 1)(p.rng));
      kill(sync.pid, SIGKILL);
      landed += Wait(sync.pid) == 128 + SIGKILL;
      ++tries;
      AgeTemporaryFiles({p.local, p.remote});
    }
    ASSERT_EQ(Wait(p.Start("sync")), 0) << p.Log();
    ASSERT_EQ(Differences(p), "") << p.Log();
    ASSERT_EQ(Wait(p.Start("compare")), 0) << p.Log();
  }
  // Most kills must land inside a run for the test to mean anything.
  EXPECT_GE(landed, 20) << "of " << tries;
  std::printf("%d of %d kills landed; an unkilled run compared for %.0f ms, then copied and deleted for %.0f ms\n",
              landed, tries, compare.count() / 1000, copying.count() / 1000);
}

// A large copy killed at a random point, each way over FTP (pure-ftpd) and
// SFTP (sshd), then run again: it continues from what the broken copy left,
// sends only the rest, and the file arrives whole; a source changed in
// between is copied again from its start. 64 MiB (TWINBAY_RESUME_MIB=200: 200).
TEST(SyncKill, ALargeCopyKilledContinuesWhereItBroke) {
  const size_t kSize = (std::getenv("TWINBAY_RESUME_MIB") ? std::atoi(std::getenv("TWINBAY_RESUME_MIB")) : 64) << 20;
  test::TempDir t;
  std::string why;
  auto ftp = test::FtpTestServer::StartPureFtpd(t / "ftp", &why);
  ASSERT_TRUE(ftp) << why;
  test::MakeFolder(t / "sshd");
  auto sshd = test::SshTestServer::StartSshd(t / "sshd", &why);
  ASSERT_TRUE(sshd) << why;
  test::WriteFile(t / "home/.ssh/known_hosts", sshd->KnownHostsLine(), 0);
  std::mt19937_64 rng(20261208u);
  auto make = [&] {
    std::vector<uint64_t> words(kSize / 8);
    for (uint64_t& w : words) w = rng();
    return std::string(reinterpret_cast<const char*>(words.data()), kSize);
  };
  for (const bool sftp : {false, true})
    for (const bool up : {false, true}) {
      const std::string row = std::string(sftp ? "sftp" : "ftp") + (up ? "-up" : "-down");
      SCOPED_TRACE(row);
      const std::string local = t / row, remote = sftp ? t / (row + "-server") : ftp->DataDir() + "/" + row;
      const std::string source = (up ? local : remote) + "/big.bin", copy = (up ? remote : local) + "/big.bin";
      fs::create_directories(local), fs::create_directories(remote);
      if (!sftp) test::GiveTree(remote, 65534, 65534);  // pure-ftpd's account
      std::vector<std::string> argv{"/usr/bin/env", "XDG_DATA_HOME=" + t / "data", "HOME=" + t / "home",
                                    "TWINBAY_PASSWORD=secret", "SSH_AUTH_SOCK=", TWINBAY_CLI, "sync", "--local", local, "--remote",
                                    sftp ? "sftp://root@127.0.0.1:" + std::to_string(sshd->port()) + remote
                                         : "ftp://tester@127.0.0.1:" + std::to_string(ftp->port()) + "/" + row};
      if (sftp) argv.insert(argv.end(), {"--identity", sshd->ClientKey()});
      const auto run = [&] { return Wait(test::Spawn(argv, t / "run.log")); };
      const auto held = [&] {  // what the copy's temporary file holds
        uintmax_t n = 0;
        for (const std::string& tmp : test::TemporaryFiles(up ? remote : local)) n += fs::file_size(tmp);
        return n;
      };
      // Killed once a random share has arrived, and the server has stored what reached it.
      const auto killAfter = [&](double share) {
        const pid_t pid = test::Spawn(argv, t / "run.log");
        for (const auto end = Clock::now() + std::chrono::seconds(60); held() < share * kSize && Clock::now() < end;)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(pid, SIGKILL);
        Wait(pid);
        for (uintmax_t last = 1; held() != last; std::this_thread::sleep_for(std::chrono::milliseconds(200))) last = held();
        AgeTemporaryFiles({local, remote});
      };
      std::string data = make();
      test::WriteFile(source, data, std::time(nullptr) - 3600);
      killAfter(std::uniform_real_distribution<>(0.1, 0.8)(rng));
      ASSERT_EQ(run(), 0) << test::ReadFile(t / "run.log");
      std::string log = test::ReadFile(t / "run.log");
      const uint64_t kept = std::strtoull(log.c_str() + std::min(log.find("(continued after ") + 17, log.size()), nullptr, 10);
      EXPECT_TRUE(kept >= kSize / 10 && kept < kSize) << log;
      EXPECT_TRUE(test::ReadFile(copy) == data && test::TemporaryFiles(up ? remote : local).empty());
      // Broken again, and the source changes before the next run: nothing is continued.
      test::WriteFile(source, make(), std::time(nullptr) - 1800);
      killAfter(0.3);
      test::WriteFile(source, data = make(), std::time(nullptr) - 600);
      ASSERT_EQ(run(), 0) << test::ReadFile(t / "run.log");
      EXPECT_EQ((log = test::ReadFile(t / "run.log")).find("continued"), std::string::npos) << log;
      EXPECT_TRUE(test::ReadFile(copy) == data && test::TemporaryFiles(up ? remote : local).empty());
      if (sftp || !up) continue;
      // A new file too small to continue goes to the FTP server under its own
      // name. Killed midway (slowed down): the next sync never takes what
      // arrived, newer by the server's clock, for the newer file; it copies
      // the local one up whole.
      const std::string fresh = make().substr(0, 900000);
      test::WriteFile(local + "/new.bin", fresh, std::time(nullptr) - 7200);
      argv.insert(argv.end(), {"--bwlimit", "300K"});
      // Stopped (SIGINT) midway, it removes what arrived; killed, it cannot.
      std::error_code ec;
      for (const int signal : {SIGINT, SIGKILL}) {
        const pid_t pid = test::Spawn(argv, t / "run.log");
        for (const auto end = Clock::now() + std::chrono::seconds(30);
             (fs::file_size(remote + "/new.bin", ec) == 0 || ec) && Clock::now() < end;)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kill(pid, signal);
        Wait(pid);
        EXPECT_EQ(fs::exists(remote + "/new.bin"), signal == SIGKILL) << test::ReadFile(t / "run.log");
      }
      argv.resize(argv.size() - 2);
      EXPECT_LT(fs::file_size(remote + "/new.bin", ec), fresh.size());
      ASSERT_EQ(run(), 0) << test::ReadFile(t / "run.log");
      EXPECT_TRUE(test::ReadFile(local + "/new.bin") == fresh && test::ReadFile(remote + "/new.bin") == fresh);
    }
}

}  // namespace
}  // namespace twinbay
