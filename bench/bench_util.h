// Small helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace twinbay::bench {

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Wall time of a shell command, or -1 when it failed.
inline double TimeCommand(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  const double s = Seconds(std::chrono::steady_clock::now() - start);
  return rc == 0 ? s : -1;
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
