#include "fs/find_data.h"

#include <algorithm>
#include <cstdio>

namespace twinbay {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t FloorTo(int64_t ticks, int64_t unit) { return FloorDiv(ticks, unit) * unit; }

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

int64_t TicksFromUnix(int64_t seconds, int64_t nanoseconds) {
  return (seconds + kUnixEpochSeconds) * kTicksPerSecond + nanoseconds / 100;
}

int64_t UnixFromTicks(int64_t ticks) { return FloorDiv(ticks, kTicksPerSecond) - kUnixEpochSeconds; }

int64_t TicksFromUtc(int year, int month, int day, int hour, int minute, int second) {
  const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second;
  return TicksFromUnix(secs);
}

CivilTime UtcFields(int64_t ticks) {
  const int64_t secs = UnixFromTicks(ticks);
  const int64_t days = FloorDiv(secs, 86400);
  const int64_t rem = secs - days * 86400;
  CivilTime t{};
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem / 60 % 60);
  t.second = static_cast<int>(rem % 60);
  return t;
}

std::string FormatUtc(int64_t ticks) {
  const CivilTime t = UtcFields(ticks);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

int CompareNamesNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = Fold(static_cast<unsigned char>(a[i]));
    const unsigned char cb = Fold(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool NameLess(const FindData& a, const FindData& b) {
  const int c = CompareNamesNoCase(a.name, b.name);
  if (c != 0) return c < 0;
  return a.name < b.name;
}

int64_t PrecisionUnit(TimePrecision p) {
  switch (p) {
    case TimePrecision::Day: return kTicksPerDay;
    case TimePrecision::Minutes: return kTicksPerMinute;
    default: return kTicksPerSecond;
  }
}

int CompareFileTimes(int64_t a, TimePrecision pa, int64_t b, TimePrecision pb, TimeScope scope) {
  int64_t unit = std::max(PrecisionUnit(pa), PrecisionUnit(pb));
  int64_t tolerance = 1;  // one side against its own record: equal, at its precision
  if (scope != TimeScope::SameSide) {
    if (scope == TimeScope::SidesToTheMinute) unit = std::max(unit, kTicksPerMinute);
    tolerance = kSidesTolerance;
  }
  a = FloorTo(a, unit);
  b = FloorTo(b, unit);
  const int64_t apart = a > b ? a - b : b - a;
  if (apart < tolerance) return 0;
  return a > b ? 1 : -1;
}

}  // namespace twinbay
