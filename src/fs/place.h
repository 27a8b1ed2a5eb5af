// Naming a place for the controller to open: the protocol, the login, the
// choices a connection record keeps (how FTP is secured, the server's time
// offset, a trusted certificate or host key), and why an open failed. Plain
// data and the texts the front ends read and write; the protocols themselves
// are in src/net.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace twinbay {

// How a connection is secured. The numbers are what a connection record keeps.
enum class FtpTls : int32_t {
  None = 0,      // plain FTP
  Explicit = 1,  // AUTH TLS on the normal port, then PBSZ 0 and PROT P
  Implicit = 2,  // TLS from the first byte (port 990 by custom)
};

// "none", "explicit", "implicit".
const char* TlsModeName(FtpTls mode);
// Reads a mode name (as above, any case); false for anything else.
bool ParseTlsMode(const std::string& text, FtpTls& mode);
// A stored mode word as a mode; false for a value that names no mode (the
// caller then refuses to connect rather than fall back to plain FTP).
bool TlsModeFromWord(int32_t word, FtpTls& mode);

// A certificate's SHA-256 fingerprint (the hash of the whole DER certificate,
// as `openssl x509 -noout -fingerprint -sha256` shows it) in the form
// "AB:CD:...": 32 upper-case hex pairs joined by colons. Accepts the same with
// or without colons, in any case, with an optional "SHA256:" or
// "sha256 Fingerprint=" in front; returns empty for anything else.
std::string NormalizeFingerprint(const std::string& text);

// The user's choice for one connection.
struct ServerTimeOffset {
  bool automatic = true;
  int minutes = 0;  // east of UTC; only when not automatic

  static constexpr int kMaxMinutes = 23 * 60 + 59;

  // "auto" (or "automatic", any case), or "+HH:MM" / "-HH:MM" (also "+H:MM",
  // "+HH", "+HHMM", and "0" or "00:00" for UTC). False with a reason on
  // anything else.
  static bool Parse(std::string_view text, ServerTimeOffset& out, std::string* why = nullptr);
  // "automatic" or "+05:30" / "-08:00" / "+00:00".
  std::string Text() const;

  // The connection record keeps the choice in its reserved word 16, which
  // every older file holds as 0: 0 is automatic; a fixed offset is
  // 0x00010000 | (minutes as a 16-bit two's complement number). Any other
  // value is read as automatic (and kept as it was).
  static ServerTimeOffset FromRecordWord(int32_t word);
  int32_t RecordWord() const;

  bool operator==(const ServerTimeOffset&) const = default;
};

// ---- naming a place, for the controller to open -------------------------------

enum class FsProtocol { Local, Ftp, FtpTlsExplicit, FtpTlsImplicit, Sftp };

// The port a protocol uses unless told otherwise.
inline int DefaultPort(FsProtocol p) {
  switch (p) {
    case FsProtocol::FtpTlsImplicit: return 990;
    case FsProtocol::Sftp: return 22;
    default: return 21;
  }
}

// A place to open: a local folder, or a server with its login.
struct FileSystemTarget {
  FsProtocol protocol = FsProtocol::Ftp;
  std::string localRoot;  // FsProtocol::Local: the folder standing in for the server
  std::string host;
  int port = 21;
  std::string user;       // empty: anonymous (FTP)
  std::string password;   // empty: none (asked for by the front end beforehand)
  std::string keyFile;    // SFTP: a private key in OpenSSH format; empty: none
  // The certificate (FTP over TLS, "AB:CD:...") or host key (SFTP,
  // "SHA256:...") the user chose to trust; empty: the system's roots or
  // known_hosts decide.
  std::string pin;
  // SFTP: asked for a key file's passphrase (nullopt: the user declined); the
  // answer is used once and never kept.
  std::function<std::optional<std::string>(const std::string& keyFile)> askPassphrase;
};

// Why a place could not be opened.
enum class OpenFailureKind {
  None,
  Unreachable,       // no server there, or it spoke no FTP/SSH
  SignIn,            // the login was refused
  UnknownHostKey,    // SFTP: the host key is not known; fingerprint holds it
  ChangedHostKey,    // SFTP: the host key differs from the one known
  UntrustedCertificate,  // FTP over TLS: the certificate was refused; fingerprint holds it
  Cancelled,
  Other,
};

struct OpenFailure {
  OpenFailureKind kind = OpenFailureKind::None;
  std::string fingerprint;  // the key or certificate to ask the user about
  std::string message;      // for the user
};

}  // namespace twinbay
