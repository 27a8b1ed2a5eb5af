#include "fs/place.h"

#include <cctype>
#include <cstdio>

namespace twinbay {
namespace {

constexpr int32_t kFixedFlag = 0x00010000;

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

}  // namespace

const char* TlsModeName(FtpTls mode) {
  switch (mode) {
    case FtpTls::None: return "none";
    case FtpTls::Explicit: return "explicit";
    case FtpTls::Implicit: return "implicit";
  }
  return "none";
}

bool ParseTlsMode(const std::string& text, FtpTls& mode) {
  std::string t;
  for (char c : text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "none" || t == "plain" || t == "off") mode = FtpTls::None;
  else if (t == "explicit") mode = FtpTls::Explicit;
  else if (t == "implicit") mode = FtpTls::Implicit;
  else return false;
  return true;
}

bool TlsModeFromWord(int32_t word, FtpTls& mode) {
  if (word < 0 || word > 2) return false;
  mode = static_cast<FtpTls>(word);
  return true;
}

std::string NormalizeFingerprint(const std::string& text) {
  std::string t = text;
  auto dropPrefix = [&t](const char* prefix) {
    const std::string p = prefix;
    if (t.size() >= p.size()) {
      bool same = true;
      for (size_t i = 0; i < p.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(t[i])) == p[i];
      if (same) t.erase(0, p.size());
    }
  };
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.erase(0, 1);
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
  dropPrefix("sha256 fingerprint=");
  dropPrefix("sha2-256:");
  dropPrefix("sha256:");
  dropPrefix("sha256 ");
  std::string hex;
  for (size_t i = 0; i < t.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (std::isxdigit(c)) hex += static_cast<char>(std::toupper(c));
    else if (c != ':') return {};
  }
  if (hex.size() != 64) return {};
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (i) out += ':';
    out += hex.substr(i, 2);
  }
  return out;
}

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

}  // namespace twinbay
