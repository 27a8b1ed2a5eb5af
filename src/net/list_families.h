// LIST lines of the many layouts servers without MLSD print: Unix "ls -l"
// with odd dates (numeric, ISO, localized month names, CJK date characters),
// numeric Unix listings, EPLF, DOS/IIS with long or ISO years, VShell, OS/2,
// NetWare, VMS (one- and two-line entries), IBM AS/400, OS-9, and the Nortel
// and VxWorks routers. Each family is told from the line itself.
//
// Times are in the server's zone (the caller shifts Minutes and Day times like
// other LIST times); EPLF and numeric Unix listings give Unix seconds, which
// are UTC already and come back with Seconds precision. Times given to the
// second in the server's zone come back with Minutes precision, so that the
// server's offset applies to them as to every other LIST time. A size that
// the line gives only in blocks or rounded units is unknown (sizeKnown false),
// never a wrong exact number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/find_data.h"
#include "net/listing_line.h"

namespace twinbay {

// What reading one listing carries from line to line.
struct FamilyContext {
  // The first line of a VMS entry whose details follow on the next line. A
  // listing that ends with one pending has an unreadable last entry.
  std::string pending;
  // How this listing writes AS/400 dates, once a date has told: 1 month
  // first, 2 day first; 0 not known yet.
  int dayMonthOrder = 0;
};

// One line (without its line end) of a LIST reply. Entry: `out` is filled;
// NotEntry: a header, trailer or "total" line of a known family, or an entry
// that is not a file or folder (a device); Continued: the first half of a
// two-line VMS entry, kept in `ctx`; UnsafeName: an entry whose name cannot be
// used; Unreadable: anything else, including a line of a known family that
// could not be read whole. `now` (UTC ticks) gives the year of dates shown
// without one.
LineKind ParseFamilyLine(std::string_view line, int64_t now, FindData& out, FamilyContext& ctx);

// True when the line must go to ParseFamilyLine before the plain Unix and DOS
// parsers, which would misread it: the second half of a VMS entry, and
// NetWare lines (whose column padding would become part of the name).
bool FamilyTakesLineFirst(std::string_view line, const FamilyContext& ctx);

namespace families {

struct Tok {
  std::string_view text;
  size_t begin, end;  // offsets in the line
};
// Blank- or tab-separated words of a line.
std::vector<Tok> Split(std::string_view line);

bool Digits(std::string_view s);
// Decimal digits without overflow.
bool ToU64(std::string_view s, uint64_t& v);
// Small decimal numbers (at most 9 digits).
bool ToInt(std::string_view s, int& v);
// Digits with optional thousands separators ("9,730", "1.234.567").
bool GroupedU64(std::string_view s, uint64_t& v);
// A size in rounded units ("34.5k", "2KB", "12M"): its exact count is unknown.
bool IsUnitSize(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);
// The word without the dots and commas some locales put after it.
std::string_view Bare(std::string_view s);
// 1-12 for a month name or abbreviation in the languages servers use, else 0.
int MonthNumber(std::string_view word);
// A two-digit year (70-99: 19xx, else 20xx), a year counted from 1900 (three
// digits, as some servers print years after 1999), or a four-digit one; -1
// for anything else.
int FullYear(std::string_view digits);

// A calendar time as a listing gives it; -1 where a part is missing.
struct Stamp {
  int year = -1, month = -1, day = -1, hour = -1, minute = 0, second = 0;
};
// "H:MM", "HH:MM", "HH:MM:SS" or "HH:MM:SS.hh".
bool ParseClock(std::string_view s, Stamp& st);
// A whole date in one word: "2005-06-07", "1999/10/12", "2004.07.15",
// "24-04-2003" (day first), "01-jun-99", "19-NOV-2001", "Feb-28-1998", or a
// year-less "09-26" (month first).
bool ParseDateWord(std::string_view s, Stamp& st);
// The date (and time) of a Unix-like line starting at word `from`, in any
// order and language servers use ("Jan 5 2004", "5 Jan 12:30", "26. Juli,
// 20:10", "3 29 03:26", "2005-06-07 21:22", "Oct 08, 2002 09:47", CJK
// "4月 18日 2003年"). `next` is the word after it.
bool ReadDateWords(const std::vector<Tok>& t, size_t from, Stamp& st, size_t& next);
// Fills lastWrite and precision (Day without a time, else Minutes). A date
// without a year takes the current year, or the one before when that would
// put it more than a day ahead of `now`. False on an impossible date.
bool SetStampTime(const Stamp& st, int64_t now, FindData& out);

// Ends an entry: sets the name and kind, checks the name.
LineKind Finish(FindData& out, std::string_view name, bool folder);

// The families, each returning nothing when the line is not of its shape.
std::optional<LineKind> ParseUnixLike(std::string_view line, const std::vector<Tok>& t, int64_t now, FindData& out);
std::optional<LineKind> ParseEplf(std::string_view line, FindData& out);
std::optional<LineKind> ParseVms(std::string_view line, const std::vector<Tok>& t, FindData& out);
std::optional<LineKind> ParseDosLike(std::string_view line, const std::vector<Tok>& t, FindData& out);
std::optional<LineKind> ParseAs400(std::string_view line, const std::vector<Tok>& t, FindData& out, FamilyContext& ctx);
std::optional<LineKind> ParseOs9(std::string_view line, const std::vector<Tok>& t, FindData& out);
std::optional<LineKind> ParseRouter(std::string_view line, const std::vector<Tok>& t, FindData& out);

}  // namespace families
}  // namespace twinbay
