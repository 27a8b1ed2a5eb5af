#include "net/list_families.h"

#include <cctype>
#include <utility>

#include "net/listing_parser.h"

namespace twinbay {
namespace families {

std::vector<Tok> Split(std::string_view line) {
  std::vector<Tok> t;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    t.push_back({line.substr(start, i - start), start, i});
  }
  return t;
}

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ToU64(std::string_view s, uint64_t& v) {
  if (!Digits(s)) return false;
  v = 0;
  for (char c : s) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  return true;
}

bool ToInt(std::string_view s, int& v) {
  if (!Digits(s) || s.size() > 9) return false;
  v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return true;
}

bool GroupedU64(std::string_view s, uint64_t& v) {
  const size_t sep = s.find_first_of(",.");
  if (sep == std::string_view::npos) return ToU64(s, v);
  if (sep == 0 || sep > 3) return false;
  std::string digits(s.substr(0, sep));
  for (size_t i = sep; i < s.size(); i += 4) {
    if (s[i] != s[sep] || i + 4 > s.size() || !Digits(s.substr(i + 1, 3))) return false;
    digits.append(s.substr(i + 1, 3));
  }
  return ToU64(digits, v);
}

bool IsUnitSize(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  if (i == 0) return false;
  if (i < s.size() && s[i] == '.') {
    const size_t f = ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i == f) return false;
  }
  std::string_view unit = s.substr(i);
  if (unit.size() == 2 && (unit[1] == 'b' || unit[1] == 'B')) unit.remove_suffix(1);
  return unit.size() == 1 && std::string_view("kKmMgGtT").find(unit[0]) != std::string_view::npos;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string_view Bare(std::string_view s) {
  while (!s.empty() && (s.back() == '.' || s.back() == ',')) s.remove_suffix(1);
  return s;
}

int MonthNumber(std::string_view word) {
  // English, German, French, Spanish, Italian, Dutch, Portuguese, Swedish,
  // Polish and Finnish names and the abbreviations their "ls" prints (the
  // ones with accents in UTF-8 and in Latin-1).
  static const struct {
    const char* name;
    int month;
  } kNames[] = {
      {"jan", 1},      {"january", 1},    {"januar", 1},    {"janv", 1},     {"janvier", 1},  {"ene", 1},
      {"enero", 1},    {"gen", 1},        {"gennaio", 1},   {"januari", 1},  {"janeiro", 1},  {"sty", 1},
      {"tammi", 1},    {"j\xc3\xa4n", 1}, {"j\xe4n", 1},    {"feb", 2},      {"february", 2}, {"februar", 2},
      {"fev", 2},      {"fevr", 2},       {"f\xc3\xa9v", 2}, {"f\xc3\xa9vr", 2}, {"f\xe9v", 2}, {"f\xe9vr", 2},
      {"febrero", 2},  {"febbraio", 2},   {"februari", 2},  {"fevereiro", 2}, {"lut", 2},     {"helmi", 2},
      {"mar", 3},      {"march", 3},      {"mrz", 3},       {"m\xc3\xa4r", 3}, {"m\xc3\xa4rz", 3}, {"m\xe4r", 3},
      {"m\xe4rz", 3},  {"mars", 3},       {"marzo", 3},     {"mrt", 3},      {"maart", 3},    {"maalis", 3},
      {"apr", 4},      {"april", 4},      {"avr", 4},       {"avril", 4},    {"abr", 4},      {"abril", 4},
      {"aprile", 4},   {"kwi", 4},        {"huhti", 4},     {"may", 5},      {"mai", 5},      {"mayo", 5},
      {"mag", 5},      {"maggio", 5},     {"mei", 5},       {"maj", 5},      {"maio", 5},     {"touko", 5},
      {"jun", 6},      {"june", 6},       {"juni", 6},      {"juin", 6},     {"junio", 6},    {"giu", 6},
      {"giugno", 6},   {"junho", 6},      {"cze", 6},       {"jul", 7},      {"july", 7},     {"juli", 7},
      {"juil", 7},     {"juillet", 7},    {"julio", 7},     {"lug", 7},      {"luglio", 7},   {"julho", 7},
      {"lip", 7},      {"aug", 8},        {"august", 8},    {"aout", 8},     {"ao\xc3\xbbt", 8}, {"ao\xfbt", 8},
      {"ago", 8},      {"agosto", 8},     {"augustus", 8},  {"sie", 8},      {"elo", 8},      {"sep", 9},
      {"sept", 9},     {"september", 9},  {"septembre", 9}, {"septiembre", 9}, {"set", 9},    {"settembre", 9},
      {"setembro", 9}, {"wrz", 9},        {"syys", 9},      {"oct", 10},     {"october", 10}, {"okt", 10},
      {"oktober", 10}, {"octobre", 10},   {"octubre", 10},  {"ott", 10},     {"ottobre", 10}, {"out", 10},
      {"outubro", 10}, {"loka", 10},      {"nov", 11},      {"november", 11}, {"novembre", 11}, {"noviembre", 11},
      {"novembro", 11}, {"lis", 11},      {"marras", 11},   {"dec", 12},     {"december", 12}, {"dez", 12},
      {"dezember", 12}, {"dic", 12},      {"diciembre", 12}, {"dicembre", 12}, {"d\xc3\xa9" "c", 12},
      {"d\xe9" "c", 12}, {"dezembro", 12}, {"gru", 12},     {"joulu", 12},
  };
  if (word.empty() || word.size() > 12) return 0;
  std::string lower(word);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Capitalised accented letters of the names above.
  for (auto [upper, low] : {std::pair<std::string_view, std::string_view>{"\xc3\x84", "\xc3\xa4"},
                            {"\xc3\x89", "\xc3\xa9"}}) {
    for (size_t at = lower.find(upper); at != std::string::npos; at = lower.find(upper))
      lower.replace(at, upper.size(), low);
  }
  for (const auto& n : kNames)
    if (lower == n.name) return n.month;
  return 0;
}

int FullYear(std::string_view s) {
  int y = 0;
  if (!ToInt(s, y)) return -1;
  if (s.size() == 2) return y < 70 ? 2000 + y : 1900 + y;
  if (s.size() == 3 && y >= 100) return 1900 + y;
  if (s.size() == 4) return y;
  return -1;
}

bool ParseClock(std::string_view s, Stamp& st) {
  const size_t c1 = s.find(':');
  if (c1 == std::string_view::npos || c1 == 0 || c1 > 2) return false;
  int h = 0, m = 0, sec = 0;
  if (!ToInt(s.substr(0, c1), h)) return false;
  std::string_view rest = s.substr(c1 + 1);
  if (rest.size() < 2 || !ToInt(rest.substr(0, 2), m)) return false;
  rest.remove_prefix(2);
  if (!rest.empty()) {
    if (rest[0] != ':' || rest.size() < 3 || !ToInt(rest.substr(1, 2), sec)) return false;
    rest.remove_prefix(3);
    if (!rest.empty() && (rest[0] != '.' || !Digits(rest.substr(1)))) return false;
  }
  if (h > 23 || m > 59 || sec > 59) return false;
  st.hour = h;
  st.minute = m;
  st.second = sec;
  return true;
}

bool ParseDateWord(std::string_view s, Stamp& st) {
  const size_t sep = s.find_first_of("-/.");
  if (sep == std::string_view::npos) return false;
  const char c = s[sep];
  const size_t sep2 = s.find(c, sep + 1);
  const std::string_view a = s.substr(0, sep);
  const std::string_view b =
      s.substr(sep + 1, sep2 == std::string_view::npos ? std::string_view::npos : sep2 - sep - 1);
  int x = 0, y = 0;
  if (sep2 == std::string_view::npos) {
    // A year-less month and day: "09-26".
    if (c != '-' || a.size() > 2 || b.size() > 2 || !ToInt(a, x) || !ToInt(b, y)) return false;
    st.month = x;
    st.day = y;
    return true;
  }
  const std::string_view z = s.substr(sep2 + 1);
  if (z.find_first_of("-/.") != std::string_view::npos) return false;
  if (a.size() == 4 && ToInt(a, x) && ToInt(b, y) && b.size() <= 2 && z.size() <= 2 && ToInt(z, st.day)) {
    st.year = x;  // year first
    st.month = y;
    return true;
  }
  if (a.empty() || a.size() > 2 || !ToInt(a, x)) {
    // "Feb-28-1998"
    st.month = MonthNumber(a);
    if (!st.month || !ToInt(b, st.day) || b.size() > 2) return false;
  } else {
    // Day first: "24-04-2003", "01-jun-99", "19-NOV-2001".
    st.day = x;
    st.month = MonthNumber(b);
    if (!st.month && (!ToInt(b, st.month) || b.size() > 2)) return false;
  }
  st.year = FullYear(z);
  return st.year > 0;
}

namespace {

// A CJK date word: a number followed by the month, day or year character of
// Japanese or Korean, in UTF-8, Shift-JIS, EUC-JP or EUC-KR.
bool CjkPart(std::string_view w, char& part, int& value) {
  static const struct {
    const char* mark;
    char part;
  } kMarks[] = {{"\xe6\x9c\x88", 'm'}, {"\x8c\x8e", 'm'}, {"\xb7\xee", 'm'}, {"\xec\x9b\x94", 'm'}, {"\xbf\xf9", 'm'},
                {"\xe6\x97\xa5", 'd'}, {"\x93\xfa", 'd'}, {"\xc6\xfc", 'd'}, {"\xec\x9d\xbc", 'd'}, {"\xc0\xcf", 'd'},
                {"\xe5\xb9\xb4", 'y'}, {"\x94\x4e", 'y'}, {"\xc7\xaf", 'y'}, {"\xeb\x85\x84", 'y'}, {"\xb3\xe2", 'y'}};
  size_t n = 0;
  while (n < w.size() && w[n] >= '0' && w[n] <= '9') ++n;
  if (n == 0) return false;
  for (const auto& m : kMarks)
    if (w.substr(n) == m.mark) {
      part = m.part;
      return m.part == 'y' ? (value = FullYear(w.substr(0, n))) > 0 : ToInt(w.substr(0, n), value);
    }
  return false;
}

}  // namespace

bool ReadDateWords(const std::vector<Tok>& t, size_t from, Stamp& st, size_t& next) {
  st = Stamp{};
  int loose = -1;  // a number seen before the month was known
  auto complete = [&] { return st.month > 0 && st.day > 0 && (st.year > 0 || st.hour >= 0); };
  size_t k = from;
  for (; k < t.size() && k < from + 4 && !complete(); ++k) {
    const std::string_view raw = t[k].text, w = Bare(raw);
    Stamp d;
    char part = 0;
    int value = 0;
    if (st.hour < 0 && ParseClock(raw, st)) continue;
    if (int m = MonthNumber(w); m && st.month < 0) {
      st.month = m;
      if (loose >= 0) st.day = std::exchange(loose, -1);
    } else if (CjkPart(w, part, value)) {
      int& slot = part == 'm' ? st.month : part == 'd' ? st.day : st.year;
      if (slot > 0) return false;
      slot = value;
      if (part == 'm' && loose >= 0) return false;
    } else if (st.month < 0 && st.day < 0 && loose < 0 && ParseDateWord(raw, d)) {
      st.year = d.year;
      st.month = d.month;
      st.day = d.day;
    } else if (Digits(w) && w.size() == 4 && st.year < 0) {
      st.year = FullYear(w);
    } else if (Digits(w) && w.size() <= 2) {
      int n = 0;
      ToInt(w, n);
      if (st.month > 0 && st.day < 0) st.day = n;  // after the month: the day
      else if (st.month < 0 && loose < 0) loose = n;
      else if (st.month < 0) {
        st.month = std::exchange(loose, -1);  // two numbers: month, then day
        st.day = n;
      } else {
        return false;
      }
    } else {
      return false;
    }
  }
  if (!complete()) return false;
  // A year may be followed by the time ("Oct 08, 2002 09:47", "2005-06-07 21:22").
  if (st.hour < 0 && k < t.size() && ParseClock(t[k].text, st)) ++k;
  next = k;
  return true;
}

bool SetStampTime(const Stamp& st, int64_t now, FindData& out) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.month < 1 || st.month > 12 || st.day < 1 || st.day > kDays[st.month - 1]) return false;
  const int hour = st.hour < 0 ? 0 : st.hour;
  int year = st.year;
  if (year < 0) {
    if (st.hour < 0) return false;
    year = UtcFields(now).year;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if ((st.month == 2 && st.day == 29 && !leap) ||
        TicksFromUtc(year, st.month, st.day, hour, st.minute, st.second) > now + kTicksPerDay)
      --year;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1601 || year > 9999 || (st.month == 2 && st.day == 29 && !leap)) return false;
  out.lastWrite = TicksFromUtc(year, st.month, st.day, hour, st.minute, st.second);
  out.precision = st.hour < 0 ? TimePrecision::Day : TimePrecision::Minutes;
  return true;
}

