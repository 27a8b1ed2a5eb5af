#include "net/server_time.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "engine/find_data.h"

namespace twinbay {
namespace {

constexpr int32_t kFixedFlag = 0x00010000;
constexpr int64_t kQuarterHour = 15 * kTicksPerMinute;

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

int Number(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool No(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
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

bool ServerTimeOffset::Parse(std::string_view text, ServerTimeOffset& out, std::string* why) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  const std::string lower = Lower(text);
  if (lower == "auto" || lower == "automatic") {
    out = ServerTimeOffset();
    return true;
  }
  const std::string bad = "the server time offset is \"auto\" or a fixed offset such as +05:30 or -08:00, not \"" +
                          std::string(text) + "\"";
  std::string_view t = text;
  int sign = 1;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    sign = t.front() == '-' ? -1 : 1;
    t.remove_prefix(1);
  }
  std::string_view hh = t, mm;
  if (const size_t colon = t.find(':'); colon != std::string_view::npos) {
    hh = t.substr(0, colon);
    mm = t.substr(colon + 1);
    if (!Digits(mm) || mm.size() != 2) return No(why, bad);
  } else if (t.size() == 4) {
    hh = t.substr(0, 2);
    mm = t.substr(2);
  }
  if (!Digits(hh) || hh.size() > 2 || (!mm.empty() && !Digits(mm))) return No(why, bad);
  const int hours = Number(hh), minutes = mm.empty() ? 0 : Number(mm);
  if (hours > 23 || minutes > 59) return No(why, bad);
  // A bare number without a sign is accepted only for UTC itself ("0").
  if (text.front() != '+' && text.front() != '-' && hours * 60 + minutes != 0) return No(why, bad);
  out.automatic = false;
  out.minutes = sign * (hours * 60 + minutes);
  return true;
}

std::string ServerTimeOffset::Text() const {
  if (automatic) return "automatic";
  const int m = minutes < 0 ? -minutes : minutes;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+', m / 60 % 100, m % 60);
  return buf;
}

ServerTimeOffset ServerTimeOffset::FromRecordWord(int32_t word) {
  ServerTimeOffset o;
  if ((word & ~0xFFFF) != kFixedFlag) return o;
  const int minutes = static_cast<int16_t>(static_cast<uint16_t>(word & 0xFFFF));
  if (minutes > kMaxMinutes || minutes < -kMaxMinutes) return o;
  o.automatic = false;
  o.minutes = minutes;
  return o;
}

int32_t ServerTimeOffset::RecordWord() const {
  if (automatic) return 0;
  return kFixedFlag | static_cast<int32_t>(static_cast<uint16_t>(static_cast<int16_t>(minutes)));
}

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
