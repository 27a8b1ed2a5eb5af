// twinbay-cli: compare, synchronise and manage stored connections without a
// window, for scripts, scheduled jobs and tests.
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <string_view>
#include <vector>

#include "cli/progress_line.h"
#include "core/controller.h"
#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/number_format.h"
#include "engine/totals.h"
#include "net/connections.h"
#include "net/ftp_session.h"
#include "net/server_time.h"
#include "net/transfer.h"

using namespace twinbay;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitDifferences = 1;
constexpr int kExitError = 2;

const char* kUsage =
    "usage:\n"
    "  twinbay-cli compare --local DIR (--remote URL | --connection NAME | --remote-dir DIR)\n"
    "                      [--types TEXT] [--no-subfolders] [--exact-seconds] [--format text|tsv]\n"
    "                      [--server-offset auto|+HH:MM|-HH:MM]\n"
    "                      [--tls none|explicit|implicit] [--trust-fingerprint SHA256]\n"
    "                      [--connections N]\n"
    "  twinbay-cli sync    (the same options) [--up] [--down] [--set-local-timestamps] [--dry-run]\n"
    "                      [-v | -q]\n"
    "  twinbay-cli connections list [--file FILE] [--format text|tsv]\n"
    "  twinbay-cli connections add [--file FILE] --description D --host H [--port N] [--user U]\n"
    "                      [--password-stdin] [--local DIR] [--remote PATH] [--types TEXT] [--no-subfolders]\n"
    "                      [--server-offset auto|+HH:MM|-HH:MM]\n"
    "                      [--tls none|explicit|implicit] [--trust-fingerprint SHA256]\n"
    "  twinbay-cli connections remove [--file FILE] --description D\n"
    "  twinbay-cli --version\n"
    "\n"
    "  --remote ftp://[user@]host[:port]/path   the server folder (the path is taken from the root;\n"
    "                                            an empty path is the login folder)\n"
    "  --remote ftps://...  implicit TLS (TLS from the first byte, port 990 unless given), as curl\n"
    "                      reads ftps://; ftpes://... is explicit TLS (AUTH TLS on port 21 unless given)\n"
    "  --tls MODE          none (plain FTP), explicit (AUTH TLS, then encrypted login and transfers)\n"
    "                      or implicit; with TLS nothing is ever sent in plain, a server without TLS\n"
    "                      fails the connect. With --connection the stored mode holds unless --tls is given.\n"
    "  --trust-fingerprint SHA256   trust the server certificate with this SHA-256 fingerprint (as the\n"
    "                      refusal message and `openssl x509 -noout -fingerprint -sha256` show it) even\n"
    "                      though it is self-signed or for another name; with --connection it is\n"
    "                      pinned on that stored connection once the connect succeeds\n"
    "  --connection NAME   take server, login, paths, types and sub-folder choice from a stored connection\n"
    "  --remote-dir DIR    compare with (or sync to) a local folder standing in for the server\n"
    "  --server-offset     the zone of a server that lists times in its own local time (LIST without\n"
    "                      MLSD): auto finds it (default; a stored connection keeps its own), or a\n"
    "                      fixed offset east of UTC such as +05:30 or -08:00\n"
    "  --connections N     list folders and copy files over up to N connections at once (1 to 16,\n"
    "                      default 8); a server that takes fewer logins is used with as many as it takes\n"
    "  -v, --verbose       sync on a terminal: besides the progress line, name every file copied\n"
    "  -q, --quiet         sync: nothing on stdout (failures still on stderr)\n"
    "  A password comes from the environment variable TWINBAY_PASSWORD, or is asked for.\n"
    "  The connections file defaults to connections.ftp beside the program, else\n"
    "  $XDG_CONFIG_HOME/Kestrion/connections.ftp (~/.config/Kestrion/connections.ftp).\n"
    "\n"
    "exit status: 0 in step (compare) or all copied (sync); 1 differences found or files not copied;\n"
    "             2 error, or a folder not read whole (its one-sided files shown as ?)\n";

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
std::string Visible(std::string_view s, bool tsv = false) {
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

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "twinbay-cli: %s\n", Visible(message).c_str());
  std::exit(kExitError);
}

// ---- interruption ----------------------------------------------------------------

// SIGINT and SIGTERM act as Cancel: the handler only records the signal and
// raises the abort flags of what runs (lock-free atomic stores); the main flow
// then cleans up and reports. A second signal ends the program at once.
std::atomic<int> g_signal{0};
std::atomic<CSyncController*> g_controller{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<CSyncController*>::is_always_lock_free);

