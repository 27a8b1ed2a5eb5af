#include "fs/patterns.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace twinbay {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void TrimLeft(std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  s.erase(0, i);
}

void TrimRight(std::string& s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  s.resize(n);
}

inline char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Iterative glob with single-star backtracking: linear in practice.
bool Glob(std::string_view name, std::string_view pat) {
  size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pat.size() && pat[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pat.size() && (pat[p] == '?' || Fold(pat[p]) == Fold(name[n]))) {
      ++n;
      ++p;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

void SplitFileTypes(std::vector<std::string>& patterns, const std::string& text) {
  patterns.clear();
  std::string rest = text;
  for (;;) {
    TrimLeft(rest);
    TrimRight(rest);
    const size_t semi = rest.find(';');
    if (semi == std::string::npos) break;
    std::string part = rest.substr(0, semi);
    TrimLeft(part);
    patterns.push_back(std::move(part));
    rest.erase(0, semi + 1);
  }
  TrimLeft(rest);
  patterns.push_back(std::move(rest));
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (pattern.empty() || pattern.find_first_of("/\\") != std::string_view::npos) return false;
  if (Glob(name, pattern)) return true;
  // "x.*" also finds "x": a name without an extension has an empty one.
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos)
    return Glob(name, pattern.substr(0, pattern.size() - 2));
  return false;
}

bool IsTransferTempName(std::string_view name) {
  return name.substr(0, 9) == ".twinbay-" && name.find(".part", 9) != std::string_view::npos;
}

bool IsOwnTempName(std::string_view name) {
  if (name.size() < 15 || name.substr(0, 9) != ".twinbay-") return false;
  auto endsWith = [&](std::string_view tail) {
    return name.size() >= 9 + 1 + tail.size() && name.substr(name.size() - tail.size()) == tail;
  };
  if (endsWith(".part") || endsWith(".part2")) return true;
  // An upload's, unique to its run: ".part-" or ".part2-" and twelve hex digits.
  for (std::string_view mid : {std::string_view(".part-"), std::string_view(".part2-")})
    if (name.size() >= 9 + 1 + mid.size() + 12 && name.substr(name.size() - 12 - mid.size(), mid.size()) == mid &&
        name.find_first_not_of("0123456789abcdef", name.size() - 12) == std::string_view::npos)
      return true;
  if (name.size() < 9 + 1 + 11 || name.substr(name.size() - 11, 5) != ".part") return false;
  for (char c : name.substr(name.size() - 6))
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string TempNameBase(const std::string& name) {
  // The longest temporary name adds 28 bytes, and a name may have 255.
  constexpr size_t kKeep = 200, kCut = kKeep - 17;
  if (name.size() <= kKeep) return name;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  size_t cut = kCut;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
  char hex[20];
  std::snprintf(hex, sizeof hex, "~%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, cut) + hex;
}

std::string ResumableTempName(const std::string& name, uint64_t size, int64_t time) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a of the size and the time, 48 bits kept
  for (uint64_t v : {size, static_cast<uint64_t>(time)})
    for (int i = 0; i < 8; ++i) hash = (hash ^ ((v >> (8 * i)) & 0xFF)) * 1099511628211ull;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%012llx", static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
  return ".twinbay-" + TempNameBase(name) + ".part-" + hex;
}

void SelectMatching(const ScanList& listing, bool wantFolders, std::string_view pattern, ScanList& out) {
  for (const FindData& fd : listing) {
    if (IsDots(fd.name) || IsTransferTempName(fd.name)) continue;
    if (fd.IsDirectory() != wantFolders) continue;
    if (!MatchesPattern(fd.name, pattern)) continue;
    out.push_back(fd);
  }
}

void SortByName(ScanList& list) {
  std::sort(list.begin(), list.end(), NameLess);
  list.erase(std::unique(list.begin(), list.end(),
                         [](const FindData& a, const FindData& b) { return a.name == b.name; }),
             list.end());
}

}  // namespace twinbay
