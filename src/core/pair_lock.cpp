#include "core/pair_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace twinbay {
namespace {

// The file's name: a hash of the key (FNV-1a, the same in every build).
std::string LockName(const std::string& key) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.lock", static_cast<unsigned long long>(h));
  return name;
}

}  // namespace

bool PairLock::Take(const std::string& folder, const std::string& key, std::string& error) {
  Release();
  const std::filesystem::path dir = std::filesystem::path(folder) / "twinbay-locks";
  const std::string file = (dir / LockName(key)).string();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // The folder and its files are this program's alone.
  if (!ec) chmod(dir.c_str(), 0700);
  const int fd = ec ? -1 : open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) fchmod(fd, 0600);
  if (fd < 0) {
    // Most likely the state's folder cannot be written: said as such.
    error = "cannot lock the folder pair: " + (ec ? "the folder " + dir.string() : file) + " cannot be written (" +
            (ec ? ec.message() : std::generic_category().message(errno)) + ")";
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    // The holder wrote its process number into the file.
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    error = why == EWOULDBLOCK
                ? "another run" + (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                      " is comparing or synchronising these folders; try again when it has ended"
                : "cannot lock the folder pair (" + file + "): " + std::generic_category().message(why);
    return false;
  }
  const std::string holder = std::to_string(getpid()) + "\n" + key + "\n";
  // The number is only for the message of a run refused: not writing it is
  // no failure.
  const bool written = ftruncate(fd, 0) == 0 && pwrite(fd, holder.data(), holder.size(), 0) > 0;
  static_cast<void>(written);
  fd_ = fd;
  return true;
}

void PairLock::Release() {
  if (fd_ < 0) return;
  close(fd_);  // lets the lock go
  fd_ = -1;
}

}  // namespace twinbay
