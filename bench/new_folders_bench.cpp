// Uploading many small files into folders that do not exist yet on pure-ftpd
// (which answers every refused command a little later than the one before),
// beside lftp mirror -R on the same server in the same run:
//   5,000 files of 4 KiB in 250 new folders by default. Ours keeps the last
//   synchronised state as a sync does (new files are stored under their own
//   names, under a mark in it; a database under the work folder), and once
//   more without one (every new file through a temporary name, renamed).
//
//   new_folders_bench [files=5000] [folders=250] [rounds=2]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

#include "bench_util.h"
#include "core/sync_state.h"
#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "fs/local_fs.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"

using namespace twinbay;
using namespace twinbay::bench;

namespace {
// The processor time this program has used, all its threads together.
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 250;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 2;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-new-folders-bench").string();
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work + "/server");
  chmod(work.c_str(), 0755);
  chmod((work + "/server").c_str(), 0755);
  std::string why;
  auto server = test::FtpTestServer::StartPureFtpd(work + "/server", &why, 0, 30000, 60000);
  if (!server) {
    std::printf("cannot start pure-ftpd: %s\n", why.c_str());
    return 1;
  }
  const std::string local = work + "/local";
  for (int i = 0; i < files; ++i) {
    const std::string dir = local + "/d" + std::to_string(i % folders);
    std::filesystem::create_directories(dir);
    MakeFile(dir + "/f" + std::to_string(i) + ".dat", 1'700'000'000, 4096);
  }
  for (int round = 0; round < rounds; ++round)
    for (const char* side : {"/ours", "/plain"})
      std::filesystem::create_directories(server->DataDir() + side + std::to_string(round));
  server->Own(server->DataDir());
  const bool haveLftp = HaveCommand("lftp");
  const std::string open = "lftp -c 'set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 10; open -u " +
                           server->user() + "," + server->password() + " -p " + std::to_string(server->port()) +
                           " 127.0.0.1; ";
  // Compare and upload into `remote`, as a sync does: with the last
  // synchronised state (new files stored under their own names, under a mark
  // there) or without one (every file through a temporary name).
  struct Best {
    double seconds = 1e9, compare = 0, cpu = 1e9;
    int connections = 0, notCopied = 0;
    uint64_t refused = 0, replies = 0;
  } withState, without;
  const auto runOurs = [&](const std::string& remote, bool keepState, Best& best) {
    // A fresh login each round, as a user starting the program would have.
    CFtpSession session;
    if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port())) {
      std::printf("connect failed: %s\n", session.LastError().c_str());
      return false;
    }
    SyncStateStore store;
    std::string stateError;
    if (keepState && !store.Open(work + "/state" + remote.substr(1) + ".sqlite", stateError)) {
      std::printf("state: %s\n", stateError.c_str());
      return false;
    }
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = CpuSeconds();
    std::unique_ptr<StateSession> state;
    if (keepState) state = std::make_unique<StateSession>(store, store.Pair("127.0.0.1", local, remote, true), true);
    FtpFileSystem lister(session);
    LocalFileSystem disk("/");
    CFolderCollection collection;
    CFolderComparer comparer;
    // An empty server folder: every sub-folder is new there.
    comparer.BeginCompare(nullptr, &disk, &lister, &collection, local, remote, true, false, nullptr, state.get());
    comparer.Run(local, remote, "*.*", true);
    const double compared = Seconds(std::chrono::steady_clock::now() - start);
    SyncTotals totals;
    CountTagged(collection, totals, FilterAll);
    TransferOptions o;
    o.localToRemote = true;
    o.ignoreSeconds = false;
    FtpFileSystem remoteFs(session);
    CTransferJob job(collection, disk, remoteFs, totals, o);
    job.SetRecorder(state.get());
    job.RunTransfer();
    const double took = Seconds(std::chrono::steady_clock::now() - start);
    if (took < best.seconds) best.seconds = took, best.compare = compared, best.connections = job.ConnectionsUsed();
    best.cpu = std::min(best.cpu, CpuSeconds() - cpuBefore);
    int copied = 0;
    for (const auto& out : job.Outcomes()) copied += out.ok ? 1 : 0;
    best.notCopied += files - copied;
    best.refused += session.GetConnection()->RefusedReplies();
    best.replies += session.GetConnection()->RepliesReceived();
    return true;
  };
  double lftp = 1e9;
  for (int round = 0; round < rounds; ++round) {
    const std::string r = std::to_string(round);
    if (!runOurs("/ours" + r, true, withState)) return 1;
    if (haveLftp) {
      const double t = TimeCommand(open + "mirror -R --no-perms " + local + " /lftp" + r + "'");
      if (t > 0) lftp = std::min(lftp, t);
    }
    if (!runOurs("/plain" + r, false, without)) return 1;
  }
  std::printf("%d files of 4 KiB into %d new folders on pure-ftpd (best of %d):\n", files, folders, rounds);
  const auto row = [&](const char* name, const Best& b) {
    std::printf("  %-34s %.2f s (%.0f files/s; compare %.2f s; %d connections; our CPU %.2f s), %d not copied, "
                "%llu refused replies of %llu on the first connection\n",
                name, b.seconds, files / b.seconds, b.compare, b.connections, b.cpu, b.notCopied,
                static_cast<unsigned long long>(b.refused), static_cast<unsigned long long>(b.replies));
  };
  row("twinbay sync (with its state):", withState);
  row("twinbay without a state:", without);
  if (haveLftp) {
    std::printf("  %-34s %.2f s (%.0f files/s)\n", "lftp mirror -R:", lftp, files / lftp);
    std::printf("  time vs lftp: %.2fx (target at most 0.5x); without a state (temporary names) %.2fx\n",
                withState.seconds / lftp, without.seconds / lftp);
  } else {
    std::printf("  lftp: not installed\n");
  }
  server->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
