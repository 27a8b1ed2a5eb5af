// Lists a remote tree over one and over eight connections, on pure-ftpd and on
// proftpd on loopback and on pure-ftpd through a relay that adds a delay each
// way (a server 20 ms away), beside rclone (sync --dry-run) and lftp (mirror
// --dry-run, at its defaults and with --parallel=8) in the same run. Prints
// wall times and ratios (the other tool's time over ours).
//
//   pool_listing_bench [delay-ms=10] [near|far]
// ("near": only the loopback cases, "far": only the one through the relay)
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
#include "engine/comparer.h"
#include "engine/parallel_lister.h"
#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "fs/local_fs.h"
#include "support/ftp_servers.h"

using namespace twinbay;
using namespace twinbay::bench;

namespace {

void Tree(const std::string& root, int files, int folders) {
  for (int d = 0; d < folders; ++d) {
    const std::string dir = root + "/site/g" + std::to_string(d % 10) + "/f" + std::to_string(d);
    std::filesystem::create_directories(dir);
    for (int f = 0; f < files / folders; ++f) MakeFile(dir + "/page" + std::to_string(f) + ".html", 1'700'000'000, 4096);
  }
}

// Seconds for a compare of the remote /site against an empty local folder.
// With one connection, `replies` is the number of the server's replies per
// listed folder (a listing's "150" and "226" come in one round trip).
double Ours(const std::string& host, const test::FtpTestServer& server, const std::string& empty, int connections,
            size_t* listed, double* replies = nullptr) {
  CFtpSession session;
  const auto start = std::chrono::steady_clock::now();
  if (!session.Connect(host, server.user(), server.password(), server.port())) {
    std::printf("connect failed: %s\n", session.LastError().c_str());
    return -1;
  }
  FtpFileSystem own(session);
  FileSystemPool pool(own, connections);
  FileSystemPool::Lease walk = pool.LeaseFirst();
  CParallelLister lister(*walk, pool, connections - 1);
  LocalFileSystem disk("/");
  CFolderCollection collection;
  CFolderComparer comparer;
  const std::string remote = ResolveRemotePath("site", session.LoginFolder());
  comparer.BeginCompare(nullptr, &disk, &lister, &collection, empty, remote, true, true, &lister);
  comparer.Run(empty, remote, "*.*", true);
  lister.Stop();
  const double s = Seconds(std::chrono::steady_clock::now() - start);
  size_t incomplete = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) incomplete += collection.GetAt(i)->incomplete ? 1 : 0;
  if (incomplete) std::printf("  (%zu folders incomplete!)\n", incomplete);
  if (listed) *listed = collection.GetCount();
  if (replies && collection.GetCount())
    *replies = static_cast<double>(session.GetConnection()->RepliesReceived()) / collection.GetCount();
  return s;
}

// With `tableRow`, also the issue table's row: ours over 8 connections beside
// rclone, with the target (at most half of rclone's time).
void Row(const char* label, const std::string& host, const test::FtpTestServer& server, const std::string& work,
         const char* tableRow = nullptr) {
  const std::string empty = work + "/empty";
  std::filesystem::create_directories(empty);
  size_t listed = 0;
  double replies = 0;
  const double one = Ours(host, server, empty, 1, &listed, &replies);
  const double eight = Ours(host, server, empty, 8, nullptr);
  const std::string port = std::to_string(server.port());
  const std::string login = server.user() + "," + server.password();
  const std::string lftpBase = "lftp -c 'set ftp:ssl-allow no; set ftp:prefer-epsv yes; set net:max-retries 1; "
                               "set net:timeout 20; open -u " + login + " -p " + port + " " + host + "; mirror ";
  const double lftp = TimeCommand(lftpBase + "--dry-run --no-perms site " + work + "/lftp1'");
  const double lftp8 = TimeCommand(lftpBase + "--parallel=8 --dry-run --no-perms site " + work + "/lftp8'");
  const double rclone =
      TimeCommand("RCLONE_CONFIG=/dev/null rclone sync --dry-run " + empty + " ':ftp,host=" + host + ",port=" + port +
                  ",user=" + server.user() + ",pass=" + RcloneObscured(server.password()) + ":site'");
  std::printf("%s (%zu folders, %.1f replies per folder)\n", label, listed, replies);
  std::printf("  twinbay 1 connection %.2f s, 8 connections %.2f s\n", one, eight);
  std::printf("  rclone sync --dry-run %.2f s; lftp mirror --dry-run %.2f s, --parallel=8 %.2f s\n", rclone, lftp,
              lftp8);
  std::printf("  twinbay(8) / rclone = %.2f; / lftp = %.2f; / lftp --parallel=8 = %.2f\n",
              rclone > 0 ? eight / rclone : -1, lftp > 0 ? eight / lftp : -1, lftp8 > 0 ? eight / lftp8 : -1);
  if (tableRow)
    std::printf("| %s | %.2f s | rclone %.2f s | %.2fx | target at most 0.50x: %s |\n", tableRow, eight, rclone,
                rclone > 0 ? eight / rclone : -1, rclone > 0 && eight > 0 && eight <= 0.5 * rclone ? "met" : "NOT met");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int delay = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string only = argc > 2 ? argv[2] : "";
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-pool-bench").string();
  std::filesystem::remove_all(work);
  std::string why;
  if (only != "far") {
    // 20,000 files in 1,000 folders on loopback, pure-ftpd and proftpd.
    const std::string folder = work + "/pure-big";
    std::filesystem::create_directories(folder);
    auto pure = test::FtpTestServer::StartPureFtpd(folder, &why, 0, 40000, 44999);
    if (!pure) return std::printf("pure-ftpd: %s\n", why.c_str()), 1;
    Tree(pure->DataDir(), 20000, 1000);
    pure->Own(pure->DataDir());
    Row("pure-ftpd, loopback, 20,000 files", "127.0.0.1", *pure, work + "/w1");
    pure->Stop();
    const std::string pfolder = work + "/pro-big";
    std::filesystem::create_directories(pfolder);
    auto pro = test::FtpTestServer::StartProftpd(pfolder, &why);
    if (!pro) return std::printf("proftpd: %s\n", why.c_str()), 1;
    Tree(pro->DataDir(), 20000, 1000);
    pro->Own(pro->DataDir());
    Row("proftpd, loopback, 20,000 files", "127.0.0.1", *pro, work + "/w2");
    pro->Stop();
  }
  if (only != "near") {
    // 2,000 files in 111 folders (100, their 10 parents and "site") through the relay.
    const std::string folder = work + "/pure-far";
    std::filesystem::create_directories(folder);
    auto pure = test::FtpTestServer::StartPureFtpd(folder, &why, 0, 45000, 45999);
    if (!pure) return std::printf("pure-ftpd: %s\n", why.c_str()), 1;
    Tree(pure->DataDir(), 2000, 100);
    pure->Own(pure->DataDir());
    const char* env = std::getenv("TWINBAY_LATENCY_PROXY");
    const std::string relay = env && *env ? env : "/work/shared/tools/latency_proxy.py";
    const pid_t proxy = fork();
    if (proxy == 0) {
      const std::string d = std::to_string(delay), p = std::to_string(pure->port());
      execl("/usr/bin/python3", "python3", relay.c_str(), "127.0.0.3", "127.0.0.1", d.c_str(),
            p.c_str(), "45000-45999", static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string label = "pure-ftpd, " + std::to_string(2 * delay) + " ms away, 2,000 files";
    const std::string row = "FTP, listing 2,000 files / 111 folders, " + std::to_string(2 * delay) + " ms";
    Row(label.c_str(), "127.0.0.3", *pure, work + "/w3", row.c_str());
    kill(proxy, SIGTERM);
    waitpid(proxy, nullptr, 0);
    pure->Stop();
  }
  std::filesystem::remove_all(work);
  return 0;
}
