// twinbay-cli: the server side of a run: a --remote address or a stored
// connection, the password, the connect with what is said of certificates and
// host keys, and what is said of the server's time.

#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>

#include "cli/cli.h"
#include "core/keyring.h"
#include "fs/patterns.h"

namespace twinbay::cli {
namespace {

// Reads a line from the terminal (not echoed when `secret`); nullopt when
// there is no terminal to ask.
std::optional<std::string> AskTerminal(const std::string& prompt, bool secret) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return std::nullopt;
  std::fprintf(tty, "%s", prompt.c_str());
  std::fflush(tty);
  termios old{};
  const int fd = fileno(tty);
  const bool echoOff = secret && tcgetattr(fd, &old) == 0;
  if (echoOff) {
    termios quiet = old;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  char buf[1024] = {};
  const bool got = std::fgets(buf, sizeof buf, tty) != nullptr;
  if (echoOff) tcsetattr(fd, TCSAFLUSH, &old);
  if (secret) std::fprintf(tty, "\n");
  std::fclose(tty);
  std::optional<std::string> answer;
  if (got) answer.emplace(buf);
  // What was typed may be a secret: no copy stays behind in this buffer.
  std::fill(std::begin(buf), std::end(buf), '\0');
  asm volatile("" : : "r"(buf) : "memory");
  while (answer && !answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) answer->pop_back();
  return answer;
}

// Keeps what the user trusted (a certificate, or an SFTP host key) on the
// stored connection it was used with (only there), so that later runs need
// no --trust-fingerprint or --trust-host-key.
void PinOnRecord(const Options& o, const Target& target) {
  ConnectionsList list = LoadConnections(o.file);
  CConnectionProperties* c = list.FindByDescription(o.connection);
  if (!c) return;
  const bool sftp = target.place.protocol == FsProtocol::Sftp;
  if (!TrustOnRecord(*c, target.place.pin)) return;
  if (!sftp && o.tlsGiven) SetRecordProtocol(*c, target.place.protocol);
  SaveConnections(list);
  std::fprintf(stderr, "twinbay-cli: the %s is now trusted for \"%s\"\n", sftp ? "host key" : "certificate",
               Visible(o.connection).c_str());
}

// The message for a connect that failed, with what the user may do about it.
std::vector<std::string> ConnectFailure(const Target& target, const OpenFailure& f) {
  const std::string host = target.place.host;
  switch (f.kind) {
    case OpenFailureKind::UnknownHostKey:
      return {"could not connect to " + host + ": the server's host key is not known", "  " + f.fingerprint,
              "If that is the server's own key, run again with --trust-host-key " + f.fingerprint};
    case OpenFailureKind::ChangedHostKey:
      return {"WARNING: the host key of " + host + " has CHANGED: it is now", "  " + f.fingerprint,
              "Someone may be listening in on the connection, or the server's key was replaced. Nothing was sent.",
              "Ask the server's administrator; only if the new key is genuine, remove the old one from",
              "~/.ssh/known_hosts or from the stored connection."};
    case OpenFailureKind::UntrustedCertificate:
      return {"could not connect to " + host + ": " + f.message,
              "If that is the server's own certificate, run again with --trust-fingerprint " + f.fingerprint};
    default: return {"could not connect to " + host + ": " + f.message};
  }
}

}  // namespace

// Says on stderr what the test file that finds the server's time offset did
// (the one thing a compare may write there), and once that the offset could
// not be found.
void ReportServerTime(CSyncController& controller) {
  const std::string probe = controller.TakeClockProbeReport();
  if (!probe.empty()) std::fprintf(stderr, "twinbay-cli: %s\n", Visible(probe).c_str());
  const std::string notice = controller.TakeClockNotice();
  if (!notice.empty())
    std::fprintf(stderr, "twinbay-cli: warning: %s Use --server-offset +HH:MM or -HH:MM.\n", Visible(notice).c_str());
}

Target ParseUrl(const std::string& url) {
  Target t;
  std::string port;
  const AddressFault fault = ReadAddress(url, t, &port);
  if (fault == AddressFault::Port) ParsePort(port);  // fails, saying why
  if (fault == AddressFault::Scheme)
    Fail("--remote takes an ftp://, ftps://, ftpes:// or sftp:// address, not \"" + url + "\"");
  if (fault == AddressFault::PasswordInAddress)
    Fail("put no password in the address: use TWINBAY_PASSWORD or the prompt");
  if (fault == AddressFault::Brackets) Fail("bad address " + url);
  if (fault != AddressFault::None) Fail("no server in " + url);
  return t;
}

std::string AskPassword(const std::string& user, const std::string& host) {
  if (const char* env = std::getenv("TWINBAY_PASSWORD")) return env;
  const std::optional<std::string> p =
      AskTerminal("Password for " + Visible(user) + "@" + Visible(host) + ": ", true);
  if (!p) Fail("a password for " + user + "@" + host + " is needed: set TWINBAY_PASSWORD");
  return *p;
}

namespace {

// The server and login of a stored connection.
Target TargetOfRecord(Options& o) {
  ConnectionsList list = LoadConnections(o.file);
  CConnectionProperties* c = list.FindByDescription(o.connection);
  if (!c) Fail("no stored connection \"" + o.connection + "\"");
  // Its exclusions and backup folder: without them a sync would copy or
  // delete what the user left out, so settings that cannot be read stop it.
  if (o.command != "state") {
    if (!list.SettingsProblem().empty()) Fail(list.SettingsProblem());
    ExcludeList check;
    std::string why;
    if (!check.AddLines(c->exclude, why))
      Fail("the stored connection \"" + o.connection + "\" leaves out paths by a pattern that cannot be used: " + why);
    o.exclude = c->exclude + "\n" + o.exclude;  // the options' patterns after the stored ones
    if (o.backupDir.empty()) o.backupDir = c->backupDir;  // --backup-dir wins
  }
  Target target;
  std::string problem;
  // A password in the desktop keyring that cannot be read fails the run.
  if (!FetchRecordPassword(*c, problem)) Fail(problem);
  if (!RecordTarget(*c, {}, target, problem)) Fail("the stored connection \"" + o.connection + "\": " + problem);
  if (!o.localGiven) o.local = c->localPath;
  if (!o.typesGiven) o.types = c->fileTypes;
  if (!o.subFoldersGiven) o.includeSubFolders = c->includeSubFolders != 0;
  return target;
}

// --tls and --trust-fingerprint (FTP), --identity and --trust-host-key (SFTP)
// on top of the address or the stored connection.
void ApplySecurityOptions(const Options& o, Target& target) {
  FileSystemTarget& p = target.place;
  const bool sftp = p.protocol == FsProtocol::Sftp;
  if (o.tlsGiven) {
    if (sftp) Fail("--tls is for FTP; SFTP is always encrypted");
    const FsProtocol wanted = o.tls == FtpTls::Explicit   ? FsProtocol::FtpTlsExplicit
                              : o.tls == FtpTls::Implicit ? FsProtocol::FtpTlsImplicit
                                                          : FsProtocol::Ftp;
    if (target.tlsFromScheme && wanted != p.protocol)
      Fail(std::string("the address asks for ") +
           (p.protocol == FsProtocol::FtpTlsImplicit ? "implicit" : "explicit") + " TLS but --tls says " +
           TlsModeName(o.tls));
    p.protocol = wanted;
  }
  if (!o.trustFingerprint.empty()) {
    if (sftp) Fail("--trust-fingerprint is for FTP over TLS; an SFTP host key is trusted with --trust-host-key");
    if (p.protocol == FsProtocol::Ftp && o.remoteDir.empty())
      Fail("--trust-fingerprint needs TLS: --tls explicit or implicit, or an ftps:// or ftpes:// address");
    p.pin = o.trustFingerprint;
  }
  if (!o.identity.empty() || !o.trustHostKey.empty()) {
    if (!sftp) Fail(std::string(o.identity.empty() ? "--trust-host-key" : "--identity") +
                    " is for SFTP: an sftp:// address or a stored SFTP connection");
    if (!o.identity.empty()) p.keyFile = o.identity;
    if (!o.trustHostKey.empty()) p.pin = o.trustHostKey;
  }
}

}  // namespace

// The server (or local stand-in) a compare or sync uses, from --remote or a
// stored connection and the options that override them; a stored connection
// also gives the local folder, types and sub-folder choice not given.
Target ResolveTarget(Options& o) {
  const int sources = !o.remoteUrl.empty() + !o.remoteDir.empty() + !o.connection.empty();
  if (sources != 1) Fail("give one of --remote, --connection or --remote-dir");
  Target target;
  if (!o.connection.empty()) target = TargetOfRecord(o);
  else if (!o.remoteUrl.empty()) target = ParseUrl(o.remoteUrl);
  if (o.serverOffsetGiven) target.serverOffset = o.serverOffset;
  if (!o.remoteDir.empty()) {
    if (!o.identity.empty() || !o.trustHostKey.empty()) Fail("--identity and --trust-host-key are for SFTP");
    return target;
  }
  ApplySecurityOptions(o, target);
  return target;
}

// Opens the remote side: a local folder standing in for the server, or the
// connection to the server (asking for a password where none is known).
void OpenRemote(const Options& o, Target& target, CSyncController& controller) {
  FileSystemTarget& p = target.place;
  OpenFailure failure;
  if (!o.remoteDir.empty()) {
    p = FileSystemTarget();
    p.protocol = FsProtocol::Local;
    p.localRoot = o.remoteDir;
    if (!controller.Connect(p, failure)) Fail(failure.message);
    return;
  }
  const bool sftp = p.protocol == FsProtocol::Sftp;
  if (o.passwordStdin) {
    std::getline(std::cin, p.password);
    if (!p.password.empty() && p.password.back() == '\r') p.password.pop_back();
  } else if (SecretsBeforeConnect(target).password) {
    p.password = AskPassword(p.user, p.host);
  } else if (p.password.empty() && sftp) {
    // The agent and the key file come first; a password only when given.
    if (const char* env = std::getenv("TWINBAY_PASSWORD")) p.password = env;
  }
  // Asked when the key is first read: the pool's later logins use the
  // decrypted key that read kept.
  p.askPassphrase = [](const std::string& keyFile) {
    return AskTerminal("Passphrase for " + Visible(keyFile) + ": ", true);
  };
  bool ok = controller.Connect(p, failure, target.serverOffset);
  if (!ok && QuestionAfter(p, failure) == ConnectQuestion::Password && !o.passwordStdin) {
    // Neither the agent nor a key got in: a password, if the user can give one.
    if (const std::optional<std::string> pw =
            AskTerminal("Password for " + Visible(p.user) + "@" + Visible(p.host) + ": ", true)) {
      p.password = *pw;
      ok = controller.Connect(p, failure, target.serverOffset);
    }
  }
  if (!ok) Fail(ConnectFailure(target, failure));
  if (p.protocol == FsProtocol::FtpTlsExplicit || p.protocol == FsProtocol::FtpTlsImplicit)
    std::fprintf(stderr, "twinbay-cli: connected to %s with %s TLS%s\n", Visible(p.host).c_str(),
                 p.protocol == FsProtocol::FtpTlsImplicit ? "implicit" : "explicit",
                 p.pin.empty() ? "" : " (trusted certificate)");
  if (!o.connection.empty() && (!o.trustFingerprint.empty() || !o.trustHostKey.empty())) PinOnRecord(o, target);
}

}  // namespace twinbay::cli
