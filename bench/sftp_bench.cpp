// SFTP against OpenSSH's sshd (started here on loopback as the tests start
// it), each tool at its defaults, in the same run:
//   20 ms away (latency_proxy.py before sshd's port):
//     the compare of 2,000 files in 111 folders (both sides alike):
//       twinbay-cli compare  vs  rclone sync --dry-run (sftp backend);
//     200 x 4 KiB down and up (into fresh folders):
//       twinbay-cli sync --down / --up  vs  rclone copy --sftp-disable-hashcheck
//       (without its md5sum of every file over SSH: the bytes only);
//   loopback:
//     one big file (1 GiB) down and up: SftpFileSystem driven directly and
//     twinbay-cli sync  vs  OpenSSH's sftp get / put (the library and sftp
//     in turns, the best of two each; with the processor time each took).
// Prints wall times and ratios (ours over theirs: below 1 is faster), and
// says when a copy's bytes differ from the original's.
// rclone runs with RCLONE_CONFIG=/dev/null and an on-the-fly remote; the
// compare leaves it its default (hashes by md5sum over SSH).
//
//   sftp_bench [big-mib=1024] [delay-ms=10] [distant|loopback]   (root, for sshd)
// The last word runs one of the two parts only.
// The relay is latency_proxy.py, found at $TWINBAY_LATENCY_PROXY (default
// /work/shared/tools/latency_proxy.py).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "net/sftp_fs.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

#ifndef TWINBAY_CLI
#error "TWINBAY_CLI must name the binary"
#endif

using namespace twinbay;
using namespace twinbay::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr time_t kStamp = 1'700'000'000;

// 2,000 files of 1,000 bytes in 111 folders (the top, 10 below it, 10 below
// each of those), every one with the same time, under `top`.
void MakeTree(const std::string& top) {
  std::vector<std::string> folders{top};
  for (int i = 0; i < 10; ++i) {
    folders.push_back(top + "/d" + std::to_string(i));
    for (int j = 0; j < 10; ++j) folders.push_back(folders[1 + i * 11] + "/e" + std::to_string(j));
  }
  for (const auto& f : folders) std::filesystem::create_directories(f);
  for (int i = 0; i < 2000; ++i)
    MakeFile(folders[i % folders.size()] + "/file" + std::to_string(i) + ".txt", kStamp, 1000);
}

// `bytes` of varied content (not zeros: nothing along the way may shortcut it).
bool MakeBigFile(const std::string& path, uint64_t bytes) {
  std::vector<char> block(1 << 20);
  uint64_t x = 88172645463325252ull;
  for (size_t i = 0; i < block.size(); i += 8) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    std::memcpy(&block[i], &x, 8);
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (uint64_t done = 0; ok && done < bytes; done += block.size()) {
    block[0]++;  // no two blocks alike
    ok = std::fwrite(block.data(), 1, static_cast<size_t>(std::min<uint64_t>(block.size(), bytes - done)), f) > 0;
  }
  return std::fclose(f) == 0 && ok;
}

