// twinbay-cli: what it prints: text made safe for the terminal, failures, the
// compare result and summary, and incomplete folders.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "engine/number_format.h"
#include "engine/totals.h"

namespace twinbay::cli {

// ---- text that may come from a server or a damaged file ----------------------

// The length of the valid UTF-8 sequence at s[i] (0 when there is none), and
// its code point.
size_t Utf8Sequence(std::string_view s, size_t i, uint32_t& cp) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t more;
  uint32_t least;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    more = 1, cp = c & 0x1F, least = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    more = 2, cp = c & 0x0F, least = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    more = 3, cp = c & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + more >= s.size()) return 0;
  for (size_t k = 1; k <= more; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return more + 1;
}

// Makes text safe to print: control bytes become \t, \n, \r or \xHH, the C1
// controls \u0080 to \u009F, and bytes that are not UTF-8 \xHH, so that nothing
// from a name reaches the terminal as a command or breaks a line. For TSV a
// backslash is doubled too, which makes the escaping reversible and keeps
// every record on one line with its tabs between fields only.
std::string Visible(std::string_view s, bool tsv) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = Utf8Sequence(s, i, cp);
    const auto c = static_cast<unsigned char>(s[i]);
    if (n == 0) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
      continue;
    }
    if (cp == '\t') out += "\\t";
    else if (cp == '\n') out += "\\n";
    else if (cp == '\r') out += "\\r";
    else if (cp == '\\' && tsv) out += "\\\\";
    else if (cp < 0x20 || cp == 0x7F) {
      out += "\\x";
      out += kHex[cp >> 4];
      out += kHex[cp & 15];
    } else if (cp >= 0x80 && cp <= 0x9F) {
      out += "\\u00";
      out += kHex[cp >> 4];
      out += kHex[cp & 15];
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out;
}

[[noreturn]] void Fail(const std::string& message) { Fail(std::vector<std::string>{message}); }

[[noreturn]] void Fail(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::fprintf(stderr, "twinbay-cli: %s\n", Visible(line).c_str());
  std::exit(kExitError);
}

// ---- output ------------------------------------------------------------------

std::string Relative(const std::string& root, const std::string& path) {
  if (path.size() <= root.size()) return ".";
  std::string rest = path.substr(root.size());
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  return rest.empty() ? "." : rest;
}

namespace {

const char* ClassName(int folderClass) {
  switch (folderClass) {
    case FolderRoot: return "root";
    case FolderOnBoth: return "both";
    case FolderLocalOnly: return "local";
    default: return "remote";
  }
}

// "x>" and "<x" point the way the deletion goes, as "<" and ">" do a copy.
const char* StateCode(int32_t state) {
  switch (state) {
    case CopyRemoteToLocal: return "<";
    case InStep: return "=";
    case CopyLocalToRemote: return ">";
    case Conflict: return "!";
    case DeleteRemote: return "x>";
    case DeleteLocal: return "<x";
    default: return "?";
  }
}

std::string SizeText(const FileSide& s) { return !s ? "-" : s->sizeKnown ? std::to_string(s->size) : "?"; }
std::string TimeText(const FileSide& s) { return s ? FormatUtc(s->lastWrite) : "-"; }
}  // namespace

std::string EntryPath(const std::string& folderRel, const CFileEntry& e) {
  return folderRel == "." ? e.Name() : folderRel + "/" + e.Name();
}

