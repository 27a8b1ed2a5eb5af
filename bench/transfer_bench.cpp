// Transfer throughput on a loopback pure-ftpd server, beside curl and lftp on
// the same server:
//  - one large file (1 GiB by default) up and down, against curl;
//  - 5,000 files of 4 KiB in 250 folders up and down, against lftp mirror.
//
//   transfer_bench [large-file-MiB=1024] [small-files=5000] [folders=250]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench_server.h"
#include "bench_util.h"
#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"

using namespace twinbay;
using namespace twinbay::bench;

int main(int argc, char** argv) {
  const long bigMiB = argc > 1 ? std::atol(argv[1]) : 1024;
  const int smallFiles = argc > 2 ? std::atoi(argv[2]) : 5000;
  const int folders = argc > 3 ? std::atoi(argv[3]) : 250;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-transfer-bench").string();
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work + "/server");
  std::string why;
  auto server = test::FtpTestServer::StartPureFtpd(work + "/server", &why, 0, 47000, 47999);
  if (!server) return std::printf("pure-ftpd: %s\n", why.c_str()), 1;
  const std::string root = server->DataDir();
  std::filesystem::create_directories(root + "/big");
  std::filesystem::create_directories(work + "/big-local");
  server->Own(root);
  const std::string port = std::to_string(server->port());
  const std::string login = server->user() + ":" + server->password();
  CFtpSession session;
  if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port())) {
    std::printf("connect failed: %s\n", session.LastError().c_str());
    return 1;
  }

  // ---- one large file ----
  const double bytes = static_cast<double>(bigMiB) * 1024 * 1024;
  MakeFile(work + "/big-local/large.bin", 1'700'000'000, static_cast<size_t>(bytes));
  // Alternate ours and curl, twice each, and keep the best of each: the
  // server's disk and cache see the same work for both.
  const std::string bigLocal = work + "/big-local/large.bin";
  double upSecs = 1e9, downSecs = 1e9, curlUp = 1e9, curlDown = 1e9;
  int ok = 0;
  for (int round = 0; round < 2; ++round) {
    std::filesystem::remove(root + "/big/large.bin");
    const Run up = SyncOnce(session, work + "/big-local", "/big", true);
    upSecs = std::min(upSecs, up.seconds);
    ok += up.copied;
    const double cu = TimeCommand("curl -sS -u " + login + " -T " + bigLocal + " ftp://127.0.0.1:" + port +
                                  "/big/curl.bin");
    if (cu > 0) curlUp = std::min(curlUp, cu);
    std::filesystem::remove(root + "/big/curl.bin");
    std::filesystem::rename(bigLocal, work + "/large.keep");
    const Run down = SyncOnce(session, work + "/big-local", "/big", false);
    downSecs = std::min(downSecs, down.seconds);
    ok += down.copied;
    const double cd = TimeCommand("curl -sS -u " + login + " -o " + work + "/curl-down.bin ftp://127.0.0.1:" +
                                  port + "/big/large.bin");
    if (cd > 0) curlDown = std::min(curlDown, cd);
    std::filesystem::remove(work + "/curl-down.bin");
    std::filesystem::remove(bigLocal);
    std::filesystem::rename(work + "/large.keep", bigLocal);
  }
  Run up{upSecs, ok / 2, 0}, down{downSecs, ok / 2, 0};
  auto mbps = [&](double s) { return s > 0 ? bytes / s / 1e6 : 0.0; };
  std::printf("large file, %ld MiB (best of 2): upload %.2f s (%.0f MB/s), download %.2f s (%.0f MB/s), %d of 4 ok\n",
              bigMiB, up.seconds, mbps(up.seconds), down.seconds, mbps(down.seconds), ok);
  std::printf("curl:                upload %.2f s (%.0f MB/s), download %.2f s (%.0f MB/s)\n", curlUp, mbps(curlUp),
              curlDown, mbps(curlDown));
  std::printf("throughput vs curl:  upload %.0f %%, download %.0f %% (target >= 90 %%)\n",
              curlUp > 0 ? 100.0 * curlUp / up.seconds : 0.0, curlDown > 0 ? 100.0 * curlDown / down.seconds : 0.0);
  std::filesystem::remove_all(work + "/big-local");
  std::filesystem::remove(work + "/curl-down.bin");
  std::filesystem::remove_all(root + "/big");

  // ---- many small files ----
  const std::string small = work + "/small", smallDown = work + "/small-down";
  for (int i = 0; i < smallFiles; ++i) {
    const std::string dir = small + "/d" + std::to_string(i % folders);
    std::filesystem::create_directories(dir);
    MakeFile(dir + "/f" + std::to_string(i) + ".dat", 1'700'000'000, 4096);
  }
  // Ours and lftp alternate, each into fresh folders, twice; best of each.
  const bool haveLftp = HaveCommand("lftp");
  const std::string open = "lftp -c 'set ftp:ssl-allow no; set net:max-retries 1; open -u " + server->user() + "," +
                           server->password() + " -p " + port + " 127.0.0.1; ";
  double upSmall = 1e9, downSmall = 1e9, lftpUp = 1e9, lftpDown = 1e9;
  int failed = 0;
  for (int round = 0; round < 2; ++round) {
    const std::string r = std::to_string(round);
    std::filesystem::create_directories(root + "/ours" + r);
    server->Own(root);
    std::filesystem::create_directories(smallDown + r);
    const Run su = SyncOnce(session, small, "/ours" + r, true);
    const Run sd = SyncOnce(session, smallDown + r, "/ours" + r, false);
    upSmall = std::min(upSmall, su.seconds);
    downSmall = std::min(downSmall, sd.seconds);
    failed += su.failed + sd.failed + (smallFiles - su.copied) + (smallFiles - sd.copied);
    if (haveLftp) {
      const double lu = TimeCommand(open + "mirror -R --no-perms " + small + " /lftp" + r + "'");
      const double ld = TimeCommand(open + "mirror --no-perms /lftp" + r + " " + work + "/lftp-down" + r + "'");
      if (lu > 0) lftpUp = std::min(lftpUp, lu);
      if (ld > 0) lftpDown = std::min(lftpDown, ld);
    }
  }
  std::printf("%d files of 4 KiB in %d folders (best of 2): up %.2f s (%.0f files/s), down %.2f s (%.0f files/s), "
              "%d not copied\n",
              smallFiles, folders, upSmall, smallFiles / upSmall, downSmall, smallFiles / downSmall, failed);
  if (haveLftp) {
    std::printf("lftp mirror:         up %.2f s (%.0f files/s), down %.2f s (%.0f files/s)\n", lftpUp,
                smallFiles / lftpUp, lftpDown, smallFiles / lftpDown);
    std::printf("files per second vs lftp: up %s, down %s (target above 1x)\n", Ratio(upSmall, lftpUp).c_str(),
                Ratio(downSmall, lftpDown).c_str());
  } else {
    std::printf("lftp: not installed\n");
  }
  server->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
