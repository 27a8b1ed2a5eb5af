// The Unix-like families: "ls -l" with any date layout, a size in rounded
// units or glued to the group, NetWare, VShell and numeric Unix listings.
#include "net/list_families.h"

namespace twinbay::families {
namespace {

// "-rw-r--r--", "drwxr-xr-x+", "lrwxrwxrwx@": a type letter and nine
// permission letters.
bool IsPermissions(std::string_view p) {
  if (p.size() < 10 || std::string_view("-dlbcps").find(p[0]) == std::string_view::npos) return false;
  for (size_t i = 1; i < 10; ++i)
    if (std::string_view("rwxsStTlL-").find(p[i]) == std::string_view::npos) return false;
  return p.size() == 10 || (p.size() == 11 && std::string_view("+.@").find(p[10]) != std::string_view::npos);
}

// The name after the date: one blank separates it; more blanks belong to it.
std::string_view NameAfter(std::string_view line, const std::vector<Tok>& t, size_t next) {
  if (next >= t.size()) return {};
  const size_t end = t[next - 1].end;
  return end + 1 < line.size() ? line.substr(end + 1) : std::string_view();
}

// The date and name of a line whose date starts at word `from`: -1 when
// there is no date there, 0 when it is not a real date or no name follows, 1
// when both were read.
int DateAndName(std::string_view line, const std::vector<Tok>& t, size_t from, int64_t now, bool padded,
                FindData& out, std::string_view& name) {
  Stamp st;
  size_t next = 0;
  if (!ReadDateWords(t, from, st, next)) return -1;
  if (!SetStampTime(st, now, out) || next >= t.size()) return 0;
  // NetWare pads the date column: the name starts at the first letter.
  name = padded ? line.substr(t[next].begin) : NameAfter(line, t, next);
  return name.empty() ? 0 : 1;
}

std::optional<LineKind> UnixLine(std::string_view line, const std::vector<Tok>& t, int64_t now, FindData& out) {
  const char type = t[0].text[0];
  if (type != '-' && type != 'd' && type != 'l') return LineKind::NotEntry;  // devices, pipes, sockets
  // The size is the word before the date; owner and group may be missing, a
  // link count too. The last place where a size and a date fit wins: an owner
  // or group may look like a number.
  for (size_t k = std::min<size_t>(5, t.size() - 1); k >= 1; --k) {
    const std::string_view s = t[k].text;
    const bool exact = Digits(s);
    // A size glued to the group ("staff123456") cannot be told from a group
    // name that ends in digits: its size is unknown.
    const bool glued = !exact && k >= 2 && s.find_first_of("0123456789") != 0 &&
                       Digits(s.substr(s.find_last_not_of("0123456789") + 1));
    if (!exact && !IsUnitSize(s) && !glued) continue;
    std::string_view name;
    const int read = DateAndName(line, t, k + 1, now, false, out, name);
    if (read < 0) continue;
    if (read == 0) return LineKind::Unreadable;
    out.sizeKnown = exact && ToU64(s, out.size);
    if (!out.sizeKnown) out.size = 0;
    if (type == 'l') {
      out.link = true;
      const size_t arrow = name.find(" -> ");
      // With two arrows no one can tell where the name ends: never guess.
      if (arrow != name.rfind(" -> ")) return LineKind::Unreadable;
      if (arrow != std::string_view::npos) {
        out.linkTarget = std::string(name.substr(arrow + 4));
        name = name.substr(0, arrow);
      }
    }
    return Finish(out, name, type == 'd');
  }
  return LineKind::Unreadable;
}

}  // namespace

std::optional<LineKind> ParseUnixLike(std::string_view line, const std::vector<Tok>& t, int64_t now, FindData& out) {
  if (t.size() < 3) return std::nullopt;
  if (IsPermissions(t[0].text)) return UnixLine(line, t, now, out);

  // NetWare: "d [RWCEAFMS] owner  512  Jan 16 18:53    name".
  if (t[0].text.size() == 1 && (t[0].text == "d" || t[0].text == "-") && t[1].text.front() == '[' &&
      t[1].text.back() == ']') {
    std::string_view name;
    uint64_t size = 0;
    if (t.size() < 6 || !ToU64(t[3].text, size) || DateAndName(line, t, 4, now, true, out, name) < 1)
      return LineKind::Unreadable;
    out.size = size;
    return Finish(out, name, t[0].text == "d");
  }

  // Numeric Unix: "0100644  500  101  12345  1112345678  name": octal mode,
  // owner, group, size and Unix time.
  if (t.size() >= 6 && t[0].text.size() >= 5 && t[0].text[0] == '0' &&
      t[0].text.find_first_not_of("01234567") == std::string_view::npos && Digits(t[1].text) && Digits(t[2].text)) {
    uint64_t mode = 0, size = 0, seconds = 0;
    for (char c : t[0].text) mode = mode * 8 + static_cast<uint64_t>(c - '0');
    if (!ToU64(t[3].text, size) || !ToU64(t[4].text, seconds) || seconds > 253'402'300'799ULL)
      return LineKind::Unreadable;
    const uint64_t kind = mode & 0170000;
    if (kind != 0100000 && kind != 040000 && kind != 0120000) return LineKind::NotEntry;
    out.size = size;
    out.lastWrite = TicksFromUnix(static_cast<int64_t>(seconds));
    out.precision = TimePrecision::Seconds;
    out.link = kind == 0120000;
    return Finish(out, line.substr(t[5].begin), kind == 040000);
  }

  // VShell: "206876  Apr 04, 2000 21:06 name", a folder's name ending in "/".
  if (Digits(t[0].text) && MonthNumber(Bare(t[1].text)) && t[2].text.back() == ',') {
    std::string_view name;
    uint64_t size = 0;
    if (!ToU64(t[0].text, size) || DateAndName(line, t, 1, now, false, out, name) < 1) return LineKind::Unreadable;
    const bool folder = name.size() > 1 && name.back() == '/';
    if (folder) name.remove_suffix(1);
    out.size = size;
    return Finish(out, name, folder);
  }
  return std::nullopt;
}

}  // namespace twinbay::families
