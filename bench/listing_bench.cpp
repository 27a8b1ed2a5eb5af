// Lists a remote tree of 20,000 files in 1,000 folders on a loopback
// pyftpdlib server, beside lftp (mirror --dry-run) and rclone (lsf -R) on the
// same server. Prints wall times, round trips per folder and ratios.
//
//   listing_bench [files=20000] [folders=1000]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "bench_server.h"
#include "bench_util.h"
#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "support/ftp_servers.h"

using namespace twinbay;
using namespace twinbay::bench;

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string work = (std::filesystem::temp_directory_path() / "twinbay-listing-bench").string();
  std::filesystem::remove_all(work);
  const std::string root = work + "/server", empty = work + "/empty";
  std::filesystem::create_directories(empty);
  for (int d = 0; d < folders; ++d) {
    const std::string dir = root + "/site/g" + std::to_string(d % 20) + "/f" + std::to_string(d);
    std::filesystem::create_directories(dir);
    for (int f = 0; f < files / folders; ++f) MakeFile(dir + "/page" + std::to_string(f) + ".html", 1'700'000'000);
  }
  auto server = StartServer(root);
  if (!server) return 1;
  const std::string port = std::to_string(server->port());

  // Ours: a compare against an empty local folder lists every remote folder once.
  CFtpSession session;
  if (!session.Connect("127.0.0.1", server->user(), server->password(), server->port())) {
    std::printf("connect failed: %s\n", session.LastError().c_str());
    return 1;
  }
  FtpFileSystem lister(session);
  LocalFileSystem disk("/");
  CFolderCollection collection;
  CFolderComparer comparer;
  const uint64_t before = session.GetConnection()->RepliesReceived();
  auto start = std::chrono::steady_clock::now();
  comparer.BeginCompare(nullptr, &disk, &lister, &collection, empty, "/site", true, true);
  comparer.Run(empty, "/site", "*.*", true);
  const double ours = Seconds(std::chrono::steady_clock::now() - start);
  const double replies = static_cast<double>(session.GetConnection()->RepliesReceived() - before);
  size_t entries = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) entries += collection.GetAt(i)->entries.size();
  const size_t listed = collection.GetCount();
  std::printf("twinbay: %zu files in %zu folders listed in %.2f s, %.1f round trips per folder\n", entries, listed,
              ours, replies / static_cast<double>(listed));

  double lftp = -1, rclone = -1;
  if (HaveCommand("lftp")) {
    lftp = TimeCommand("lftp -c 'set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 10; open -u " +
                       server->user() + "," + server->password() + " -p " + port +
                       " 127.0.0.1; mirror --dry-run --no-perms /site " + work + "/lftp-target'");
    std::printf("lftp mirror --dry-run: %.2f s\n", lftp);
  } else {
    std::printf("lftp: not installed\n");
  }
  if (HaveCommand("rclone")) {
    std::string obscured;
    if (FILE* p = popen(("RCLONE_CONFIG=/dev/null rclone obscure " + server->password()).c_str(), "r")) {
      char buf[256];
      while (fgets(buf, sizeof buf, p)) obscured += buf;
      pclose(p);
    }
    while (!obscured.empty() && (obscured.back() == '\n' || obscured.back() == '\r')) obscured.pop_back();
    rclone = TimeCommand("RCLONE_CONFIG=/dev/null rclone lsf -R ':ftp,host=127.0.0.1,port=" + port + ",user=" +
                         server->user() + ",pass=" + obscured + ":/site'");
    std::printf("rclone lsf -R: %.2f s\n", rclone);
  } else {
    std::printf("rclone: not installed\n");
  }
  std::printf("speed-up: %s over lftp, %s over rclone\n", Ratio(ours, lftp).c_str(), Ratio(ours, rclone).c_str());
  server->Stop();
  std::filesystem::remove_all(work);
  return 0;
}
