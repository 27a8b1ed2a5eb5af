// The find-data record: what one directory listing says about one file or
// folder, on either side. Local scans and remote listings fill it alike so the
// comparer can sort and merge both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twinbay {

constexpr uint32_t kAttrDirectory = 0x10;
// FindData::mode where the listing tells no permission bits (FTP).
constexpr uint16_t kNoMode = 0xFFFF;

// How exact a last-write time is. Local files and MLSD listings give seconds;
// a Unix LIST line gives minutes for recent files and only the day for older
// ones. Comparisons use the coarser precision of the two sides.
enum class TimePrecision : uint8_t { Seconds = 0, Minutes = 1, Day = 2 };

// Times are 100-ns ticks since 1601-01-01 00:00 UTC.
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMinute = 60 * kTicksPerSecond;
constexpr int64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;  // 1601 -> 1970

struct FindData {
  int64_t lastWrite = 0;  // UTC ticks
  uint64_t size = 0;
  // False where the listing gave no exact byte count (VMS blocks, "33.5k"):
  // size is then 0 and means nothing; a copy is checked against SIZE instead.
  bool sizeKnown = true;
  uint32_t attributes = 0;
  TimePrecision precision = TimePrecision::Seconds;
  // The permission bits (07777) where the listing gives them (the disk,
  // SFTP); kNoMode where it does not.
  uint16_t mode = kNoMode;
  std::string name;
  // The entry's identity (the MLSD "unique" fact; a local folder's device
  // and inode), and whether the entry is a symbolic link (either side), with
  // what it points to (remote listings: the listing's text, or the real path
  // once a link to a folder has been followed).
  std::string unique;
  bool link = false;
  std::string linkTarget;

  bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
};

// One side of a compared file: the find data, or nothing when the file does
// not exist on that side.
using FileSide = std::optional<FindData>;

// A listing of one folder (or the part of it that matched a pattern).
using ScanList = std::vector<FindData>;

int64_t TicksFromUnix(int64_t seconds, int64_t nanoseconds = 0);
// Whole Unix seconds of a tick value (rounded down).
int64_t UnixFromTicks(int64_t ticks);
// Ticks of a UTC calendar time; fields are not range-checked beyond what the
// day arithmetic needs (callers validate what they parse).
int64_t TicksFromUtc(int year, int month, int day, int hour, int minute, int second);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatUtc(int64_t ticks);
struct CivilTime {
  int year, month, day, hour, minute, second;
};
CivilTime UtcFields(int64_t ticks);

// ---- the one rule for last-write times ----------------------------------

// How many ticks a time of this precision is exact to.
int64_t PrecisionUnit(TimePrecision p);

// Whose two times are compared, which decides how closely they must agree.
enum class TimeScope : uint8_t {
  // One side's time now against what was recorded of the same side: exact at
  // that side's own precision (the local disk to the second, a LIST-only
  // server to the minute or day as its listing says).
  SameSide,
  // The local time against the server's: two clocks and two file systems, so
  // less than kSidesTolerance apart is the same time.
  Sides,
  // The same, compared to the minute ("ignore seconds").
  SidesToTheMinute,
};
inline TimeScope SidesScope(bool ignoreSeconds) {
  return ignoreSeconds ? TimeScope::SidesToTheMinute : TimeScope::Sides;
}
constexpr int64_t kSidesTolerance = 3 * kTicksPerSecond;

// -1 when `a` is older than `b`, 0 when they are the same time, 1 when `a` is
// newer. Both are taken down to whole units of the coarser of their two
// precisions (and of the scope's), then compared within the scope's
// tolerance.
int CompareFileTimes(int64_t a, TimePrecision pa, int64_t b, TimePrecision pb, TimeScope scope);

// Names compare byte by byte with the letters A-Z folded to a-z; every other
// byte by its unsigned value; a prefix sorts first.
int CompareNamesNoCase(std::string_view a, std::string_view b);
// The order used for sorting listings: case-insensitive first, then the exact
// bytes, so that names that differ only in case sort the same way every time.
bool NameLess(const FindData& a, const FindData& b);

}  // namespace twinbay