LineKind Finish(FindData& out, std::string_view name, bool folder) {
  out.name = std::string(name);
  out.attributes = folder ? kAttrDirectory : 0;
  if (folder) {
    out.size = 0;
    out.sizeKnown = true;
  }
  return IsSafeRemoteName(out.name) ? LineKind::Entry : LineKind::UnsafeName;
}

}  // namespace families

using namespace families;

namespace {

bool StartsWith(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(0, p.size()) == p; }

// Lines some families print around their entries.
bool IsHeaderOrTrailer(std::string_view line, const std::vector<Tok>& t) {
  if (t.empty()) return true;
  if (t.size() == 2 && t[0].text == "total" && Digits(t[1].text)) return true;  // Unix
  // VMS: "Directory DISK$USER:[ME]", "Total of 3 files, 12/36 blocks.",
  // "Grand total of 2 directories, 5 files"; OS-9: "Directory of . 12:00:00".
  if (t[0].text == "Directory" && t.size() >= 2 &&
      (t[1].text == "of" || t[1].text.find_first_of(":[") != std::string_view::npos))
    return true;
  if (StartsWith(line, "Total of ") || StartsWith(line, "Grand total of ")) return true;
  // OS-9 column heads and their underline.
  if (t.size() >= 4 && t[0].text == "Owner" && t[1].text == "Last" && t[2].text == "modified") return true;
  return line.find_first_not_of("- \t") == std::string_view::npos;
}

bool IsNetWare(std::string_view line) {
  return line.size() > 3 && (line[0] == 'd' || line[0] == '-') && line[1] == ' ' &&
         line.find_first_not_of(' ', 1) != std::string_view::npos && line[line.find_first_not_of(' ', 1)] == '[';
}

}  // namespace

