// FTP over TLS: the modes, certificate fingerprints, and the certificate check
// that runs inside libcurl's OpenSSL handshake.
#pragma once

#include <cstdint>
#include <string>

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

// The check of one connection's server certificate. Without a pin, the chain
// must lead to a trusted root (libcurl checks the host name afterwards); with a
// pin, the certificate is accepted exactly when its fingerprint equals the pin,
// and the chain and name are not looked at. Either way the fingerprint of the
// certificate presented and, on a failure, the reason are kept. Runs inside the
// TLS handshake, before any command of the login is sent. A connection uses
// its check from one thread at a time.
class CertificateCheck {
 public:
  void SetPin(const std::string& fingerprint) { pin_ = NormalizeFingerprint(fingerprint); }
  const std::string& Pin() const { return pin_; }

  // Forgets what an earlier handshake found.
  void Reset();
  // The fingerprint of the last certificate presented (empty when none was).
  std::string Fingerprint() const;
  // Why the last certificate was refused (empty when it was not).
  std::string RefusedReason() const;

  // Installs the check on a handshake's OpenSSL context (an SSL_CTX*, as
  // libcurl hands it to CURLOPT_SSL_CTX_FUNCTION). False when it could not be.
  bool Install(void* sslContext);

 private:
  friend struct CertificateCheckAccess;
  std::string pin_;
  std::string fingerprint_, reason_;
};

}  // namespace twinbay