bool SameFiles(const std::string& a, const std::string& b) {
  return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

struct Setup {
  std::string dir;         // everything of the run
  std::string key;         // the sign-in key
  std::string fingerprint; // sshd's host key
  int port = 0;
};

// The command line of twinbay-cli for `verb` against the server folder
// `path` at `host`; HOME is a folder of the run (an empty known_hosts), the
// host key is trusted by its fingerprint.
std::string Cli(const Setup& s, const std::string& host, const std::string& verb, const std::string& local,
                const std::string& path) {
  return "HOME='" + s.dir + "/home' SSH_AUTH_SOCK= " + TWINBAY_CLI + " " + verb + " --local '" + local +
         "' --remote 'sftp://root@" + host + ":" + std::to_string(s.port) + path + "' --identity '" + s.key +
         "' --trust-host-key " + s.fingerprint;
}

const std::string kRclone = "RCLONE_CONFIG=/dev/null rclone ";

// rclone's on-the-fly sftp remote for a server folder; the host key is not
// checked (rclone's default without known_hosts_file).
std::string RcloneRemote(const Setup& s, const std::string& host, const std::string& path) {
  return "':sftp,host=" + host + ",port=" + std::to_string(s.port) + ",user=root,key_file=" + s.key + ":" + path +
         "'";
}

void PrintRow(const char* what, const char* ours, double o, const char* theirs, double t, const std::string& note) {
  std::printf("  %-22s %-24s %7.2f s | %-26s %7.2f s | ours/theirs %s%s\n", what, ours, o, theirs, t,
              Ratio(t, o).c_str(), note.c_str());
  std::fflush(stdout);
}

std::string Counted(size_t got, size_t want) {
  return got == want ? "" : "  (files: " + std::to_string(got) + " of " + std::to_string(want) + ")";
}

// The compare and the small files, against `host` (the relay).
void Distant(const Setup& s, const std::string& host) {
  const std::string tree = s.dir + "/tree", mirror = s.dir + "/tree-copy", small = s.dir + "/small";
  const double ours = TimeCommand(Cli(s, host, "compare", mirror, tree));
  const double theirs = TimeCommand(kRclone + "sync --dry-run " + RcloneRemote(s, host, tree) + " '" +
                                    mirror + "'");
  PrintRow("compare 2,000/111", "twinbay-cli compare", ours, "rclone sync --dry-run", theirs, "  (target <= 0.5)");

  const std::string down = s.dir + "/down-", up = s.dir + "/up-";
  const double oDown = TimeCommand(Cli(s, host, "sync -q --down", down + "ours", small));
  const std::string copy = kRclone + "copy --sftp-disable-hashcheck ";
  const double tDown = TimeCommand(copy + RcloneRemote(s, host, small) + " '" + down + "rclone'");
  PrintRow("200 x 4 KiB down", "twinbay-cli sync --down", oDown, "rclone copy (no hash)", tDown,
           "  (target <= 0.25)" + Counted(CountFiles(down + "ours"), 200) + Counted(CountFiles(down + "rclone"), 200));
  std::filesystem::create_directories(up + "ours");
  const double oUp = TimeCommand(Cli(s, host, "sync -q --up", small, up + "ours"));
  const double tUp = TimeCommand(copy + "'" + small + "' " + RcloneRemote(s, host, up + "rclone"));
  PrintRow("200 x 4 KiB up", "twinbay-cli sync --up", oUp, "rclone copy (no hash)", tUp,
           "  (target <= 0.25)" + Counted(CountFiles(up + "ours"), 200) + Counted(CountFiles(up + "rclone"), 200));
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and processor seconds of one run (-1: it failed).
struct Cost {
  double wall = -1, cpu = 0;
  void Best(const Cost& c) {
    if (c.wall > 0 && (wall < 0 || c.wall < wall)) *this = c;
  }
};

// One file through SftpFileSystem, down (Read into a local file) or up
// (Write from one); the processor time is this process's (the library's
// threads and the local file's reads or writes).
Cost LibraryCopy(const Setup& s, bool up, const std::string& from, const std::string& to, uint64_t size) {
  SftpSettings settings;
  settings.host = "127.0.0.1";
  settings.port = s.port;
  settings.user = "root";
  settings.keyFile = s.key;
  settings.pinnedFingerprint = s.fingerprint;
  settings.knownHosts = s.dir + "/home/known_hosts";
  settings.useAgent = false;
  SftpFileSystem fs(settings);
  if (!fs.Connect()) return std::printf("  connect failed: %s\n", fs.LastError().c_str()), Cost{};
  const int fd = up ? open(from.c_str(), O_RDONLY) : open(to.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd < 0) return {};
  const double cpu = CpuSeconds(RUSAGE_SELF);
  const auto start = Clock::now();
  bool ok;
  if (up) {
    ok = fs.Write(to, [fd](char* b, size_t n) { return static_cast<long>(read(fd, b, n)); }, size);
  } else {
    ok = fs.Read(from, [fd](const char* b, size_t n) { return write(fd, b, n) == static_cast<ssize_t>(n); });
  }
  const Cost c{Seconds(Clock::now() - start), CpuSeconds(RUSAGE_SELF) - cpu};
  close(fd);
  if (!ok) std::printf("  %s failed: %s\n", up ? "Write" : "Read", fs.LastError().c_str());
  return ok ? c : Cost{};
}

// A command's wall time and the processor time of everything it ran.
Cost CommandCost(const std::string& command) {
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  const double wall = TimeCommand(command);
  return {wall, CpuSeconds(RUSAGE_CHILDREN) - cpu};
}

std::string Checked(const std::string& a, const std::string& b) {
  return SameFiles(a, b) ? "" : "  (BYTES DIFFER)";
}

void PrintCosts(const std::string& what, const char* ours, const Cost& o, const char* theirs, const Cost& t,
                const std::string& note) {
  char cpu[96];
  std::snprintf(cpu, sizeof cpu, "  (processor %.2f s vs %.2f s)", o.cpu, t.cpu);
  PrintRow(what.c_str(), ours, o.wall, theirs, t.wall, (o.wall > 0 && t.wall > 0 ? cpu : "") + note);
}

// The big file on loopback, each way: the library against OpenSSH's sftp in
// turns (the best of `rounds` each, as the machine may be busy), then
// twinbay-cli once.
void Throughput(const Setup& s, uint64_t mib, int rounds) {
  const std::string big = s.dir + "/big/file.bin", out = s.dir + "/big-out";
  std::filesystem::create_directories(out);
  const std::string sftp = "sftp -q -P " + std::to_string(s.port) + " -i '" + s.key +
                           "' -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=no -b - root@127.0.0.1 <<< ";
  const std::string label = std::to_string(mib) + " MiB " ;
  for (const bool up : {false, true}) {
    const std::string tag = up ? "up" : "down";
    const std::string lib = out + "/lib-" + tag, ssh = out + "/sftp-" + tag;
    Cost o, t;
    std::string note;
    for (int r = 0; r < rounds; ++r) {
      o.Best(up ? LibraryCopy(s, true, big, lib, mib << 20) : LibraryCopy(s, false, big, lib, 0));
      note += Checked(big, lib);
      std::filesystem::remove(lib);
      t.Best(CommandCost("bash -c \"" + sftp + "'" + (up ? "put " : "get ") + big + " " + ssh + "'\""));
      note += Checked(big, ssh);
      std::filesystem::remove(ssh);
    }
    const char* theirs = up ? "OpenSSH sftp put" : "OpenSSH sftp get";
    PrintCosts(label + tag, "SftpFileSystem", o, theirs, t, note + "  (target <= 1)");
    const std::string cliDir = out + "/cli-" + tag;
    std::filesystem::create_directories(cliDir);
    const Cost c = up ? CommandCost(Cli(s, "127.0.0.1", "sync -q --up", s.dir + "/big", cliDir))
                      : CommandCost(Cli(s, "127.0.0.1", "sync -q --down", cliDir, s.dir + "/big"));
    PrintCosts(label + tag, up ? "twinbay-cli sync --up" : "twinbay-cli sync --down", c, theirs, t,
               (c.wall > 0 ? Checked(big, cliDir + "/file.bin") : "") + "  (target <= 1)");
    std::filesystem::remove_all(cliDir);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int delay = argc > 2 ? std::atoi(argv[2]) : 10;
  const std::string only = argc > 3 ? argv[3] : "";
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);  // output cut short (| head) still stops sshd and removes the files
  test::TempDir dir;
  Setup s;
  s.dir = dir.path();
  std::filesystem::create_directories(s.dir + "/home");
  std::filesystem::create_directories(s.dir + "/sshd");
  std::string why;
  auto sshd = test::SshTestServer::StartSshd(s.dir + "/sshd", &why);
  if (!sshd) return std::printf("sshd did not start: %s\n", why.c_str()), 1;
  s.port = sshd->port();
  s.key = sshd->ClientKey();
  s.fingerprint = sshd->HostFingerprint();
  if (!HaveCommand("rclone")) std::printf("rclone is not installed: its rows fail\n");

  MakeTree(s.dir + "/tree");
  std::system(("cp -a '" + s.dir + "/tree' '" + s.dir + "/tree-copy'").c_str());
  std::filesystem::create_directories(s.dir + "/small");
  for (int i = 0; i < 200; ++i) MakeFile(s.dir + "/small/f" + std::to_string(i) + ".dat", kStamp, 4096);
  std::filesystem::create_directories(s.dir + "/big");
  if (!MakeBigFile(s.dir + "/big/file.bin", mib << 20)) return std::printf("cannot write the big file\n"), 1;

  std::printf("OpenSSH sshd on 127.0.0.1:%d; %s\n", s.port,
              test::RunCommand("(ssh -V 2>&1; rclone version 2>/dev/null | head -1) | tr '\\n' ' '").c_str());
  if (only != "loopback") {
    std::printf("%d ms round trip (through the relay)\n", 2 * delay);
    const pid_t relay = StartRelay(s.port, delay);
    Distant(s, "127.0.0.3");
    kill(relay, SIGTERM);
    waitpid(relay, nullptr, 0);
  }
  if (only != "distant") {
    std::printf("loopback\n");
    Throughput(s, mib, 2);
  }
  return 0;
}
