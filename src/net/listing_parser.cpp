#include "net/listing_parser.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace twinbay {
namespace {

// The number helpers the other families use, so every parser reads digits alike.
using families::IEquals;
using families::ToU64;
bool AllDigits(std::string_view s) { return families::Digits(s); }

int ToInt(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

bool ValidDate(int y, int mo, int d, int h, int mi, int s) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return y >= 1601 && y <= 9999 && mo >= 1 && mo <= 12 && d >= 1 && d <= kDays[mo - 1] && h >= 0 && h <= 23 &&
         mi >= 0 && mi <= 59 && s >= 0 && s <= 60;
}

// "YYYYMMDDHHMMSS[.sss]" in UTC.
bool ParseMlsdTime(std::string_view v, int64_t& ticks) {
  if (v.size() < 14 || !AllDigits(v.substr(0, 14))) return false;
  const int y = ToInt(v.substr(0, 4)), mo = ToInt(v.substr(4, 2)), d = ToInt(v.substr(6, 2));
  const int h = ToInt(v.substr(8, 2)), mi = ToInt(v.substr(10, 2)), s = ToInt(v.substr(12, 2));
  if (!ValidDate(y, mo, d, h, mi, s)) return false;
  int64_t frac = 0;
  if (v.size() > 14) {
    if (v[14] != '.' || !AllDigits(v.substr(15))) return false;
    std::string_view f = v.substr(15, 7);
    frac = ToInt(f);
    for (size_t i = f.size(); i < 7; ++i) frac *= 10;
  }
  ticks = TicksFromUtc(y, mo, d, h, mi, s == 60 ? 59 : s) + frac;
  return true;
}

int MonthIndex(std::string_view m) {
  static const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                  "jul", "aug", "sep", "oct", "nov", "dec"};
  if (m.size() != 3) return 0;
  for (int i = 0; i < 12; ++i)
    if (IEquals(m, kMonths[i])) return i + 1;
  return 0;
}

struct Token {
  std::string_view text;
  size_t end;  // offset just past the token in the line
};

std::vector<Token> Tokens(std::string_view line, size_t max) {
  std::vector<Token> t;
  size_t i = 0;
  while (i < line.size() && t.size() < max) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    t.push_back({line.substr(start, i - start), i});
  }
  return t;
}

}  // namespace

bool IsSafeRemoteName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    // Control bytes (NUL, line breaks, a tab...): some servers leave such
    // names out of their listings (pure-ftpd) and refuse them in commands.
    if (c == '/' || u < 0x20 || u == 0x7f || u == 0xff) return false;
  }
  return true;
}

std::string EscapeListingText(std::string_view text, size_t max) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size() && i < max; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f || c == 0xff) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > max) out += "...";
  return out;
}

namespace {
// The length of a symbolic link's type ("OS.unix=slink", as most servers
// write it, or "OS.unix=symlink", as proftpd does), 0 for any other type.
size_t LinkTypeLength(std::string_view value) {
  for (std::string_view t : {std::string_view("OS.unix=slink"), std::string_view("OS.unix=symlink")})
    if (value.size() >= t.size() && IEquals(value.substr(0, t.size()), t) &&
        (value.size() == t.size() || value[t.size()] == ':'))
      return t.size();
  return 0;
}
}  // namespace

namespace {
// An entry whose name cannot be used: reported by name, never listed.
LineKind Unsafe(std::string_view name, FindData& out) {
  out = FindData{};
  out.name = std::string(name);
  return LineKind::UnsafeName;
}
}  // namespace

LineKind ParseMlsdLine(std::string_view line, FindData& out) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return LineKind::Unreadable;
  std::string_view facts = line.substr(0, space);
  const std::string_view name = line.substr(space + 1);
  bool haveType = false, isDir = false, isLink = false, other = false;
  std::string_view unique, linkTarget;
  uint64_t size = 0;
  int64_t modify = 0;
  bool haveModify = false;
  while (!facts.empty()) {
    const size_t semi = facts.find(';');
    std::string_view fact = facts.substr(0, semi);
    facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
    const size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = fact.substr(0, eq), value = fact.substr(eq + 1);
    if (IEquals(key, "type")) {
      haveType = true;
      if (IEquals(value, "file")) isDir = false;
      else if (IEquals(value, "dir")) isDir = true;
      else if (IEquals(value, "cdir") || IEquals(value, "pdir")) return LineKind::NotEntry;
      else if (const size_t n = LinkTypeLength(value)) {
        // What it leads to is found out later; "slink:target" may say where.
        isLink = true;
        if (value.size() > n + 1 && value[n] == ':') linkTarget = value.substr(n + 1);
      }
      else other = true;  // devices and other kinds: neither copied nor hidden
    } else if (IEquals(key, "size") || IEquals(key, "sizd")) {
      if (!ToU64(value, size)) size = 0;
    } else if (IEquals(key, "modify")) {
      haveModify = ParseMlsdTime(value, modify);
    } else if (IEquals(key, "unique")) {
      unique = value;
    }
  }
  if (!haveType) return LineKind::Unreadable;
  if (name == "." || name == "..") return LineKind::NotEntry;
  if (other || !IsSafeRemoteName(name)) return Unsafe(name, out);
  out = FindData{};
  out.name = std::string(name);
  out.attributes = isDir ? kAttrDirectory : 0;
  out.size = isDir ? 0 : size;
  out.lastWrite = haveModify ? modify : 0;
  out.precision = TimePrecision::Seconds;
  out.unique = std::string(unique);
  out.link = isLink;
  out.linkTarget = std::string(linkTarget);
  return LineKind::Entry;
}

