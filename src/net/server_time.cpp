#include "net/server_time.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "fs/find_data.h"

namespace twinbay {
namespace {

constexpr int64_t kQuarterHour = 15 * kTicksPerMinute;

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string_view> Fields(std::string_view line, size_t count, size_t* restAt) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (out.size() < count) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    out.push_back(line.substr(start, i - start));
  }
  if (restAt) *restAt = i;
  return out;
}

}  // namespace

std::string FormatOffsetTicks(int64_t ticks) {
  ServerTimeOffset o;
  o.automatic = false;
  o.minutes = static_cast<int>(ticks / kTicksPerMinute);
  return o.Text();
}

int64_t RoundToQuarterHour(int64_t ticks) {
  const int64_t q = (ticks >= 0 ? ticks + kQuarterHour / 2 : ticks - kQuarterHour / 2) / kQuarterHour;
  return q * kQuarterHour;
}

FolderWrite JudgeFolderLine(std::string_view line, const std::string& loginUser, std::string* name) {
  // "drwxrwxrwx  2 owner group  4096 Dec 06 09:27 name"
  size_t rest = 0;
  const std::vector<std::string_view> f = Fields(line, 8, &rest);
  if (f.size() < 8 || f[0].size() < 10 || f[0][0] != 'd') return FolderWrite::NotAFolder;
  if (name) {
    std::string_view n = line.substr(rest);
    if (!n.empty() && n.front() == ' ') n.remove_prefix(1);
    *name = std::string(n);
  }
  const std::string_view mode = f[0], owner = f[2];
  if (mode[8] == 'w') return FolderWrite::Writable;
  if (mode[2] != 'w') return FolderWrite::NotWritable;
  // A number (vsftpd without text_userdb_names) or a placeholder says
  // nothing of who the owner is.
  const std::string lower = Lower(owner);
  if (Digits(owner) || lower == "-" || lower == "?" || lower == "owner" || lower == "unknown")
    return FolderWrite::Unjudged;
  const bool mine = loginUser.empty() ? owner == "ftp" || owner == "anonymous" : owner == loginUser;
  return mine ? FolderWrite::Writable : FolderWrite::NotWritable;
}

// ---- ServerClock ---------------------------------------------------------------------

void ServerClock::Reset(const ServerTimeOffset& setting) {
  std::lock_guard g(mutex_);
  setting_ = setting;
  source_ = Source::NotYet;
  listOffset_ = mdtmOffset_ = 0;
  mdtmKnown_ = false;
  note_.clear();
  noticeTaken_ = false;
  folders_.clear();
  probeRefused_ = unjudgedTried_ = false;
  probeReport_.clear();
  // A pending probe file stays pending: it is the same server's.
}

ServerTimeOffset ServerClock::Setting() const {
  std::lock_guard g(mutex_);
  return setting_;
}

int64_t ServerClock::ListOffset() const {
  std::lock_guard g(mutex_);
  return listOffset_;
}

int64_t ServerClock::MdtmOffset() const {
  std::lock_guard g(mutex_);
  return mdtmOffset_;
}

ServerClock::Source ServerClock::GetSource() const {
  std::lock_guard g(mutex_);
  return source_;
}

bool ServerClock::MdtmKnown() const {
  std::lock_guard g(mutex_);
  return mdtmKnown_;
}

void ServerClock::Settle(Source source, int64_t listOffset, int64_t mdtmOffset, bool mdtmKnown, std::string note) {
  std::lock_guard g(mutex_);
  source_ = source;
  listOffset_ = listOffset;
  mdtmOffset_ = mdtmOffset;
  mdtmKnown_ = mdtmKnown;
  note_ = std::move(note);
}

void ServerClock::SetMdtmOffset(int64_t ticks) {
  std::lock_guard g(mutex_);
  mdtmOffset_ = ticks;
  mdtmKnown_ = true;
}

std::string ServerClock::Notice() const {
  std::lock_guard g(mutex_);
  if (source_ != Source::Unknown) return {};
  return "The server's time offset is unknown" + (note_.empty() ? std::string() : " (" + note_ + ")") +
         ": its listed times are taken as UTC. Set the offset of the connection if they are not.";
}

std::string ServerClock::TakeNotice() {
  std::string text = Notice();
  std::lock_guard g(mutex_);
  if (noticeTaken_) return {};
  if (!text.empty()) noticeTaken_ = true;
  return text;
}

void ServerClock::SetPendingProbe(const std::string& path) {
  std::lock_guard g(mutex_);
  pendingProbe_ = path;
}

std::string ServerClock::PendingProbe() const {
  std::lock_guard g(mutex_);
  return pendingProbe_;
}

void ServerClock::NoteFolder(const std::string& folder, FolderWrite judged) {
  std::lock_guard g(mutex_);
  // What a store showed is never undone by a listing line.
  auto it = folders_.find(folder);
  if (it != folders_.end() && it->second == FolderWrite::Writable) return;
  if (it != folders_.end() || folders_.size() < 100000) folders_[folder] = judged;
}

FolderWrite ServerClock::Judged(const std::string& folder) const {
  std::lock_guard g(mutex_);
  auto it = folders_.find(folder);
  return it == folders_.end() ? FolderWrite::NotAFolder : it->second;
}

bool ServerClock::TakeUnjudgedTry() {
  std::lock_guard g(mutex_);
  const bool mayTry = !probeRefused_ && !unjudgedTried_;
  unjudgedTried_ = true;
  return mayTry;
}

void ServerClock::NoteProbeRefused() {
  std::lock_guard g(mutex_);
  probeRefused_ = true;
}

void ServerClock::NoteProbe(const std::string& text) {
  std::lock_guard g(mutex_);
  probeReport_ = text;
}

std::string ServerClock::TakeProbeReport() {
  std::lock_guard g(mutex_);
  std::string out;
  out.swap(probeReport_);
  return out;
}

void ServerClock::SetProbeHook(ProbeHook hook) {
  std::lock_guard g(mutex_);
  probeHook_ = std::move(hook);
}

void ServerClock::RunProbeHook(const std::string& path) const {
  ProbeHook hook;
  {
    std::lock_guard g(mutex_);
    hook = probeHook_;
  }
  if (hook) hook(path);
}

}  // namespace twinbay
