#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "fs/find_data.h"

namespace twinbay::test {
namespace fs = std::filesystem;

// ctest gives every test a data folder of its own; a test binary run by hand
// gets one under the temporary folder, so that the sync state of its runs
// never lands in the user's data folder.
static const bool kPrivateDataFolder = [] {
  const char* base = std::getenv("TMPDIR");
  const std::string folder = std::string(base && *base ? base : "/tmp") + "/twinbay-test-data-" + std::to_string(getuid());
  return std::getenv("XDG_DATA_HOME") || setenv("XDG_DATA_HOME", folder.c_str(), 1) == 0;
}();

// Nor is the user's desktop keyring ever reached: the session bus is nowhere
// unless a test starts one of its own (PrivateKeyring).
static const bool kNoUserBus = setenv("DBUS_SESSION_BUS_ADDRESS", kNoSessionBus, 1) == 0;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base && *base ? base : "/tmp") + "/twinbay-test-XXXXXX";
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only folders are made writable again so that everything goes.
  chmod(path_.c_str(), 0755);
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
  fs::remove_all(path_, ec);
}

void MakeFolder(const std::string& path) { fs::create_directories(path); }

void WriteFile(const std::string& path, const std::string& content, int64_t unixSeconds) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  const timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat failed");
}

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

int64_t UnixTime(int year, int month, int day, int hour, int minute, int second) {
  return UnixFromTicks(TicksFromUtc(year, month, day, hour, minute, second));
}

int64_t ThreeHoursAgo() {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  return now - now % 60 - 3 * 3600;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes)
    out += std::string(out.empty() ? "" : " ") + "0123456789ABCDEF"[c >> 4] + "0123456789ABCDEF"[c & 15];
  return out;
}

}  // namespace twinbay::test
