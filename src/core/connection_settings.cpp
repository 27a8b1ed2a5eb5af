#include "core/connection_settings.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <sstream>
#include <unistd.h>

namespace twinbay {
namespace {

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    if (s[i] == '\\') out += '\\';
    else if (s[i] == 'n') out += '\n';
    else if (s[i] == 'r') out += '\r';
    else return false;
  }
  return true;
}

}  // namespace

std::string ConnectionSettingsFile(const std::string& connectionsFile) { return connectionsFile + ".settings"; }

std::string ConnectionsBytesHash(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::string SerializeConnectionSettings(const ConnectionRecords& records, const std::string& connectionsBytes) {
  std::map<std::string, int> names;
  for (const auto& r : records) ++names[r->description];
  std::string out = "# Twinbay: settings of the stored connections, by name\nfor " +
                    ConnectionsBytesHash(connectionsBytes) + "\n";
  for (const auto& r : records) {
    if (!HasConnectionSettings(*r) && names[r->description] < 2) continue;
    out += "connection " + Escape(r->description) + "\n";
    // A line each, blank ones too, so that the list reads back exactly.
    for (size_t from = 0, end = 0; end != std::string::npos && !r->exclude.empty(); from = end + 1) {
      end = r->exclude.find('\n', from);
      out += "exclude " + Escape(r->exclude.substr(from, end == std::string::npos ? end : end - from)) + "\n";
    }
    if (!r->backupDir.empty()) out += "backup-dir " + Escape(r->backupDir) + "\n";
    if (!r->settingsOther.empty()) out += r->settingsOther + "\n";
  }
  return out;
}

bool ParseConnectionSettings(const std::string& text, ConnectionRecords& records, std::string& hash,
                             std::string& error) {
  std::multimap<std::string, CConnectionProperties*> byName;
  for (const auto& r : records) byName.emplace(r->description, r.get());
  CConnectionProperties entry, *into = nullptr;
  bool inEntry = false;
  int excludes = 0, others = 0;  // lines of each kind in the entry so far
  auto finish = [&] {
    if (into) into->exclude = entry.exclude, into->backupDir = entry.backupDir, into->settingsOther = entry.settingsOther;
  };
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    std::string value;
    if (!Unescape(space == std::string::npos ? std::string() : line.substr(space + 1), value)) {
      error = "line " + std::to_string(number) + " holds a \"\\\" that stands for nothing";
      return false;
    }
    if (key == "for") {
      hash = value;
    } else if (key == "connection") {
      finish();
      entry = CConnectionProperties();
      inEntry = true;
      excludes = others = 0;
      // The k-th entry of a name is the k-th record of that name.
      const auto it = byName.find(value);
      into = it == byName.end() ? nullptr : it->second;
      if (it != byName.end()) byName.erase(it);
    } else if (!inEntry) {
      error = "line " + std::to_string(number) + " is outside any connection's entry";
      return false;
    } else if (key == "exclude") {
      entry.exclude += (excludes++ ? "\n" : "") + value;
    } else if (key == "backup-dir") {
      entry.backupDir = value;
    } else {
      entry.settingsOther += (others++ ? "\n" : "") + line;
    }
  }
  finish();
  return true;
}

SettingsRead ReadConnectionSettings(const std::string& connectionsFile, const std::string& connectionsBytes,
                                    ConnectionRecords& records, std::string& error) {
  const std::string file = ConnectionSettingsFile(connectionsFile);
  if (access(file.c_str(), F_OK) != 0 && errno == ENOENT) return SettingsRead::None;
  std::string text, hash, why;
  if (!ReadConnectionsFile(file, text, why) || !ParseConnectionSettings(text, records, hash, why)) {
    for (auto& r : records) r->exclude.clear(), r->backupDir.clear(), r->settingsOther.clear();
    error = file + " cannot be read: " + why + " (fix it or move it away; until then the stored connections "
                   "are not used and not saved)";
    return SettingsRead::Damaged;
  }
  return hash == ConnectionsBytesHash(connectionsBytes) ? SettingsRead::Matches : SettingsRead::Differs;
}

}  // namespace twinbay
