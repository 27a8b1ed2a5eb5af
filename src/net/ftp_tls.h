// FTP over TLS: the modes, certificate fingerprints, and the certificate check
// that runs inside libcurl's OpenSSL handshake.
#pragma once

#include <cstdint>
#include <string>

#include "fs/place.h"

namespace twinbay {

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