extern "C" void OnInterrupt(int sig) {
  if (g_signal.exchange(sig) != 0) _exit(128 + sig);
  if (CSyncController* controller = g_controller.load()) controller->Abort();
}

void CatchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int InterruptedStatus() { return 128 + g_signal.load(); }

struct Args {
  std::vector<std::string> words;
  size_t pos = 0;
  bool More() const { return pos < words.size(); }
  std::string Next() { return words[pos++]; }
  std::string Value(const std::string& option) {
    if (!More()) Fail(option + " needs a value");
    return Next();
  }
};

struct Options {
  std::string command, subcommand;
  std::string local, remoteUrl, remoteDir, connection, file;
  std::string types;
  bool typesGiven = false, localGiven = false;
  bool includeSubFolders = true, subFoldersGiven = false;
  bool ignoreSeconds = true;
  std::string format = "text";
  bool up = false, down = false, setLocalTimestamps = false, dryRun = false;
  bool verbose = false, quiet = false;
  // connections add
  std::string description, host, user, remotePath;
  int port = 21;
  bool passwordStdin = false;
  ServerTimeOffset serverOffset;
  bool serverOffsetGiven = false;
  FtpTls tls = FtpTls::None;
  bool tlsGiven = false;
  std::string trustFingerprint;
  int connections = 8;
};

int ParseConnections(const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < 1 || v > 16) Fail("--connections takes a number from 1 to 16, not \"" + text + "\"");
  return static_cast<int>(v);
}

int ParsePort(const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < 1 || v > 65535) Fail("the port must be a number from 1 to 65535, not \"" + text + "\"");
  return static_cast<int>(v);
}

Options Parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) a.words.push_back(argv[i]);
  Options o;
  if (!a.More()) {
    std::fputs(kUsage, stderr);
    std::exit(kExitError);
  }
  o.command = a.Next();
  if (o.command == "--version") {
    std::printf("twinbay-cli %s\n", TWINBAY_VERSION);
    std::exit(kExitOk);
  }
  if (o.command == "--help" || o.command == "-h" || o.command == "help") {
    std::fputs(kUsage, stdout);
    std::exit(kExitOk);
  }
  if (o.command == "connections") {
    if (!a.More()) Fail("connections needs list, add or remove");
    o.subcommand = a.Next();
    if (o.subcommand != "list" && o.subcommand != "add" && o.subcommand != "remove")
      Fail("unknown connections command \"" + o.subcommand + "\"");
  } else if (o.command != "compare" && o.command != "sync") {
    Fail("unknown command \"" + o.command + "\" (try --help)");
  }
  while (a.More()) {
    const std::string w = a.Next();
    if (w == "--local") o.local = a.Value(w), o.localGiven = true;
    else if (w == "--remote" && o.command == "connections") o.remotePath = a.Value(w);
    else if (w == "--remote") o.remoteUrl = a.Value(w);
    else if (w == "--remote-dir") o.remoteDir = a.Value(w);
    else if (w == "--connection") o.connection = a.Value(w);
    else if (w == "--file") o.file = a.Value(w);
    else if (w == "--types") o.types = a.Value(w), o.typesGiven = true;
    else if (w == "--connections" && o.command != "connections") o.connections = ParseConnections(a.Value(w));
    else if (w == "--no-subfolders") o.includeSubFolders = false, o.subFoldersGiven = true;
    else if (w == "--exact-seconds") o.ignoreSeconds = false;
    else if (w == "--format") {
      o.format = a.Value(w);
      if (o.format != "text" && o.format != "tsv") Fail("--format takes text or tsv");
    } else if (w == "--up" && o.command == "sync") o.up = true;
    else if (w == "--down" && o.command == "sync") o.down = true;
    else if (w == "--set-local-timestamps" && o.command == "sync") o.setLocalTimestamps = true;
    else if (w == "--dry-run" && o.command == "sync") o.dryRun = true;
    else if ((w == "-v" || w == "--verbose") && o.command == "sync") o.verbose = true;
    else if ((w == "-q" || w == "--quiet") && o.command == "sync") o.quiet = true;
    else if (w == "--description") o.description = a.Value(w);
    else if (w == "--host") o.host = a.Value(w);
    else if (w == "--port") o.port = ParsePort(a.Value(w));
    else if (w == "--user") o.user = a.Value(w);
    else if (w == "--password-stdin") o.passwordStdin = true;
    else if (w == "--server-offset" && (o.command != "connections" || o.subcommand == "add")) {
      std::string why;
      if (!ServerTimeOffset::Parse(a.Value(w), o.serverOffset, &why)) Fail(why);
      o.serverOffsetGiven = true;
    }
    else if (w == "--tls" && (o.command != "connections" || o.subcommand == "add")) {
      if (!ParseTlsMode(a.Value(w), o.tls)) Fail("--tls takes none, explicit or implicit");
      o.tlsGiven = true;
    } else if (w == "--trust-fingerprint" && (o.command != "connections" || o.subcommand == "add")) {
      const std::string given = a.Value(w);
      o.trustFingerprint = NormalizeFingerprint(given);
      if (o.trustFingerprint.empty())
        Fail("\"" + given + "\" is not a SHA-256 certificate fingerprint (64 hex digits, colons allowed)");
    }
    else Fail("unknown option " + w + " (try --help)");
  }
  if (o.verbose && o.quiet) Fail("-v and -q do not go together");
  return o;
}

