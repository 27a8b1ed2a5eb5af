// Content hashes over FTP: HASH (draft-bryan-ftpext-hash), the kind chosen
// with OPTS HASH, else the older XSHA256 / XSHA1 / XMD5 / XCRC commands.
// Only what FEAT lists is ever asked for.
#include <sstream>

#include "net/curl_ftp_impl.h"

namespace twinbay {
namespace {

const char* XCommand(HashKind kind) {
  switch (kind) {
    case HashKind::Sha256: return "XSHA256";
    case HashKind::Sha1: return "XSHA1";
    case HashKind::Md5: return "XMD5";
    case HashKind::Crc32: return "XCRC";
  }
  return "";
}

// The kind a HASH name stands for (FEAT's and the replies' spelling).
unsigned KindOfName(const std::string& name) {
  if (name == "SHA-256") return static_cast<unsigned>(HashKind::Sha256);
  if (name == "SHA-1") return static_cast<unsigned>(HashKind::Sha1);
  if (name == "MD5") return static_cast<unsigned>(HashKind::Md5);
  if (name == "CRC32") return static_cast<unsigned>(HashKind::Crc32);
  return 0;
}

}  // namespace

// One FEAT line (upper-cased): "HASH SHA-256*;SHA-1;MD5" (the star marks
// the kind in use), or one of the X commands.
void CurlFtpConnection::ParseHashFeature(const std::string& line) {
  if (line.rfind("HASH ", 0) == 0) {
    std::stringstream names(line.substr(5));
    std::string name;
    while (std::getline(names, name, ';')) {
      while (!name.empty() && name.back() == ' ') name.pop_back();
      const bool chosen = !name.empty() && name.back() == '*';
      if (chosen) name.pop_back();
      features_.hashKinds |= KindOfName(name);
      if (chosen) features_.hashChosen = KindOfName(name);
    }
    return;
  }
  for (HashKind k : {HashKind::Sha256, HashKind::Sha1, HashKind::Md5, HashKind::Crc32}) {
    const std::string command = XCommand(k);
    if (line == command || line.rfind(command + " ", 0) == 0) features_.xHashKinds |= static_cast<unsigned>(k);
  }
}

bool CurlFtpConnection::GetHash(const std::string& path, HashKind kind, std::string& hex) {
  if (!Safe(path)) return false;
  const unsigned bit = static_cast<unsigned>(kind);
  bool ok = false;
  if (features_.hashKinds & bit) {
    if (features_.hashChosen != bit) {
      if (!Quote({std::string("OPTS HASH ") + HashName(kind)})) return false;
      features_.hashChosen = bit;
    }
    ok = Quote({"HASH " + path});
  } else if (features_.xHashKinds & bit) {
    ok = Quote({std::string(XCommand(kind)) + " " + path});
  } else {
    return Fail(std::string("The server offers no ") + HashName(kind) + " hash.");
  }
  if (!ok) return false;
  // "213 SHA-256 0-49 <hex> <name>" for HASH, "250 <hex>" (or 213) for the X
  // commands: the first word after the code that is a digest of the kind.
  const std::string& final = replies_.empty() ? std::string() : replies_.back();
  std::stringstream words(final.size() > 4 ? final.substr(4) : std::string());
  std::string word;
  while (words >> word)
    if (TakeHexDigest(word, kind)) {
      hex = word;
      return true;
    }
  return Fail("The server gave no " + std::string(HashName(kind)) + " hash for " + path + " (" + final + ").");
}

}  // namespace twinbay
