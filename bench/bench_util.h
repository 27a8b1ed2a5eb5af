// Small helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace twinbay::bench {

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Wall time of a shell command, or -1 when it failed.
inline double TimeCommand(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  const double s = Seconds(std::chrono::steady_clock::now() - start);
  return rc == 0 ? s : -1;
}

// The regular files below a folder.
inline size_t CountFiles(const std::string& root) {
  size_t n = 0;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(root, ec))
    if (e.is_regular_file()) ++n;
  return n;
}

// Puts a distant server on loopback: the latency relay listens on 127.0.0.3
// at `port` and forwards to 127.0.0.1:`port` with `delayMs` each way (the
// relay's path from TWINBAY_LATENCY_PROXY, else the shared tools'). Its own
// process group, so that one kill ends it. The relay's pid.
inline pid_t StartRelay(int port, int delayMs) {
  const char* env = std::getenv("TWINBAY_LATENCY_PROXY");
  const std::string relay = env && *env ? env : "/work/shared/tools/latency_proxy.py";
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execl("/usr/bin/python3", "python3", relay.c_str(), "127.0.0.3", "127.0.0.1", std::to_string(delayMs).c_str(),
          std::to_string(port).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  return pid;
}

inline bool HaveCommand(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Creates (or truncates) a file with the given size and modification time.
inline void MakeFile(const std::string& path, time_t t, size_t size = 0) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd >= 0) {
    if (size) ftruncate(fd, static_cast<off_t>(size));
    close(fd);
  }
  struct timespec ts[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

inline std::string Ratio(double ours, double theirs) {
  if (ours <= 0 || theirs <= 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2fx", theirs / ours);
  return buf;
}

// A password as rclone wants it on its command line ("rclone obscure").
inline std::string RcloneObscured(const std::string& password) {
  std::string out;
  if (FILE* p = popen(("RCLONE_CONFIG=/dev/null rclone obscure " + password).c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace twinbay::bench