LineKind ParseUnixListLine(std::string_view line, int64_t now, FindData& out) {
  // "total N" heads "ls -l" output; a file of that name has a line of its own.
  if (line.size() > 6 && line.substr(0, 6) == "total " && AllDigits(line.substr(6))) return LineKind::NotEntry;
  if (line.size() < 10) return LineKind::Unreadable;
  const char type = line[0];
  if (!std::strchr("-dlcbpsD", type)) return LineKind::Unreadable;
  // perms, links, owner, group (sometimes missing), size, month, day, time/year, name.
  const std::vector<Token> t = Tokens(line, 9);
  size_t m = 0;
  for (size_t k = 2; k + 2 < t.size(); ++k) {
    if (MonthIndex(t[k].text) && AllDigits(t[k - 1].text) && AllDigits(t[k + 1].text) &&
        t[k + 1].text.size() <= 2 &&
        (t[k + 2].text.find(':') != std::string_view::npos || (AllDigits(t[k + 2].text) && t[k + 2].text.size() == 4))) {
      m = k;  // the last such position wins: an owner may look like a number
    }
  }
  if (m == 0) return LineKind::Unreadable;
  uint64_t size = 0;
  if (!ToU64(t[m - 1].text, size)) return LineKind::Unreadable;
  const int month = MonthIndex(t[m].text);
  const int day = ToInt(t[m + 1].text);
  const std::string_view when = t[m + 2].text;
  size_t nameStart = t[m + 2].end;
  if (nameStart >= line.size()) return LineKind::Unreadable;
  nameStart += 1;  // the one blank after the time column; further blanks belong to the name
  std::string_view name = line.substr(nameStart);
  std::string_view linkTarget;
  if (type == 'l') {
    // "name -> target": a second arrow leaves open where the name ends.
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos) {
      if (name.find(" -> ", arrow + 1) != std::string_view::npos) return LineKind::Unreadable;
      linkTarget = name.substr(arrow + 4);
      name = name.substr(0, arrow);
    }
  }

  int year, hour = 0, minute = 0;
  TimePrecision precision;
  if (when.find(':') != std::string_view::npos) {
    const size_t colon = when.find(':');
    const std::string_view hh = when.substr(0, colon), mm = when.substr(colon + 1);
    if (!AllDigits(hh) || !AllDigits(mm) || hh.size() > 2 || mm.size() != 2) return LineKind::Unreadable;
    hour = ToInt(hh);
    minute = ToInt(mm);
    // No year: the most recent such date that is not more than a day ahead.
    year = UtcFields(now).year;
    if (!ValidDate(year, month, day == 29 && month == 2 ? 28 : day, hour, minute, 0)) return LineKind::Unreadable;
    if (TicksFromUtc(year, month, day, hour, minute, 0) > now + kTicksPerDay) --year;
    precision = TimePrecision::Minutes;
  } else {
    year = ToInt(when);
    precision = TimePrecision::Day;
  }
  if (!ValidDate(year, month, day, hour, minute, 0)) return LineKind::Unreadable;
  if (name == "." || name == "..") return LineKind::NotEntry;
  // Devices, pipes and sockets are neither copied nor hidden.
  if (!std::strchr("-dl", type) || !IsSafeRemoteName(name)) return Unsafe(name, out);
  out = FindData{};
  out.name = std::string(name);
  out.attributes = type == 'd' ? kAttrDirectory : 0;
  out.size = type == 'd' ? 0 : size;
  out.lastWrite = TicksFromUtc(year, month, day, hour, minute, 0);
  out.precision = precision;
  // The size shown for a link is that of its text: what it leads to is found
  // out later.
  out.link = type == 'l';
  out.linkTarget = std::string(linkTarget);
  return LineKind::Entry;
}

