// What the last synchronised state costs a compare: the same tree compared
// without a state, with one that records everything (a first run), and with
// one that holds everything already (a second run). Each run is a child
// process of its own, so that its peak memory is its own. The remote side is a
// local folder standing in for the server and, with "ftp", also pyftpdlib on
// loopback and pure-ftpd 20 ms away (a tenth of the files, through
// latency_proxy.py: $TWINBAY_LATENCY_PROXY, default
// /work/shared/tools/latency_proxy.py).
//
//   state_bench [files=100000] [folders=1000] [work folder] [ftp]
//   state_bench --run VARIANT STATE LOCAL (local:DIR | ftp:HOST:PORT)   (one run, as a child)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "core/controller.h"
#include "support/ftp_servers.h"

using namespace twinbay;

namespace {

// One compare in this process; prints "seconds entries recorded-before".
int RunOne(const std::string& variant, const std::string& stateFile, const std::string& local,
           const std::string& remote) {
  CFolderCollection collection;
  CSyncController controller(collection);
  FileSystemTarget target;
  if (remote.rfind("local:", 0) == 0) {
    target.protocol = FsProtocol::Local;
    target.localRoot = remote.substr(6);
  } else {
    CSyncController::InitNetworking();
    const size_t colon = remote.rfind(':');
    target.host = remote.substr(4, colon - 4);
    target.port = std::atoi(remote.c_str() + colon + 1);
    target.user = "tester";
    target.password = "secret";
  }
  OpenFailure failure;
  if (!controller.Connect(target, failure)) return std::fprintf(stderr, "%s\n", failure.message.c_str()), 1;
  controller.SetStateFile(stateFile);
  CompareOptions options;
  options.localPath = local;
  options.remotePath = "/";
  options.memory = variant == "none" ? CompareOptions::Memory::Off : CompareOptions::Memory::On;
  std::string problem;
  const auto start = std::chrono::steady_clock::now();
  if (!controller.RunCompare(options, nullptr, problem)) return std::fprintf(stderr, "%s\n", problem.c_str()), 1;
  const double seconds = bench::Seconds(std::chrono::steady_clock::now() - start);
  size_t entries = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) entries += collection.GetAt(i)->entries.size();
  if (!controller.StateError().empty()) std::fprintf(stderr, "state: %s\n", controller.StateError().c_str());
  std::printf("%.3f %zu %ld\n", seconds, entries, controller.RecordedFiles());
  return 0;
}

struct Figures {
  double seconds = -1;  // the compare
  double process = -1;  // the whole child: its start, the compare, closing the state
  double cpu = -1;      // the whole child's user and system time
  long peakKb = 0;
  size_t entries = 0;
  long recorded = 0;
};

