// Parsers for FTP directory listings: MLSD (RFC 3659), Unix "ls -l" and
// DOS/IIS LIST output. They fill find-data records; times are UTC as far as the
// listing tells (a LIST time is in the server's zone: the caller shifts it).
//
// Each parser says what a line is (listing_line.h): a line that it cannot
// read whole is Unreadable, never skipped, so that a folder whose listing
// holds one is known to be incomplete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/find_data.h"
#include "net/listing_line.h"
#include "net/list_families.h"

namespace twinbay {

// A name the program can use as one path component on an FTP server: not
// empty, not "." or "..", and free of "/", control bytes (NUL, a tab, line
// breaks...) and byte 0xFF (the Telnet IAC byte, which servers read
// differently in a command). "\" is an ordinary byte of a name.
bool IsSafeRemoteName(std::string_view name);

// One MLSD line. Entry; NotEntry for the folder itself and its parent;
// UnsafeName (out.name set) for an entry whose name cannot be used or that is
// neither file, folder nor link; Unreadable for anything else.
LineKind ParseMlsdLine(std::string_view line, FindData& out);

// One Unix "ls -l" line. `now` (UTC ticks) decides the year of dates shown
// without one. NotEntry for a "total N" line and for "." and "..".
LineKind ParseUnixListLine(std::string_view line, int64_t now, FindData& out);

// One DOS/IIS line, e.g. "12-06-26  09:12AM  <DIR>  name".
LineKind ParseDosListLine(std::string_view line, FindData& out);

// One LIST line in any of the formats above, or of another family
// (list_families.h); Unreadable when none reads it. The context carries what
// one line of a listing tells the next (a VMS entry in two lines).
LineKind ParseListLine(std::string_view line, int64_t now, FindData& out, FamilyContext& ctx);
// The same for a line on its own.
LineKind ParseListLine(std::string_view line, int64_t now, FindData& out);

enum class ListingFormat { Mlsd, List };

// What a whole listing held besides its entries.
struct ListingParse {
  size_t entries = 0;                  // entries appended
  size_t unreadable = 0;               // lines that could not be read
  std::string firstUnreadable;         // the first of them, as the server sent it
  std::vector<std::string> unsafe;     // names of entries left out as unusable
  bool Whole() const { return unreadable == 0 && unsafe.empty(); }
};

// A whole listing: appends its entries to `out`. Blank lines are skipped.
ListingParse ParseListing(std::string_view text, ListingFormat format, int64_t now, ScanList& out);

// A listing line or name as it may be shown: bytes below 0x20, 0x7F and 0xFF
// as \xNN, a backslash doubled; at most `max` bytes of the line.
std::string EscapeListingText(std::string_view text, size_t max = 200);

}  // namespace twinbay
