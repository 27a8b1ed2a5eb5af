#include "fs/patterns.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Whether the path's steps from `s` on match the pattern's steps from `p` on.
bool MatchSteps(const std::vector<std::string>& pat, size_t p, const std::vector<std::string_view>& path, size_t s) {
  for (; p < pat.size(); ++p, ++s) {
    if (pat[p] == "**") {
      for (size_t k = s; k <= path.size(); ++k)
        if (MatchSteps(pat, p + 1, path, k)) return true;
      return false;
    }
    if (s >= path.size() || !Glob(path[s], pat[p])) return false;
  }
  return s == path.size();
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

bool ExcludeList::Add(std::string_view line, std::string& error) {
  std::string p(line);
  TrimLeft(p);
  TrimRight(p);
  if (p.empty() || p[0] == '#') return true;
  if (p[0] == '!') {
    error = "\"" + p + "\": a pattern that takes back a left-out path (\"!\") is not supported";
    return false;
  }
  Rule rule;
  if (p.back() == '/') {
    rule.foldersOnly = true;
    p.pop_back();
  }
  rule.whole = p.find('/') != std::string::npos;
  size_t start = p[0] == '/' ? 1 : 0;
  for (size_t slash; start <= p.size(); start = slash + 1) {
    slash = p.find('/', start);
    if (slash == std::string::npos) slash = p.size();
    if (slash > start) rule.steps.push_back(p.substr(start, slash - start));
  }
  if (rule.steps.empty()) {
    error = "\"" + std::string(line) + "\": a pattern that names no file or folder";
    return false;
  }
  rules_.push_back(std::move(rule));
  return true;
}

bool ExcludeList::AddLines(std::string_view text, std::string& error) {
  size_t number = 1;
  for (size_t start = 0; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (!Add(text.substr(start, end - start), error)) {
      error = "line " + std::to_string(number) + ": " + error;
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool ExcludeList::Excludes(std::string_view path, bool folder) const {
  std::vector<std::string_view> steps;
  for (size_t start = 0; start <= path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) steps.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (steps.empty()) return false;
  for (const Rule& rule : rules_) {
    if (rule.foldersOnly && !folder) continue;
    if (rule.whole ? MatchSteps(rule.steps, 0, steps, 0) : Glob(steps.back(), rule.steps[0])) return true;
  }
  return false;
}

bool ReadPatternText(const std::string& path, std::string& text, std::string& error, bool missingOk) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT && missingOk) return true;
  struct stat st {};
  const char* why = nullptr;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_size > (1 << 20)) {
    why = "larger than 1 MiB";
  } else {
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        why = std::strerror(errno);
        break;
      }
      text.append(buffer, static_cast<size_t>(got));
    }
  }
  if (fd >= 0) ::close(fd);
  if (why) {
    error = "cannot read " + path + ": " + why;
    return false;
  }
  return true;
}

bool ReadExcludeFile(const std::string& path, ExcludeList& into, std::string& error) {
  std::string text;
  if (!ReadPatternText(path, text, error, true)) return false;
  if (!into.AddLines(text, error)) {
    error = path + ", " + error;
    return false;
  }
  return true;
}

void SortByName(ScanList& list) {
  std::sort(list.begin(), list.end(), NameLess);
  list.erase(std::unique(list.begin(), list.end(),
                         [](const FindData& a, const FindData& b) { return a.name == b.name; }),
             list.end());
}

}  // namespace twinbay
