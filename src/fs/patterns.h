// File-type patterns: splitting the File Types text and matching names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/find_data.h"

namespace twinbay {

// Splits the File Types text at ";". Every pattern loses its leading blanks;
// only the whole text loses its trailing ones, so "*.htm ;*.gif" keeps the
// blank in "*.htm " and "a;;b" gives an empty middle pattern.
void SplitFileTypes(std::vector<std::string>& patterns, const std::string& text);

// Wildcard match in the Windows sense: "*" any run, "?" one character, ASCII
// letters case-insensitive; "*.*" (any pattern ending in ".*") also matches a
// name without an extension. An empty pattern, or one holding "/" or "\",
// matches nothing.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// Appends to out the entries of a folder listing that match the pattern and are
// of the wanted kind (folders or files). "." and ".." are never taken (nor the
// transfer's temporary files); any other name is, "total 123" included.
void SelectMatching(const ScanList& listing, bool wantFolders, std::string_view pattern, ScanList& out);

// True for the temporary files of an interrupted transfer (".twinbay-NAME.part…"):
// they are never listed, so they are never copied.
bool IsTransferTempName(std::string_view name);
// Stricter: exactly a name the transfer gives its temporary files,
// ".twinbay-NAME.part" followed by nothing or "2" (older uploads), six letters
// and digits (a download's), or "-" or "2-" and twelve lower-case hex digits
// (an upload's, unique to its run).
bool IsOwnTempName(std::string_view name);

// The part of a file name that its temporary names carry: the name itself,
// or for a long one its start and a hash of the whole, so that every
// temporary name stays within 255 bytes (and ends as IsOwnTempName expects).
std::string TempNameBase(const std::string& name);
// The temporary name of a copy that a later run may continue: the
// destination's name and, in twelve hex digits, a hash of the source's size
// and last-write time when the copy began. A later run finds the same name
// only while the source is still the same.
// Copies smaller than this simply start again when they break.
constexpr uint64_t kResumeMinimum = 1u << 20;
std::string ResumableTempName(const std::string& name, uint64_t size, int64_t time);

// Paths to leave out of a compare and a sync, gitignore-like. Each pattern
// is matched against a path below the top folders ("a/b/c.txt", no leading
// "/"), A-Z matching a-z as names pair up:
// - "*" is any run of characters but "/", "?" one character but "/";
//   "[", "\" and "!" have no special meaning (a leading "!" is refused);
// - a trailing "/" makes the pattern match folders only ("node_modules/");
// - a pattern with a "/" elsewhere (a leading one included: "/build") is
//   matched against the whole path from the top; one without is matched
//   against the name at any depth ("*.tmp");
// - "**" as a whole step matches any number of folders, none included
//   ("docs/**/draft*" matches "docs/draft1" and "docs/a/b/draft1").
// A folder left out is not walked, so nothing below it is met either.
class ExcludeList {
 public:
  // Adds one line of a pattern list: blank lines and lines starting with "#"
  // add nothing (true); surrounding blanks are dropped. False with `error`
  // for a pattern that cannot be used ("/", "!…").
  bool Add(std::string_view line, std::string& error);
  // Adds every line of a text (one pattern a line); false at the first
  // pattern that cannot be used, `error` naming its line.
  bool AddLines(std::string_view text, std::string& error);
  bool Empty() const { return rules_.empty(); }
  // Whether the entry at `path` (below the top folders) is left out.
  bool Excludes(std::string_view path, bool folder) const;

 private:
  struct Rule {
    std::vector<std::string> steps;  // split at "/"; one step: matched against the name
    bool whole = false;              // matched against the whole path
    bool foldersOnly = false;
  };
  std::vector<Rule> rules_;
};

// The pattern file of the local top folder.
inline constexpr const char* kExcludeFileName = ".twinbayignore";

// Reads a pattern file (".twinbayignore": one pattern a line). A file that
// is not there adds nothing (true); one that is there but cannot be read
// whole, or holds a pattern that cannot be used, is an error (false, with
// `error`), never an empty list.
bool ReadExcludeFile(const std::string& path, ExcludeList& into, std::string& error);
// The text of a pattern file, at most 1 MiB of a regular file. `missingOk`:
// a file that is not there gives an empty text (true).
bool ReadPatternText(const std::string& path, std::string& text, std::string& error, bool missingOk);

// Sorts a scan list by name (case-insensitive, exact bytes as tie-break) and
// drops exact-name duplicates, which arise when a file matches two patterns.
void SortByName(ScanList& list);

}  // namespace twinbay