bool FamilyTakesLineFirst(std::string_view line, const FamilyContext& ctx) {
  return !ctx.pending.empty() || IsNetWare(line);
}

LineKind ParseFamilyLine(std::string_view line, int64_t now, FindData& out, FamilyContext& ctx) {
  out = FindData{};
  if (!ctx.pending.empty()) {
    // The second half of a two-line VMS entry; whatever the line is, the
    // entry must read whole with it.
    const std::string joined = std::exchange(ctx.pending, {}) + " " + std::string(line);
    const std::vector<Tok> t = Split(joined);
    const std::optional<LineKind> kind = t.size() > 1 ? ParseVms(joined, t, out) : std::nullopt;
    return kind && *kind != LineKind::Continued ? *kind : LineKind::Unreadable;
  }
  if (!line.empty() && line[0] == '+') return ParseEplf(line, out).value_or(LineKind::Unreadable);
  const std::vector<Tok> t = Split(line);
  if (IsHeaderOrTrailer(line, t)) return LineKind::NotEntry;
  if (std::optional<LineKind> k = ParseUnixLike(line, t, now, out)) return *k;
  if (std::optional<LineKind> k = ParseVms(line, t, out)) {
    if (*k == LineKind::Continued) ctx.pending = std::string(line);
    return *k;
  }
  for (auto parse : {ParseDosLike, ParseOs9, ParseRouter})
    if (std::optional<LineKind> k = parse(line, t, out)) return *k;
  if (std::optional<LineKind> k = ParseAs400(line, t, out, ctx)) return *k;
  return LineKind::Unreadable;
}

}  // namespace twinbay