// Runs one variant as a child: its compare time, its whole time and CPU time
// (the fairer figure on a loaded machine) and its own peak RSS.
Figures Child(const char* self, const std::string& variant, const std::string& work, const std::string& local,
              const std::string& remote) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    const std::string state = work + "/state.sqlite";
    execl(self, self, "--run", variant.c_str(), state.c_str(), local.c_str(), remote.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  Figures f;
  f.process = bench::Seconds(std::chrono::steady_clock::now() - start);
  f.peakKb = ru.ru_maxrss;
  f.cpu = bench::Seconds(std::chrono::seconds(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                         std::chrono::microseconds(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    std::sscanf(out.c_str(), "%lf %zu %ld", &f.seconds, &f.entries, &f.recorded);
  return f;
}

void Table(const char* self, const std::string& label, const std::string& work, const std::string& local,
           const std::string& remote, int reps) {
  std::printf("\n%s (best of %d runs each)\n", label.c_str(), reps);
  std::printf("  %-31s %9s %7s %9s %7s %7s %7s %8s %7s %8s %8s\n", "variant", "compare s", "x", "process s", "x",
              "cpu s", "x", "peak MB", "x", "entries", "recorded");
  // The variants take turns, so that a change in the machine's load falls
  // on each alike: a first run starts from no state at all, the second run
  // reads what it wrote.
  const char* const variants[] = {"none", "first", "second"};
  Figures best[3];
  for (int r = 0; r < reps; ++r)
    for (int v = 0; v < 3; ++v) {
      if (v == 0)
        for (const char* f : {"", "-wal", "-shm"}) std::filesystem::remove(work + "/state.sqlite" + f);
      const Figures f = Child(self, variants[v], work, local, remote);
      if (best[v].seconds < 0 || (f.seconds >= 0 && f.seconds < best[v].seconds)) best[v] = f;
    }
  const char* const names[] = {"no state", "state, first run (all written)", "state, second run (all read)"};
  const Figures& base = best[0];
  for (int v = 0; v < 3; ++v) {
    const Figures& b = best[v];
    std::printf("  %-31s %9.3f %6.2fx %9.3f %6.2fx %7.3f %6.2fx %8.1f %6.2fx %8zu %8ld\n", names[v], b.seconds,
                b.seconds / base.seconds, b.process, b.process / base.process, b.cpu, b.cpu / base.cpu,
                b.peakKb / 1024.0, static_cast<double>(b.peakKb) / base.peakKb, b.entries, b.recorded);
  }
}

// Both sides alike: every pair is in step, so a first run records them all.
void Tree(const std::string& root, int files, int folders) {
  const time_t t0 = 1'700'000'000;
  for (int d = 0; d < folders; ++d) {
    const std::string rel = "/top" + std::to_string(d % 20) + (d >= 20 ? "/sub" + std::to_string(d) : "");
    std::filesystem::create_directories(root + rel);
    for (int f = d; f < files; f += folders)
      bench::MakeFile(root + rel + "/file-" + std::to_string(f) + ".html", t0 + f, 100 + f % 900);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--run") return RunOne(argv[2], argv[3], argv[4], argv[5]);
  const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 1000;
  const std::string work =
      argc > 3 ? argv[3] : (std::filesystem::temp_directory_path() / "twinbay-state-bench").string();
  const bool ftp = argc > 4 && std::string(argv[4]) == "ftp";
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();

  std::filesystem::remove_all(work);
  Tree(work + "/local", files, folders);
  Tree(work + "/remote", files, folders);
  std::printf("%d files in %d folders on each side\n", files, folders);
  Table(self.c_str(), "local stand-in remote side", work, work + "/local", "local:" + work + "/remote", 5);
  if (ftp) {
    auto server = test::FtpTestServer::StartPyftpdlib(work + "/remote", {});
    if (!server) return std::printf("pyftpdlib did not start\n"), 1;
    Table(self.c_str(), "pyftpdlib on loopback", work, work + "/local", "ftp:127.0.0.1:" + std::to_string(server->port()),
          3);
    server.reset();

    // A tenth of the tree on pure-ftpd, 20 ms away through the relay.
    const std::string far = work + "/far";
    std::filesystem::create_directories(far);
    std::string why;
    auto pure = test::FtpTestServer::StartPureFtpd(far, &why, 0, 46000, 46999);
    if (!pure) return std::printf("pure-ftpd did not start: %s\n", why.c_str()), 1;
    Tree(pure->DataDir(), files / 10, folders / 10);
    pure->Own(pure->DataDir());
    Tree(work + "/far-local", files / 10, folders / 10);
    const char* env = std::getenv("TWINBAY_LATENCY_PROXY");
    const std::string relay = env && *env ? env : "/work/shared/tools/latency_proxy.py";
    const pid_t proxy = fork();
    if (proxy == 0) {
      const std::string p = std::to_string(pure->port());
      execl("/usr/bin/python3", "python3", relay.c_str(), "127.0.0.3", "127.0.0.1", "10", p.c_str(), "46000-46999",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("\n%d files in %d folders on each side\n", files / 10, folders / 10);
    Table(self.c_str(), "pure-ftpd 20 ms away", work, work + "/far-local", "ftp:127.0.0.3:" + std::to_string(pure->port()),
          2);
    kill(proxy, SIGTERM);
    waitpid(proxy, nullptr, 0);
  }
  std::filesystem::remove_all(work);
  return 0;
}
