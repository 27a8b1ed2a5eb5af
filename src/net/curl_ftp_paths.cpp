// The free helpers of curl_ftp.h for paths and texts: a server path as a URL,
// a path made absolute against the login folder, a text safe to send.
#include <cctype>
#include <string>

#include "fs/paths.h"
#include "net/curl_ftp.h"
#include "net/ftp_client.h"

namespace twinbay {

std::string EncodeFtpUrlPath(const std::string& absolutePath) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = "%2F";
  size_t i = 0;
  while (i < absolutePath.size() && absolutePath[i] == '/') ++i;
  for (; i < absolutePath.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(absolutePath[i]);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (!absolutePath.empty() && absolutePath.back() == '/' && out.back() != '/') out += '/';
  return out;
}

bool IsSafeFtpText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string ResolveRemotePath(const std::string& path, const std::string& loginFolder) {
  std::string p = path;
  if (p.empty() || (p[0] != '/' && p[0] != '\\')) {
    std::string base = loginFolder.empty() ? "/" : loginFolder;
    AppendSeparator(base, true);
    p = base + p;
  }
  NormalizeRemotePath(p);
  if (p.empty() || p[0] != '/') p.insert(0, "/");
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace twinbay