// ---- connections file ------------------------------------------------------

ConnectionsList LoadConnections(const std::string& file) {
  std::string problem;
  const std::string name = file.empty() ? DefaultConnectionsFile(&problem) : file;
  if (name.empty()) Fail(problem + ", or name the file with --file");
  ConnectionsList list(name);
  const ConnectionsReadResult r = list.Load();
  if (!r.ok) Fail(r.error + " The file was left as it is.");
  return list;
}

void SaveConnections(ConnectionsList& list) {
  const ConnectionsReadResult r = list.Save();
  if (!r.ok) Fail("could not save the connections: " + r.error);
}

int ConnectionsCommand(const Options& o) {
  ConnectionsList list = LoadConnections(o.file);
  if (o.subcommand == "list") {
    if (o.format == "tsv") {
      for (size_t i = 0; i < list.Count(); ++i) {
        const CConnectionProperties& c = *list.At(i);
        std::printf("%s\t%s\t%d\t%d\t%s\t%d\t%s\t%s\t%s\t%d\n", Visible(c.description, true).c_str(),
                    Visible(c.host, true).c_str(), c.port, c.anonymous ? 1 : 0, Visible(c.userName, true).c_str(),
                    c.password.empty() ? 0 : 1, Visible(c.remotePath, true).c_str(),
                    Visible(c.localPath, true).c_str(), Visible(c.fileTypes, true).c_str(),
                    c.includeSubFolders ? 1 : 0);
      }
    } else {
      if (list.Count() == 0) std::printf("No stored connections in %s\n", Visible(list.FileName()).c_str());
      for (size_t i = 0; i < list.Count(); ++i) {
        const CConnectionProperties& c = *list.At(i);
        std::printf("%s\n  server:  %s:%d\n  login:   %s\n  remote:  %s\n  local:   %s\n  types:   %s%s\n",
                    Visible(c.description).c_str(), Visible(c.host).c_str(), c.port,
                    c.anonymous ? "anonymous"
                                : (Visible(c.userName) + (c.password.empty() ? "" : " (password stored)")).c_str(),
                    Visible(c.remotePath).c_str(), Visible(c.localPath).c_str(),
                    c.fileTypes.empty() ? "*.*" : Visible(c.fileTypes).c_str(),
                    c.includeSubFolders ? ", with sub-folders" : "");
        std::printf("  server time offset: %s\n", GetServerOffset(c).Text().c_str());
        FtpTls mode = FtpTls::None;
        const bool known = TlsModeFromWord(c.tlsMode, mode);
        std::printf("  tls:     %s%s%s\n", known ? TlsModeName(mode) : ("unknown (" + std::to_string(c.tlsMode) + ")").c_str(),
                    c.pinnedFingerprint.empty() ? "" : ", trusted certificate SHA-256 ",
                    Visible(c.pinnedFingerprint).c_str());
      }
    }
    return kExitOk;
  }
  if (o.subcommand == "add") {
    if (o.host.empty()) Fail("connections add needs --host");
    auto c = std::make_unique<CConnectionProperties>();
    c->host = o.host;
    c->description = o.description.empty() ? o.host : o.description;
    c->port = o.port;
    c->remotePath = o.remotePath.empty() ? "/" : o.remotePath;
    c->localPath = o.local;
    c->fileTypes = o.types;
    c->includeSubFolders = o.includeSubFolders ? 1 : 0;
    c->anonymous = o.user.empty() ? 1 : 0;
    c->userName = o.user;
    SetServerOffset(*c, o.serverOffset);
    c->tlsMode = static_cast<int32_t>(o.tls);
    if (!o.trustFingerprint.empty() && o.tls == FtpTls::None) Fail("--trust-fingerprint needs --tls explicit or implicit");
    c->pinnedFingerprint = o.trustFingerprint;
    if (o.passwordStdin) {
      std::string line;
      std::getline(std::cin, line);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      c->password = line;
    }
    if (list.FindByDescription(c->description)) Fail("a connection \"" + c->description + "\" exists already");
    list.Add(std::move(c));
    SaveConnections(list);
    return kExitOk;
  }
  // remove
  if (o.description.empty()) Fail("connections remove needs --description");
  CConnectionProperties* c = list.FindByDescription(o.description);
  if (!c) Fail("no connection \"" + o.description + "\"");
  list.Remove(c);
  SaveConnections(list);
  return kExitOk;
}

