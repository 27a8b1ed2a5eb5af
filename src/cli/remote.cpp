// twinbay-cli: the server side of a run: a --remote address or a stored
// connection, the password, and what is said of the server's time.

#include <termios.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "cli/cli.h"

namespace twinbay::cli {
namespace {

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

// Keeps a certificate the user trusted on the stored connection it was used
// with (only there), so that later runs need no --trust-fingerprint.
void PinOnRecord(const Options& o, const Target& target) {
  ConnectionsList list = LoadConnections(o.file);
  CConnectionProperties* c = list.FindByDescription(o.connection);
  if (!c || c->pinnedFingerprint == target.pin) return;
  c->pinnedFingerprint = target.pin;
  if (o.tlsGiven) c->tlsMode = static_cast<int32_t>(target.tls);
  SaveConnections(list);
  std::fprintf(stderr, "twinbay-cli: the certificate is now trusted for \"%s\"\n", o.connection.c_str());
}

// Says on stderr what the test file that finds the server's time offset did
// (the one thing a compare may write there), and once that the offset could
// not be found.
void ReportServerTime(CFtpSession& session) {
  const std::string probe = session.Clock().TakeProbeReport();
  if (!probe.empty()) std::fprintf(stderr, "twinbay-cli: %s\n", Visible(probe).c_str());
  const std::string notice = session.Clock().TakeNotice();
  if (!notice.empty())
    std::fprintf(stderr, "twinbay-cli: warning: %s Use --server-offset +HH:MM or -HH:MM.\n", Visible(notice).c_str());
}

Target ParseUrl(const std::string& url) {
  // As curl reads them: ftps:// is implicit TLS (port 990); ftpes:// names
  // explicit TLS, which curl asks for with --ssl-reqd on an ftp:// address.
  Target t;
  std::string rest;
  bool matched = false;
  for (const auto& [scheme, mode, port] : {std::tuple{"ftp://", FtpTls::None, 21}, std::tuple{"ftps://", FtpTls::Implicit, 990},
                                           std::tuple{"ftpes://", FtpTls::Explicit, 21}}) {
    const std::string sc = scheme;
    if (url.size() >= sc.size() && std::equal(sc.begin(), sc.end(), url.begin(), [](char a, char b) {
          return a == std::tolower(static_cast<unsigned char>(b));
        })) {
      rest = url.substr(sc.size());
      t.tls = mode;
      t.tlsFromScheme = mode != FtpTls::None;
      t.port = port;
      matched = true;
      break;
    }
  }
  if (!matched) Fail("--remote takes an ftp://, ftps:// or ftpes:// address, not \"" + url + "\"");
  const size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  t.path = slash == std::string::npos ? "" : PercentDecode(rest.substr(slash));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string userInfo = authority.substr(0, at);
    if (userInfo.find(':') != std::string::npos)
      Fail("put no password in the address: use TWINBAY_PASSWORD or the prompt");
    t.user = PercentDecode(userInfo);
    t.anonymous = t.user.empty();
    authority = authority.substr(at + 1);
  }
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) Fail("bad address " + url);
    t.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') t.port = ParsePort(authority.substr(close + 2));
  } else {
    const size_t colon = authority.find(':');
    t.host = authority.substr(0, colon);
    if (colon != std::string::npos) t.port = ParsePort(authority.substr(colon + 1));
  }
  if (t.host.empty()) Fail("no server in " + url);
  return t;
}

std::string AskPassword(const std::string& user, const std::string& host) {
  if (const char* env = std::getenv("TWINBAY_PASSWORD")) return env;
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) Fail("a password for " + user + "@" + host + " is needed: set TWINBAY_PASSWORD");
  std::fprintf(tty, "Password for %s@%s: ", Visible(user).c_str(), Visible(host).c_str());
  std::fflush(tty);
  termios old{};
  const int fd = fileno(tty);
  const bool echoOff = tcgetattr(fd, &old) == 0;
  if (echoOff) {
    termios quiet = old;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  char buf[1024] = {};
  const bool got = std::fgets(buf, sizeof buf, tty) != nullptr;
  if (echoOff) tcsetattr(fd, TCSAFLUSH, &old);
  std::fprintf(tty, "\n");
  std::fclose(tty);
  if (!got) Fail("no password was given");
  std::string p = buf;
  while (!p.empty() && (p.back() == '\n' || p.back() == '\r')) p.pop_back();
  return p;
}

// The server (or local stand-in) a compare or sync uses, from --remote or a
// stored connection and the options that override them; a stored connection
// also gives the local folder, types and sub-folder choice not given.
Target ResolveTarget(Options& o) {
  Target target;
  int sources = !o.remoteUrl.empty() + !o.remoteDir.empty() + !o.connection.empty();
  if (sources != 1) Fail("give one of --remote, --connection or --remote-dir");
  if (!o.connection.empty()) {
    ConnectionsList list = LoadConnections(o.file);
    const CConnectionProperties* c = list.FindByDescription(o.connection);
    if (!c) Fail("no stored connection \"" + o.connection + "\"");
    target.host = c->host;
    target.port = c->port;
    target.anonymous = c->anonymous || c->userName.empty();
    target.user = target.anonymous ? "" : c->userName;
    target.password = target.anonymous ? "" : c->password;
    target.path = c->remotePath;
    target.serverOffset = GetServerOffset(*c);
    if (!TlsModeFromWord(c->tlsMode, target.tls))
      Fail("the stored connection \"" + o.connection + "\" asks for a TLS mode this version does not know");
    target.pin = c->pinnedFingerprint;
    if (!o.localGiven) o.local = c->localPath;
    if (!o.typesGiven) o.types = c->fileTypes;
    if (!o.subFoldersGiven) o.includeSubFolders = c->includeSubFolders != 0;
  } else if (!o.remoteUrl.empty()) {
    target = ParseUrl(o.remoteUrl);
  }
  if (o.serverOffsetGiven) target.serverOffset = o.serverOffset;
  if (o.tlsGiven) {
    if (target.tlsFromScheme && o.tls != target.tls)
      Fail(std::string("the address asks for ") + TlsModeName(target.tls) + " TLS but --tls says " + TlsModeName(o.tls));
    target.tls = o.tls;
  }
  if (!o.trustFingerprint.empty()) {
    if (target.tls == FtpTls::None && o.remoteDir.empty())
      Fail("--trust-fingerprint needs TLS: --tls explicit or implicit, or an ftps:// or ftpes:// address");
    target.pin = o.trustFingerprint;
  }
  return target;
}

}  // namespace twinbay::cli
