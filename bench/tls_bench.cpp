// FTP over TLS on pure-ftpd (TLS required, self-signed certificate trusted by
// its fingerprint), beside other clients on the same server in the same run:
//  - one large file up and down over explicit TLS, against curl --ssl-reqd;
//  - 200 files of 4 KiB up and down over TLS at a 20 ms round trip (the
//    latency proxy), against lftp mirror and rclone copy, both with TLS.
//
//   tls_bench [large-file-MiB=1024] [small-files=200] [one-way-delay-ms=10]
// The latency proxy is /work/shared/tools/latency_proxy.py unless
// TWINBAY_LATENCY_PROXY names it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench_server.h"
#include "bench_util.h"
#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"

extern char** environ;

using namespace twinbay;
using namespace twinbay::bench;

namespace {

// Connect, compare, then copy everything one way: what a user waits for.
Run SyncOnce(const std::string& host, int port, const std::string& pin, const std::string& local,
             const std::string& remote, bool up) {
  Run r;
  const auto start = std::chrono::steady_clock::now();
  CFtpSession session;
  session.SetTls(FtpTls::Explicit, pin);
  if (!session.Connect(host, "tester", "secret", port)) {
    std::printf("connect failed: %s\n", session.LastError().c_str());
    r.failed = 1;
    return r;
  }
  const Run copy = twinbay::bench::SyncOnce(session, local, remote, up);
  r.copied = copy.copied;
  r.failed = copy.failed;
  r.seconds = Seconds(std::chrono::steady_clock::now() - start);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const long bigMiB = argc > 1 ? std::atol(argv[1]) : 1024;
  const int smallFiles = argc > 2 ? std::atoi(argv[2]) : 200;
  const int delayMs = argc > 3 ? std::atoi(argv[3]) : 10;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-tls-bench").string();
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work);

  test::FtpTestServer::Tls cert;
  std::string why;
  if (!test::MakeTestCertificate(work + "/cert", "127.0.0.1", cert, &why)) {
    std::printf("%s\n", why.c_str());
    return 1;
  }
  const std::string pin = test::OpensslFingerprint(cert.certFile);
  const int pasvFrom = 47000, pasvTo = 47499;
  auto server = test::FtpTestServer::StartPureFtpd(work + "/srv", &why, 0, pasvFrom, pasvTo, &cert);
  if (!server) {
    std::printf("pure-ftpd did not start: %s\n", why.c_str());
    return 1;
  }
  const std::string root = server->DataDir();
  const std::string port = std::to_string(server->port());
  std::printf("pure-ftpd -Y 2 (TLS required), explicit TLS, certificate trusted by SHA-256 %s\n", pin.c_str());

  // ---- one large file ----
  const double bytes = static_cast<double>(bigMiB) * 1024 * 1024;
  const std::string bigDir = work + "/big-local", bigLocal = bigDir + "/large.bin";
  std::filesystem::create_directories(bigDir);
  std::filesystem::create_directories(root + "/big");
  server->Own(root + "/big");
  // Random bytes: TLS does not compress, but a file of zeros could be cached
  // cheaply by the page cache differently from real data.
  if (std::system(("head -c " + std::to_string(static_cast<long long>(bytes)) + " /dev/urandom > " + bigLocal).c_str()) != 0) {
    std::printf("could not make the large file\n");
    return 1;
  }
  const std::string curl = "curl -sS --ssl-reqd -k -u tester:secret ";
  double upSecs = 1e9, downSecs = 1e9, curlUp = 1e9, curlDown = 1e9;
  int ok = 0;
  for (int round = 0; round < 2; ++round) {
    std::filesystem::remove(root + "/big/large.bin");
    const Run up = SyncOnce("127.0.0.1", server->port(), pin, bigDir, "/big", true);
    if (up.copied) upSecs = std::min(upSecs, up.seconds);
    ok += up.copied;
    const double cu = TimeCommand(curl + "-T " + bigLocal + " ftp://127.0.0.1:" + port + "/big/curl.bin");
    if (cu > 0) curlUp = std::min(curlUp, cu);
    std::filesystem::remove(root + "/big/curl.bin");
    std::filesystem::rename(bigLocal, work + "/large.keep");
    const Run down = SyncOnce("127.0.0.1", server->port(), pin, bigDir, "/big", false);
    if (down.copied) downSecs = std::min(downSecs, down.seconds);
    ok += down.copied;
    const double cd = TimeCommand(curl + "-o " + work + "/curl-down.bin ftp://127.0.0.1:" + port + "/big/large.bin");
    if (cd > 0) curlDown = std::min(curlDown, cd);
    std::filesystem::remove(work + "/curl-down.bin");
    std::filesystem::remove(bigLocal);
    std::filesystem::rename(work + "/large.keep", bigLocal);
  }
  auto mbps = [&](double s) { return s > 0 && s < 1e9 ? bytes / s / 1e6 : 0.0; };
  std::printf("large file over TLS, %ld MiB (best of 2): upload %.2f s (%.0f MB/s), download %.2f s (%.0f MB/s), "
              "%d of 4 ok\n",
              bigMiB, upSecs, mbps(upSecs), downSecs, mbps(downSecs), ok);
  std::printf("curl --ssl-reqd:              upload %.2f s (%.0f MB/s), download %.2f s (%.0f MB/s)\n", curlUp,
              mbps(curlUp), curlDown, mbps(curlDown));
  std::printf("throughput vs curl: upload %.0f %%, download %.0f %% (target >= 90 %%)\n",
              100.0 * curlUp / upSecs, 100.0 * curlDown / downSecs);
  std::filesystem::remove_all(bigDir);
  std::filesystem::remove_all(root + "/big");

