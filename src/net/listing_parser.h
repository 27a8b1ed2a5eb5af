// Parsers for FTP directory listings: MLSD (RFC 3659), Unix "ls -l" and
// DOS/IIS LIST output. They fill find-data records; times are UTC as far as the
// listing tells (a LIST time is in the server's zone: the caller shifts it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/find_data.h"
#include "net/list_families.h"

namespace twinbay {

// A name the program can use as one path component on either side: not empty,
// not "." or "..", and free of "/", "\", NUL, CR and LF.
bool IsSafeRemoteName(std::string_view name);

// One MLSD line. Returns false for lines that are not entries (cdir, pdir,
// malformed lines, unsafe names).
bool ParseMlsdLine(std::string_view line, FindData& out);

// One Unix "ls -l" line. `now` (UTC ticks) decides the year of dates shown
// without one. Returns false for "total N" lines and anything not an entry.
bool ParseUnixListLine(std::string_view line, int64_t now, FindData& out);

// One DOS/IIS line, e.g. "12-06-26  09:12AM  <DIR>  name".
bool ParseDosListLine(std::string_view line, FindData& out);

// One LIST line in either of the formats above, or of another family
// (list_families.h).
bool ParseListLine(std::string_view line, int64_t now, FindData& out);
LineKind ParseListLine(std::string_view line, int64_t now, FindData& out, FamilyContext& ctx);

enum class ListingFormat { Mlsd, List };

// A whole listing; unusable lines are dropped. Returns the number of entries
// appended.
size_t ParseListing(std::string_view text, ListingFormat format, int64_t now, ScanList& out);

}  // namespace twinbay
