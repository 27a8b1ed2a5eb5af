// Copies 200 files of 4 KiB down and up with twinbay-cli sync (8 connections,
// its default) beside rclone copy (its defaults) and lftp mirror (its defaults
// and --parallel=8), on pure-ftpd on loopback and through a relay that adds a
// delay each way (a server 20 ms away), in the same run. Prints wall times
// and ratios (ours over theirs: below 1 is faster).
//
//   pool_transfer_bench [files=200] [delay-ms=10]
// The relay is latency_proxy.py, found at $TWINBAY_LATENCY_PROXY (default
// /work/shared/tools/latency_proxy.py).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench_util.h"
#include "support/ftp_servers.h"

#ifndef TWINBAY_CLI
#error "TWINBAY_CLI must name the binary"
#endif

using namespace twinbay;
using namespace twinbay::bench;

namespace {

// One direction for every tool; each copies into a fresh folder.
void Rows(const std::string& host, const test::FtpTestServer& server, const std::string& local,
          const std::string& work, int files) {
  const std::string port = std::to_string(server.port());
  const std::string url = "ftp://" + server.user() + "@" + host + ":" + port;
  const std::string rclone = "RCLONE_CONFIG=/dev/null rclone copy ";
  const std::string remote = "':ftp,host=" + host + ",port=" + port + ",user=" + server.user() +
                             ",pass=" + RcloneObscured(server.password()) + ":";
  const std::string lftp = "lftp -c 'set ftp:ssl-allow no; set ftp:prefer-epsv yes; set net:max-retries 1; "
                           "set net:timeout 20; open -u " + server.user() + "," + server.password() + " -p " + port +
                           " " + host + "; mirror --no-perms ";
  const std::string cli = std::string("TWINBAY_PASSWORD=") + server.password() + " " + TWINBAY_CLI + " sync -q ";
  for (const bool down : {true, false}) {
    double ours = -1, rc = -1, l1 = -1, l8 = -1;
    size_t got[4] = {};
    const std::string tag = down ? "down" : "up";
    for (int t = 0; t < 4; ++t) {
      const std::string dst = work + "/" + tag + std::to_string(t);  // local for down
      const std::string rdst = "/" + tag + std::to_string(t) + "-" + host;  // remote for up
      std::string cmd;
      switch (t) {
        case 0:
          cmd = down ? cli + "--down --local " + dst + " --remote " + url + "/site"
                     : cli + "--up --local " + local + " --remote " + url + rdst;
          break;
        case 1:
          cmd = down ? rclone + remote + "site' " + dst : rclone + local + " " + remote + rdst.substr(1) + "'";
          break;
        default:
          cmd = lftp + (t == 3 ? "--parallel=8 " : "") +
                (down ? "site " + dst + "'" : "-R " + local + " " + rdst.substr(1) + "'");
      }
      const double s = TimeCommand(cmd);
      (t == 0 ? ours : t == 1 ? rc : t == 2 ? l1 : l8) = s;
      got[t] = CountFiles(down ? dst : server.DataDir() + rdst);
    }
    std::printf("  %-4s twinbay %.2f s; rclone copy %.2f s; lftp mirror %.2f s, --parallel=8 %.2f s"
                " (files: %zu %zu %zu %zu of %d)\n",
                tag.c_str(), ours, rc, l1, l8, got[0], got[1], got[2], got[3], files);
    // Ratio(a, b) is b / a: here ours over theirs.
    std::printf("       twinbay / rclone = %s; / lftp = %s; / lftp --parallel=8 = %s\n", Ratio(rc, ours).c_str(),
                Ratio(l1, ours).c_str(), Ratio(l8, ours).c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 200;
  const int delay = argc > 2 ? std::atoi(argv[2]) : 10;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-pool-transfer-bench").string();
  std::filesystem::remove_all(work);
  std::string why;
  std::filesystem::create_directories(work + "/server");
  auto pure = test::FtpTestServer::StartPureFtpd(work + "/server", &why, 0, 46000, 46999);
  if (!pure) return std::printf("pure-ftpd: %s\n", why.c_str()), 1;
  // The same 200 files on both sides: "site" on the server, "files" here.
  for (int i = 0; i < files; ++i) {
    const std::string dir = "/d" + std::to_string(i % 10);
    std::filesystem::create_directories(pure->DataDir() + "/site" + dir);
    std::filesystem::create_directories(work + "/files" + dir);
    MakeFile(pure->DataDir() + "/site" + dir + "/f" + std::to_string(i) + ".dat", 1'700'000'000, 4096);
    MakeFile(work + "/files" + dir + "/f" + std::to_string(i) + ".dat", 1'700'000'000, 4096);
  }
  pure->Own(pure->DataDir());
  std::printf("%d files of 4 KiB in 10 folders, pure-ftpd\n", files);
  std::printf("loopback\n");
  Rows("127.0.0.1", *pure, work + "/files", work + "/near", files);

  const char* env = std::getenv("TWINBAY_LATENCY_PROXY");
  const std::string relay = env && *env ? env : "/work/shared/tools/latency_proxy.py";
  const pid_t proxy = fork();
  if (proxy == 0) {
    const std::string d = std::to_string(delay), p = std::to_string(pure->port());
    execl("/usr/bin/python3", "python3", relay.c_str(), "127.0.0.3", "127.0.0.1", d.c_str(), p.c_str(),
          "46000-46999", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("%d ms away (round trip)\n", 2 * delay);
  Rows("127.0.0.3", *pure, work + "/files", work + "/far", files);
  kill(proxy, SIGTERM);
  waitpid(proxy, nullptr, 0);
  pure->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
