#include "net/ftp_tls.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cctype>

namespace twinbay {

void CertificateCheck::Reset() {
  fingerprint_.clear();
  reason_.clear();
}

std::string CertificateCheck::Fingerprint() const { return fingerprint_; }
std::string CertificateCheck::RefusedReason() const { return reason_; }

namespace {

int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string FingerprintOf(X509* certificate) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), md, &len) != 1) return {};
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    if (i) out += ':';
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

}  // namespace

struct CertificateCheckAccess {
  // OpenSSL's verify callback: called for each certificate of the chain, the
  // root-most first. The decision is taken on the server's own certificate.
  static int Verify(int preverifyOk, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<CertificateCheck*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()))
                     : nullptr;
    if (!self) return 0;
    const std::string fingerprint = FingerprintOf(X509_STORE_CTX_get0_cert(store));
    self->fingerprint_ = fingerprint;
    if (!self->pin_.empty()) {
      if (!fingerprint.empty() && fingerprint == self->pin_) {
        // The pin stands in for the chain: whatever the chain lacks is not
        // held against the certificate.
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
      }
      self->reason_ = "it is not the certificate trusted for this connection (it has changed)";
      return 0;
    }
    if (!preverifyOk) {
      if (self->reason_.empty()) self->reason_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
      return 0;
    }
    return 1;
  }
};

bool CertificateCheck::Install(void* sslContext) {
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  if (!ctx || ContextIndex() < 0 || SSL_CTX_set_ex_data(ctx, ContextIndex(), this) != 1) return false;
  // Always ask for and check the server's certificate, whether libcurl was
  // told to verify it (trusted roots) or not (a pin checks it instead).
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &CertificateCheckAccess::Verify);
  return true;
}

}  // namespace twinbay