void PrintResult(const CFolderCollection& collection, const std::string& localRoot, const std::string& format) {
  auto guard = collection.Lock();
  struct Row {
    bool folder;
    std::string state, path, lsize, ltime, rsize, rtime;
  };
  std::vector<Row> rows;
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    const std::string rel = Relative(localRoot, r->localPath);
    const bool tsv = format == "tsv";
    rows.push_back({true, ClassName(r->folderClass), Visible(rel, tsv), "", "", "", ""});
    for (const auto& e : r->entries)
      rows.push_back({false, StateCode(e->state), Visible(EntryPath(rel, *e), tsv),
                      SizeText(e->local), TimeText(e->local), SizeText(e->remote), TimeText(e->remote)});
  }
  if (format == "tsv") {
    for (const Row& row : rows) {
      if (row.folder) std::printf("D\t%s\t%s\n", row.state.c_str(), row.path.c_str());
      else
        std::printf("F\t%s\t%s\t%s\t%s\t%s\t%s\n", row.state.c_str(), row.path.c_str(), row.lsize.c_str(),
                    row.ltime.c_str(), row.rsize.c_str(), row.rtime.c_str());
    }
    return;
  }
  int wPath = 4, wSize = 10, wState = 1;
  for (const Row& row : rows) {
    wPath = std::max(wPath, static_cast<int>(row.path.size()) + 1);
    if (!row.folder) wState = std::max(wState, static_cast<int>(row.state.size()));
    wSize = std::max({wSize, static_cast<int>(row.lsize.size()), static_cast<int>(row.rsize.size())});
  }
  std::printf("%*s  %-*s  %*s  %-20s  %*s  %-20s\n", wState - 1, "", wPath, "File", wSize, "Local size",
              "Local time (UTC)", wSize, "Rem. size", "Remote time (UTC)");
  for (const Row& row : rows) {
    if (row.folder) std::printf("[%s] %s/\n", row.state.c_str(), row.path.c_str());
    else
      std::printf("%-*s %-*s  %*s  %-20s  %*s  %-20s\n", wState, row.state.c_str(), wPath, row.path.c_str(), wSize,
                  row.lsize.c_str(), row.ltime.c_str(), wSize, row.rsize.c_str(), row.rtime.c_str());
  }
}

void PrintSummary(const CFolderCollection& collection) {
  SyncTotals t;
  CountTagged(collection, t, FilterAll);
  const NumberFormat nf = NumberFormat::FromUserLocale();
  std::printf("\nLocal to Remote: %s\nRemote to Local: %s\n",
              TaggedSummary(t.taggedUp, t.allUp, t.bytesUp, nf).c_str(),
              TaggedSummary(t.taggedDown, t.allDown, t.bytesDown, nf).c_str());
  if (t.deletesUp + t.deletesDown > 0)
    std::printf("To delete (deleted on the other side since the last sync): %ld on the server, %ld locally\n",
                t.deletesUp, t.deletesDown);
  if (t.conflicts > 0)
    std::printf("Conflicts (changed on both sides, or deleted on one and changed on the other): %ld\n", t.conflicts);
}

// One line on stderr per folder that could not be read whole (with the reason,
// the server's reply where there was one) and per entry a listing left out.
// Returns the number of incomplete folders; `leftAlone` gets the number of
// names left alone on both sides because one side cannot take them.
int ReportIncomplete(const CFolderCollection& collection, const std::string& localRoot, int* leftAlone) {
  auto guard = collection.Lock();
  int incomplete = 0, alone = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    for (const std::string& s : r->skipped) std::fprintf(stderr, "twinbay-cli: skipped %s\n", Visible(s).c_str());
    alone += r->leftAlone;
    if (!r->incomplete) continue;
    ++incomplete;
    std::fprintf(stderr, "twinbay-cli: incomplete folder %s (remote %s): %s\n",
                 Visible(Relative(localRoot, r->localPath)).c_str(), Visible(r->remotePath).c_str(),
                 Visible(r->incompleteReason).c_str());
  }
  if (incomplete > 0)
    std::fprintf(stderr, "twinbay-cli: %d folder%s could not be read; nothing in %s was copied or deleted\n",
                 incomplete, incomplete == 1 ? "" : "s", incomplete == 1 ? "it" : "them");
  if (alone > 0)
    std::fprintf(stderr, "twinbay-cli: %d name%s that one side cannot take left alone on both sides\n", alone,
                 alone == 1 ? "" : "s");
  if (leftAlone) *leftAlone = alone;
  return incomplete;
}

}  // namespace twinbay::cli
