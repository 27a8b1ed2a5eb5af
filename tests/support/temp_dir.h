// A temporary folder for one test, removed afterwards, and files laid out with
// chosen modification times.
#pragma once

#include <cstdint>
#include <string>

namespace twinbay::test {

// The session bus address tests run with: nowhere.
constexpr char kNoSessionBus[] = "unix:path=/nonexistent/twinbay-tests-have-no-session-bus";

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes a file (creating its folders) last written at the Unix seconds given.
void WriteFile(const std::string& path, const std::string& content, int64_t unixSeconds);
void MakeFolder(const std::string& path);
// A whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
int64_t UnixTime(int year, int month, int day, int hour, int minute, int second);
// A whole minute ~3 h ago: listings show its seconds; clear of the present.
int64_t ThreeHoursAgo();
// The bytes as two-digit hex numbers separated by spaces ("0A 1F").
std::string Hex(const std::string& bytes);

}  // namespace twinbay::test