// ---- remote side -------------------------------------------------------------

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

struct Target;
void PinOnRecord(const Options& o, const Target& target);

struct Target {
  std::string host, user, password, path;
  int port = 21;
  bool anonymous = true;
  ServerTimeOffset serverOffset;
  FtpTls tls = FtpTls::None;
  bool tlsFromScheme = false;
  std::string pin;
};

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

// ---- output ------------------------------------------------------------------

std::string Relative(const std::string& root, const std::string& path) {
  if (path.size() <= root.size()) return ".";
  std::string rest = path.substr(root.size());
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  return rest.empty() ? "." : rest;
}

const char* ClassName(int folderClass) {
  switch (folderClass) {
    case FolderRoot: return "root";
    case FolderOnBoth: return "both";
    case FolderLocalOnly: return "local";
    default: return "remote";
  }
}

char StateSymbol(int32_t state) {
  return state == CopyRemoteToLocal ? '<' : state == InStep ? '=' : state == CopyLocalToRemote ? '>' : '?';
}
std::string SizeText(const FileSide& s) { return !s ? "-" : s->sizeKnown ? std::to_string(s->size) : "?"; }
std::string TimeText(const FileSide& s) { return s ? FormatUtc(s->lastWrite) : "-"; }
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
      rows.push_back({false, std::string(1, StateSymbol(e->state)), Visible(EntryPath(rel, *e), tsv),
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
  int wPath = 4, wSize = 10;
  for (const Row& row : rows) {
    wPath = std::max(wPath, static_cast<int>(row.path.size()) + 1);
    wSize = std::max({wSize, static_cast<int>(row.lsize.size()), static_cast<int>(row.rsize.size())});
  }
  std::printf("  %-*s  %*s  %-20s  %*s  %-20s\n", wPath, "File", wSize, "Local size", "Local time (UTC)", wSize,
              "Rem. size", "Remote time (UTC)");
  for (const Row& row : rows) {
    if (row.folder) std::printf("[%s] %s/\n", row.state.c_str(), row.path.c_str());
    else
      std::printf("%s %-*s  %*s  %-20s  %*s  %-20s\n", row.state.c_str(), wPath, row.path.c_str(), wSize,
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
}

// Keeps the live progress line of a sync up to date.
class LiveProgress : public ITransferListener {
 public:
  LiveProgress(ProgressLine* line, const CSyncController& controller) : line_(line), controller_(controller) {}
  void TransferProgress() override { Draw(false); }
  void TransferFolderChanged(CFolderRecord*) override {}
  void TransferFinished() override { Draw(true); }

 private:
  void Draw(bool force) {
    if (!line_ || !controller_.Job()) return;
    const CTransferJob::Progress p = controller_.Job()->GetProgress();
    line_->Update({p.filesDone, p.filesTotal, p.bytesDone, p.bytesTotal, 0}, force);
  }
  ProgressLine* line_;
  const CSyncController& controller_;
};

// One line on stderr per folder that could not be read whole (with the reason,
// the server's reply where there was one) and per entry a listing left out.
// Returns the number of incomplete folders.
int ReportIncomplete(const CFolderCollection& collection, const std::string& localRoot) {
  auto guard = collection.Lock();
  int incomplete = 0;
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    const CFolderRecord* r = collection.GetAt(i);
    for (const std::string& s : r->skipped) std::fprintf(stderr, "twinbay-cli: skipped %s\n", Visible(s).c_str());
    if (!r->incomplete) continue;
    ++incomplete;
    std::fprintf(stderr, "twinbay-cli: incomplete folder %s (remote %s): %s\n",
                 Visible(Relative(localRoot, r->localPath)).c_str(), Visible(r->remotePath).c_str(),
                 Visible(r->incompleteReason).c_str());
  }
  if (incomplete > 0)
    std::fprintf(stderr, "twinbay-cli: %d folder%s could not be read; nothing in %s was copied or deleted\n",
                 incomplete, incomplete == 1 ? "" : "s", incomplete == 1 ? "it" : "them");
  return incomplete;
}

// ---- compare and sync --------------------------------------------------------

// The terminal's width in columns (80 when it does not say).
int TerminalWidth() {
  winsize ws{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

std::string AbsoluteLocal(const std::string& path) {
  if (path.empty()) Fail("--local is required");
  std::error_code ec;
  std::string abs = std::filesystem::absolute(path, ec).lexically_normal().string();
  if (ec) Fail("cannot use the local path " + path);
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  return abs;
}

int CompareOrSync(Options o) {
  const bool sync = o.command == "sync";
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
  if (o.types.empty()) o.types = "*.*";
  const std::string local = AbsoluteLocal(o.local);
  std::string problem = CFolderComparer::CheckPaths(local);
  if (!problem.empty()) Fail(problem);

  CFolderCollection collection;
  CSyncController controller(collection);
  CFtpSession& session = controller.Session();
  if (!o.remoteDir.empty()) {
    FolderId id;
    const std::string dir = AbsoluteLocal(o.remoteDir);
    if (!LocalFolderId(dir, id)) Fail("the folder " + dir + " does not exist");
    controller.UseLocalFolder(dir);
  } else {
    if (!target.anonymous && target.password.empty()) target.password = AskPassword(target.user, target.host);
    session.SetServerOffset(target.serverOffset);
    session.SetTls(target.tls, target.pin);
    controller.LogInListersEarly(o.connections);
    if (!session.Connect(target.host, target.user, target.password, target.port)) {
      std::string message = "could not connect to " + target.host + ": " + session.LastError();
      if (!session.RefusedCertificate().empty())
        message += "\nIf that is the server's own certificate, run again with --trust-fingerprint " +
                   session.RefusedCertificate();
      Fail(message);
    }
    if (target.tls != FtpTls::None)
      std::fprintf(stderr, "twinbay-cli: connected to %s with %s TLS%s\n", target.host.c_str(),
                   TlsModeName(target.tls), target.pin.empty() ? "" : " (trusted certificate)");
    if (!o.connection.empty() && !o.trustFingerprint.empty()) PinOnRecord(o, target);
  }

  CompareOptions compare;
  compare.localPath = local;
  compare.remotePath = target.path;
  compare.fileTypes = o.types;
  compare.includeSubFolders = o.includeSubFolders;
  compare.ignoreSeconds = o.ignoreSeconds;
  compare.connections = o.connections;
  // Only a real sync removes what interrupted transfers left; a compare and a
  // dry run name it.
  compare.removeStaleTemps = sync && !o.dryRun;
  CatchInterrupts();
  g_controller.store(&controller);
  struct Unhook {
    ~Unhook() { g_controller.store(nullptr); }
  } unhook;  // before the controller goes
  if (!controller.RunCompare(compare, nullptr, problem)) Fail(problem);
  ReportServerTime(session);
  if (g_signal.load() != 0) {
    std::fprintf(stderr, "twinbay-cli: interrupted during the compare; nothing was copied\n");
    return InterruptedStatus();
  }
  // Temporary files of an earlier run that ended abruptly: removed before a
  // real sync, else named.
  FILE* const staleOut = (o.format == "tsv" && !sync) || o.quiet ? stderr : stdout;
  if (const int swept = controller.StaleTempsRemoved())
    std::fprintf(staleOut, "Removed %d stale temporary file%s left by an interrupted transfer\n", swept,
                 swept == 1 ? "" : "s");
  if (const std::vector<std::string> kept = controller.StaleTempsKept(); !kept.empty()) {
    for (const std::string& k : kept) std::fprintf(staleOut, "would remove %s\n", Visible(k).c_str());
    std::fprintf(staleOut, "%zu stale temporary file%s left by an interrupted transfer would be removed by a sync\n",
                 kept.size(), kept.size() == 1 ? "" : "s");
  }

  if (!sync) {
    PrintResult(collection, local, o.format);
    if (o.format == "text") PrintSummary(collection);
    if (ReportIncomplete(collection, local) > 0) return kExitError;
    SyncTotals t;
    CountTagged(collection, t, FilterAll);
    return t.allUp + t.allDown == 0 ? kExitOk : kExitDifferences;
  }

  TransferOptions options;
  options.localToRemote = o.up || !o.down;
  options.remoteToLocal = o.down || !o.up;
  options.setLocalTimestamps = o.setLocalTimestamps;
  options.ignoreSeconds = o.ignoreSeconds;
  options.filter = FilterAll;
  options.connections = o.connections;
  if (o.dryRun) {
    int n = 0;
    auto guard = collection.Lock();
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      const CFolderRecord* r = collection.GetAt(i);
      for (const auto& e : r->entries)
        if (CTransferJob::Selected(*e, options)) {
          std::printf("would copy %s %s\n", e->state == CopyLocalToRemote ? "up  " : "down",
                      Visible(EntryPath(Relative(local, r->localPath), *e)).c_str());
          ++n;
        }
    }
    std::printf("%d file%s would be copied\n", n, n == 1 ? "" : "s");
    return ReportIncomplete(collection, local) > 0 ? kExitError : kExitOk;
  }
  if (o.remoteDir.empty() && !session.EnsureConnected()) Fail("the connection was lost: " + session.LastError());
  // What is to be copied, to say afterwards what an interruption left undone.
  struct Planned {
    bool upload;
    std::string localPath;
  };
  std::vector<Planned> planned;
  {
    auto guard = collection.Lock();
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      const CFolderRecord* r = collection.GetAt(i);
      for (const auto& e : r->entries)
        if (CTransferJob::Selected(*e, options))
          planned.push_back({e->state == CopyLocalToRemote, JoinLocalPath(r->localPath, e->Name())});
    }
  }
  SyncTotals totals;
  CountTagged(collection, totals, options.filter);
  // On a terminal one live line stands for the files; piped, every file gets
  // its line as before.
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  std::unique_ptr<ProgressLine> line;
  if (terminal && !o.quiet) line = std::make_unique<ProgressLine>(stdout, TerminalWidth());
  LiveProgress progress(line.get(), controller);
  controller.RunSync(options, totals, &progress);
  if (line) line->Clear();
  ReportServerTime(session);
  // What is said of each file: nothing with -q but failures (on stderr); on a
  // terminal the copies only with -v.
  FILE* const report = o.quiet ? nullptr : stdout;
  const bool eachCopy = !o.quiet && (!terminal || o.verbose);
  int copied = 0, failed = 0, warnings = 0;
  std::set<std::string> tried;
  for (const TransferOutcome& out : controller.Job()->Outcomes()) {
    tried.insert(out.localPath);
    const std::string rel = Visible(Relative(local, out.localPath));
    const char* way = out.upload ? "up  " : "down";
    if (out.ok) {
      if (eachCopy) std::printf("copied %s %s\n", way, rel.c_str());
      ++copied;
      if (!out.warning.empty()) {
        if (report) std::fprintf(report, "WARNING %s %s: %s\n", way, rel.c_str(), Visible(out.warning).c_str());
        ++warnings;
      }
    } else {
      std::fprintf(report ? report : stderr, "%s %s %s: %s\n", out.cancelled ? "CANCELLED" : "FAILED", way,
                   rel.c_str(), Visible(out.error).c_str());
      ++failed;
    }
  }
  if (g_signal.load() != 0) {
    int untouched = 0;
    for (const Planned& p : planned)
      if (!tried.count(p.localPath)) {
        if (report)
          std::fprintf(report, "not copied %s %s\n", p.upload ? "up  " : "down",
                       Visible(Relative(local, p.localPath)).c_str());
        ++untouched;
      }
    if (report) std::fprintf(report, "interrupted: %d copied, %d not copied\n", copied, failed + untouched);
    std::fflush(stdout);
    return InterruptedStatus();
  }
  if (report)
    std::fprintf(report, "%d copied, %d failed, %d warning%s\n", copied, failed, warnings, warnings == 1 ? "" : "s");
  if (ReportIncomplete(collection, local) > 0) return kExitError;
  return failed == 0 ? kExitOk : kExitDifferences;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  if (o.command == "connections") return ConnectionsCommand(o);
  return CompareOrSync(o);
}