LineKind ParseDosListLine(std::string_view line, FindData& out) {
  constexpr LineKind kNo = LineKind::Unreadable;
  const std::vector<Token> t = Tokens(line, 3);
  if (t.size() < 3) return kNo;
  // Date: MM-DD-YY or MM-DD-YYYY (also with "/").
  std::string_view date = t[0].text;
  if (date.size() != 8 && date.size() != 10) return kNo;
  const char sep = date[2];
  if ((sep != '-' && sep != '/') || date[5] != sep) return kNo;
  const std::string_view mo = date.substr(0, 2), d = date.substr(3, 2), y = date.substr(6);
  if (!AllDigits(mo) || !AllDigits(d) || !AllDigits(y)) return kNo;
  int year = ToInt(y);
  if (y.size() == 2) year += year < 70 ? 2000 : 1900;
  // Time: HH:MM with an optional AM/PM, either glued on or as its own token.
  std::string_view time = t[1].text;
  size_t next = 2;
  std::string_view ampm;
  if (time.size() > 2 && (IEquals(time.substr(time.size() - 2), "AM") || IEquals(time.substr(time.size() - 2), "PM"))) {
    ampm = time.substr(time.size() - 2);
    time = time.substr(0, time.size() - 2);
  }
  const size_t colon = time.find(':');
  if (colon == std::string_view::npos) return kNo;
  const std::string_view hh = time.substr(0, colon), mm = time.substr(colon + 1);
  if (!AllDigits(hh) || !AllDigits(mm) || mm.size() != 2 || hh.size() > 2) return kNo;
  int hour = ToInt(hh);
  const int minute = ToInt(mm);
  std::vector<Token> rest = Tokens(line, 4);
  if (ampm.empty() && rest.size() >= 3 && (IEquals(rest[2].text, "AM") || IEquals(rest[2].text, "PM"))) {
    ampm = rest[2].text;
    next = 3;
  }
  if (!ampm.empty()) {
    if (hour < 1 || hour > 12) return kNo;
    if (IEquals(ampm, "AM")) hour = hour == 12 ? 0 : hour;
    else hour = hour == 12 ? 12 : hour + 12;
  }
  rest = Tokens(line, next + 1);
  if (rest.size() < next + 1) return kNo;
  const std::string_view sizeOrDir = rest[next].text;
  bool isDir = false;
  uint64_t size = 0;
  if (IEquals(sizeOrDir, "<DIR>")) {
    isDir = true;
  } else {
    std::string digits;
    for (char c : sizeOrDir) {
      if (c == ',' || c == '.') continue;
      digits += c;
    }
    if (!ToU64(digits, size)) return kNo;
  }
  size_t nameStart = rest[next].end;
  while (nameStart < line.size() && line[nameStart] == ' ') ++nameStart;
  const std::string_view name = line.substr(nameStart);
  if (!ValidDate(year, ToInt(mo), ToInt(d), hour, minute, 0)) return kNo;
  if (name == "." || name == "..") return LineKind::NotEntry;
  if (!IsSafeRemoteName(name)) return Unsafe(name, out);
  out = FindData{};
  out.name = std::string(name);
  out.attributes = isDir ? kAttrDirectory : 0;
  out.size = size;
  out.lastWrite = TicksFromUtc(year, ToInt(mo), ToInt(d), hour, minute, 0);
  out.precision = TimePrecision::Minutes;
  return LineKind::Entry;
}

LineKind ParseListLine(std::string_view line, int64_t now, FindData& out, FamilyContext& ctx) {
  // The common Unix and DOS layouts, then the other families servers print;
  // a line none of them reads is unreadable.
  if (!FamilyTakesLineFirst(line, ctx)) {
    LineKind kind = ParseUnixListLine(line, now, out);
    if (kind != LineKind::Unreadable) return kind;
    kind = ParseDosListLine(line, out);
    if (kind != LineKind::Unreadable) return kind;
  }
  return ParseFamilyLine(line, now, out, ctx);
}

LineKind ParseListLine(std::string_view line, int64_t now, FindData& out) {
  FamilyContext ctx;
  return ParseListLine(line, now, out, ctx);
}

ListingParse ParseListing(std::string_view text, ListingFormat format, int64_t now, ScanList& out) {
  ListingParse result;
  FamilyContext ctx;  // a VMS entry may go on in the next line
  auto unreadable = [&result](std::string_view line) {
    if (result.unreadable++ == 0) result.firstUnreadable = std::string(line);
  };
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(' ') == std::string_view::npos && ctx.pending.empty()) continue;
    FindData fd;
    const LineKind kind = format == ListingFormat::Mlsd ? ParseMlsdLine(line, fd) : ParseListLine(line, now, fd, ctx);
    switch (kind) {
      case LineKind::Entry:
        out.push_back(std::move(fd));
        ++result.entries;
        break;
      case LineKind::NotEntry:
      case LineKind::Continued:  // the context holds it until the next line
        break;
      case LineKind::UnsafeName:
        result.unsafe.push_back(std::move(fd.name));
        break;
      case LineKind::Unreadable:
        unreadable(line);
        break;
    }
  }
  // An entry whose second half never came.
  if (!ctx.pending.empty()) unreadable(ctx.pending);
  return result;
}

}  // namespace twinbay
