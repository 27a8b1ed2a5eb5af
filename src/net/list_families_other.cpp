// The families that are not Unix-like: EPLF, DOS/IIS and OS/2, VMS, IBM
// AS/400, OS-9 and the Nortel and VxWorks routers.
#include <algorithm>
#include <cctype>

#include "net/list_families.h"

namespace twinbay::families {
namespace {

// "10:57", "08:16:15", "12:09PM" or "12:09" followed by "PM" in word `at`;
// `next` is the word after the time.
bool DosClock(const std::vector<Tok>& t, size_t at, Stamp& st, size_t& next) {
  if (at >= t.size()) return false;
  std::string_view w = t[at].text, ampm;
  next = at + 1;
  if (w.size() > 2 && (IEquals(w.substr(w.size() - 2), "AM") || IEquals(w.substr(w.size() - 2), "PM"))) {
    ampm = w.substr(w.size() - 2);
    w.remove_suffix(2);
  } else if (next < t.size() && (IEquals(t[next].text, "AM") || IEquals(t[next].text, "PM"))) {
    ampm = t[next++].text;
  }
  if (!ParseClock(w, st)) return false;
  if (!ampm.empty()) {
    if (st.hour < 1 || st.hour > 12) return false;
    st.hour = st.hour % 12 + (IEquals(ampm, "PM") ? 12 : 0);
  }
  return true;
}

// A numeric date in three parts "a?b?c" (separator '-', '/' or '.'), as text.
bool ThreeParts(std::string_view w, std::string_view seps, std::string_view p[3]) {
  const size_t s1 = w.find_first_of(seps);
  if (s1 == std::string_view::npos) return false;
  const size_t s2 = w.find(w[s1], s1 + 1);
  if (s2 == std::string_view::npos) return false;
  p[0] = w.substr(0, s1);
  p[1] = w.substr(s1 + 1, s2 - s1 - 1);
  p[2] = w.substr(s2 + 1);
  return Digits(p[0]) && Digits(p[1]) && Digits(p[2]);
}

// DOS and OS/2 dates: "04-27-00", "07-14-1999", "04-23-103" (month first,
// year after 1999 counted from 1900) or "2002-09-02".
bool DosDate(std::string_view w, Stamp& st) {
  std::string_view p[3];
  if (!ThreeParts(w, "-/", p) || p[1].size() > 2) return false;
  if (p[0].size() == 4 && p[2].size() <= 2) {
    st.year = FullYear(p[0]);
    return ToInt(p[1], st.month) && ToInt(p[2], st.day);
  }
  st.year = FullYear(p[2]);
  return p[0].size() <= 2 && ToInt(p[0], st.month) && ToInt(p[1], st.day) && st.year > 0;
}

// The name after the blanks that follow word `at`.
std::string_view NameFrom(std::string_view line, const std::vector<Tok>& t, size_t at) {
  return at < t.size() ? line.substr(t[at].begin) : std::string_view();
}

}  // namespace

std::optional<LineKind> ParseEplf(std::string_view line, FindData& out) {
  // "+i8388621.29609,m824255902,/,\tdev": facts, a tab, the name.
  const size_t tab = line.find('\t');
  if (tab == std::string_view::npos) return LineKind::Unreadable;
  std::string_view facts = line.substr(1, tab - 1);
  bool file = false, folder = false, haveTime = false;
  uint64_t seconds = 0;
  out.sizeKnown = false;
  while (!facts.empty()) {
    const size_t comma = facts.find(',');
    const std::string_view f = facts.substr(0, comma);
    facts = comma == std::string_view::npos ? std::string_view() : facts.substr(comma + 1);
    if (f == "r") {
      file = true;
    } else if (f == "/") {
      folder = true;
    } else if (!f.empty() && f[0] == 's') {
      if (!ToU64(f.substr(1), out.size)) return LineKind::Unreadable;
      out.sizeKnown = true;
    } else if (!f.empty() && f[0] == 'm') {
      if (!ToU64(f.substr(1), seconds) || seconds > 253'402'300'799ULL) return LineKind::Unreadable;
      haveTime = true;
    }
  }
  if (!file && !folder) return LineKind::NotEntry;  // neither to be fetched nor entered
  if (!haveTime) return LineKind::Unreadable;       // nothing to compare by
  out.lastWrite = TicksFromUnix(static_cast<int64_t>(seconds));
  out.precision = TimePrecision::Seconds;  // Unix time: UTC already
  if (!file) out.sizeKnown = true;
  return Finish(out, line.substr(tab + 1), folder && !file);
}

std::optional<LineKind> ParseVms(std::string_view, const std::vector<Tok>& t, FindData& out) {
  // "NAME.EXT;1  12/16  19-NOV-2001 21:41:10.64  [GROUP,OWNER]  (RWED,RWED,RE,)";
  // a long name alone on its line with the rest on the next; a folder is
  // "NAME.DIR;1". Columns after the name may come in another order.
  const std::string_view name = t[0].text;
  const size_t semi = name.rfind(';');
  if (semi == std::string_view::npos || semi == 0 || !Digits(name.substr(semi + 1))) return std::nullopt;
  if (t[0].begin != 0) return std::nullopt;
  if (t.size() == 1) return LineKind::Continued;
  bool blocks = false, date = false;
  Stamp st;
  for (size_t k = 1; k < t.size(); ++k) {
    const std::string_view w = t[k].text;
    std::string_view p[2];
    const size_t slash = w.find('/');
    p[0] = w.substr(0, slash);
    p[1] = slash == std::string_view::npos ? "0" : w.substr(slash + 1);
    Stamp d;
    if (w.front() == '[' || w.front() == '(') {
      while (k + 1 < t.size() && t[k].text.back() != (w.front() == '[' ? ']' : ')')) ++k;  // owner, protection
    } else if (!blocks && !date && Digits(p[0]) && Digits(p[1])) {
      blocks = true;  // used/allocated blocks: no byte count
    } else if (!date && ParseDateWord(w, d) && d.year > 0 && w.find('-') != std::string_view::npos) {
      date = true;
      st = d;
      if (k + 1 < t.size() && ParseClock(t[k + 1].text, st)) ++k;
    } else if (!(blocks && date) || w.find_first_of(":/") != std::string_view::npos) {
      return LineKind::Unreadable;  // "no privilege for attempted operation", and the like
    }
  }
  if (!blocks || !date || !SetStampTime(st, 0, out)) return LineKind::Unreadable;
  out.sizeKnown = false;
  const std::string_view base = name.substr(0, semi);
  if (base.size() > 4 && IEquals(base.substr(base.size() - 4), ".DIR"))
    return Finish(out, base.substr(0, base.size() - 4), true);
  return Finish(out, name, false);
}

std::optional<LineKind> ParseDosLike(std::string_view line, const std::vector<Tok>& t, FindData& out) {
  Stamp st;
  size_t next = 0;
  if (t.size() >= 2 && DosDate(t[0].text, st)) {
    // DOS/IIS: "2002-09-02  19:06  9,730 name", "04-27-00  12:09PM  <DIR>  name".
    uint64_t size = 0;
    if (!DosClock(t, 1, st, next) || next + 1 >= t.size()) return LineKind::Unreadable;
    const bool folder = t[next].text == "<DIR>";
    if ((!folder && !GroupedU64(t[next].text, size)) || !SetStampTime(st, 0, out)) return LineKind::Unreadable;
    out.size = size;
    return Finish(out, NameFrom(line, t, next + 1), folder);
  }
  // OS/2: "36611      A    04-23-103  10:57  name", "    0 DIR  02-11-103  16:15  dir".
  if (t.size() < 4 || !Digits(t[0].text)) return std::nullopt;
  const bool folder = t[1].text == "DIR";
  size_t at = folder ? 2 : 1;
  while (at < 4 && at < t.size() && t[at].text.find_first_not_of("ARHS") == std::string_view::npos) ++at;
  std::string_view p[3];
  if (at >= t.size() || !ThreeParts(t[at].text, "-", p)) return std::nullopt;
  uint64_t size = 0;
  if (!DosDate(t[at].text, st) || !DosClock(t, at + 1, st, next) || next >= t.size() || !ToU64(t[0].text, size) ||
      !SetStampTime(st, 0, out))
    return LineKind::Unreadable;
  out.size = folder ? 0 : size;
  return Finish(out, NameFrom(line, t, next), folder);
}

std::optional<LineKind> ParseAs400(std::string_view line, const std::vector<Tok>& t, FindData& out,
                                   FamilyContext& ctx) {
  // "OWNER   77824 02/23/00 15:09:55 *DIR  name/": owner, size, date in the
  // job's order (month or day first), time, object type, name.
  if (t.size() < 6 || !Digits(t[1].text) || t[4].text.front() != '*') return std::nullopt;
  std::string_view p[3];
  Stamp st;
  int a = 0, b = 0;
  uint64_t size = 0;
  if (!ThreeParts(t[2].text, "/.-", p) || !ToInt(p[0], a) || !ToInt(p[1], b) || !ParseClock(t[3].text, st) ||
      !ToU64(t[1].text, size) || (st.year = FullYear(p[2])) < 0)
    return LineKind::Unreadable;
  // A date says its order only when one part is above 12; the listing keeps
  // to one order, so an earlier date may have told it. Otherwise, or when
  // dates disagree, nothing is guessed.
  const int says = a > 12 && b <= 12 ? 2 : b > 12 && a <= 12 ? 1 : 0;
  if (says && ctx.dayMonthOrder && says != ctx.dayMonthOrder) return LineKind::Unreadable;
  if (says) ctx.dayMonthOrder = says;
  if (ctx.dayMonthOrder == 0) return LineKind::Unreadable;
  st.month = ctx.dayMonthOrder == 1 ? a : b;
  st.day = ctx.dayMonthOrder == 1 ? b : a;
  if (!SetStampTime(st, 0, out)) return LineKind::Unreadable;
  std::string_view name = NameFrom(line, t, 5);
  const std::string_view type = t[4].text;
  bool folder = type == "*DIR" || type == "*LIB" || type == "*FLR";
  if (name.size() > 1 && name.back() == '/') {
    folder = true;
    name.remove_suffix(1);
  }
  out.size = size;
  return Finish(out, name, folder);
}

std::optional<LineKind> ParseOs9(std::string_view line, const std::vector<Tok>& t, FindData& out) {
  // "  0.0   93/06/30 1404   d-ewrewr     1F       160 CMDS": owner group.user,
  // date YY/MM/DD, time HHMM, attributes, sector (hex), size, name.
  if (t.size() < 7) return std::nullopt;
  const std::string_view owner = t[0].text, attrs = t[3].text;
  const size_t dot = owner.find('.');
  if (dot == std::string_view::npos || !Digits(owner.substr(0, dot)) || !Digits(owner.substr(dot + 1)) ||
      attrs.size() != 8 || attrs.find_first_not_of("dsewr-") != std::string_view::npos)
    return std::nullopt;
  std::string_view p[3];
  Stamp st;
  uint64_t size = 0;
  const std::string_view hhmm = t[2].text;
  if (!ThreeParts(t[1].text, "/", p) || p[0].size() != 2 || (st.year = FullYear(p[0])) < 0 || !ToInt(p[1], st.month) ||
      !ToInt(p[2], st.day) || hhmm.size() != 4 || !ToInt(hhmm.substr(0, 2), st.hour) ||
      !ToInt(hhmm.substr(2), st.minute) || st.hour > 23 || st.minute > 59 ||
      t[4].text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos || !ToU64(t[5].text, size) ||
      !SetStampTime(st, 0, out))
    return LineKind::Unreadable;
  out.size = size;
  return Finish(out, line.substr(t[5].end + 1), attrs[0] == 'd');
}

std::optional<LineKind> ParseRouter(std::string_view line, const std::vector<Tok>& t, FindData& out) {
  Stamp st;
  // VxWorks: "2048    Feb-28-1998  05:23:30   name <DIR>".
  if (t.size() >= 4 && Digits(t[0].text) && std::isalpha(static_cast<unsigned char>(t[1].text[0])) &&
      std::count(t[1].text.begin(), t[1].text.end(), '-') == 2) {
    uint64_t size = 0;
    if (!ParseDateWord(t[1].text, st) || !ParseClock(t[2].text, st) || !ToU64(t[0].text, size) ||
        !SetStampTime(st, 0, out))
      return LineKind::Unreadable;
    std::string_view name = NameFrom(line, t, 3);
    const bool folder = t.size() >= 5 && t.back().text == "<DIR>";
    if (folder) name = name.substr(0, t.back().begin - t[3].begin);
    while (folder && !name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    out.size = folder ? 0 : size;
    return Finish(out, name, folder);
  }
  // Nortel wfFtp: "name       1014196  06/03/04  Thur.   10:20:03"; the name's
  // column is padded with blanks.
  const size_t n = t.size();
  std::string_view p[3];
  if (n < 5 || !ParseClock(t[n - 1].text, st) || !ThreeParts(t[n - 3].text, "/", p) || !Digits(t[n - 4].text) ||
      Bare(t[n - 2].text).size() < 2 || Bare(t[n - 2].text).size() > 5 ||
      Bare(t[n - 2].text).find_first_not_of("ADFHMNORSTUWadefhimnorstuw") != std::string_view::npos)
    return std::nullopt;
  uint64_t size = 0;
  if (!ToU64(t[n - 4].text, size) || !ToInt(p[0], st.month) || !ToInt(p[1], st.day) ||
      (st.year = FullYear(p[2])) < 0 || !SetStampTime(st, 0, out))
    return LineKind::Unreadable;
  std::string_view name = line.substr(0, t[n - 4].begin);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  out.size = size;
  return Finish(out, name, false);
}

}  // namespace twinbay::families