  // ---- small files, far away ----
  const char* proxyEnv = std::getenv("TWINBAY_LATENCY_PROXY");
  const std::string proxyScript = proxyEnv ? proxyEnv : "/work/shared/tools/latency_proxy.py";
  const std::string far = "127.0.0.2";
  const std::string delay = std::to_string(delayMs), range = std::to_string(pasvFrom) + "-" + std::to_string(pasvTo);
  std::vector<std::string> args = {"/usr/bin/python3", proxyScript, far, "127.0.0.1", delay, port, range};
  std::vector<char*> cargs;
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  pid_t proxy = -1;
  if (posix_spawn(&proxy, cargs[0], nullptr, nullptr, cargs.data(), environ) != 0) {
    std::printf("the latency proxy could not start\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::string small = work + "/small";
  std::filesystem::create_directories(small);
  for (int i = 0; i < smallFiles; ++i) MakeFile(small + "/f" + std::to_string(i) + ".dat", 1'700'000'000, 4096);

  const bool haveLftp = HaveCommand("lftp"), haveRclone = HaveCommand("rclone");
  const std::string lftp = "lftp -c 'set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ssl:verify-certificate "
                           "no; set ftp:prefer-epsv yes; set net:max-retries 1; set net:timeout 20; open -u tester,secret -p " +
                           port + " " + far + "; ";
  const std::string rcloneRemote = ":ftp,host=" + far + ",port=" + port + ",user=tester,pass=" +
                                   RcloneObscured("secret") + ",explicit_tls=true,no_check_certificate=true:";
  double up = 1e9, down = 1e9, lftpUp = 1e9, lftpDown = 1e9, rcUp = 1e9, rcDown = 1e9;
  int failed = 0;
  for (int round = 0; round < 2; ++round) {
    const std::string r = std::to_string(round);
    for (const std::string& d : {"/ours" + r, "/lftp" + r, "/rclone" + r}) std::filesystem::create_directories(root + d);
    server->Own(root);
    const std::string downDir = work + "/down" + r;
    std::filesystem::create_directories(downDir);
    const Run su = SyncOnce(far, server->port(), pin, small, "/ours" + r, true);
    const Run sd = SyncOnce(far, server->port(), pin, downDir, "/ours" + r, false);
    if (su.copied == smallFiles) up = std::min(up, su.seconds);
    if (sd.copied == smallFiles) down = std::min(down, sd.seconds);
    failed += (smallFiles - su.copied) + (smallFiles - sd.copied);
    if (haveLftp) {
      const double lu = TimeCommand(lftp + "mirror -R --no-perms " + small + " /lftp" + r + "'");
      const double ld = TimeCommand(lftp + "mirror --no-perms /lftp" + r + " " + work + "/lftp-down" + r + "'");
      if (lu > 0) lftpUp = std::min(lftpUp, lu);
      if (ld > 0) lftpDown = std::min(lftpDown, ld);
    }
    if (haveRclone) {
      const double ru = TimeCommand("rclone copy " + small + " '" + rcloneRemote + "/rclone" + r + "'");
      const double rd = TimeCommand("rclone copy '" + rcloneRemote + "/rclone" + r + "' " + work + "/rclone-down" + r);
      if (ru > 0) rcUp = std::min(rcUp, ru);
      if (rd > 0) rcDown = std::min(rcDown, rd);
    }
  }
  kill(proxy, SIGTERM);
  waitpid(proxy, nullptr, 0);
  std::printf("%d files of 4 KiB over TLS at %d ms round trip (best of 2): up %.2f s, down %.2f s, %d not copied\n",
              smallFiles, 2 * delayMs, up, down, failed);
  if (haveLftp)
    std::printf("lftp mirror (TLS):   up %.2f s, down %.2f s; speed vs lftp: up %s, down %s (target above 1x)\n",
                lftpUp, lftpDown, Ratio(up, lftpUp).c_str(), Ratio(down, lftpDown).c_str());
  if (haveRclone)
    std::printf("rclone copy (TLS):   up %.2f s, down %.2f s; speed vs rclone: up %s, down %s (target above 1x)\n",
                rcUp, rcDown, Ratio(up, rcUp).c_str(), Ratio(down, rcDown).c_str());
  server->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
