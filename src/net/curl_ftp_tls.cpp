// The FTP client over libcurl: TLS on its connections and TLS failures in words.

#include "net/curl_ftp_impl.h"

namespace twinbay {

// TLS on the control and the data connections, never plain FTP instead:
// with explicit TLS a server that refuses AUTH TLS ends the connect before
// the user name is sent. Data connections resume the control connection's
// TLS session (libcurl's session cache, on by default), which vsftpd and
// others demand. The certificate check runs in the handshake, so a refused
// certificate also ends the connect before the login.
void CurlFtpConnection::SetTlsOptions() {
  if (login_.tls == FtpTls::Explicit) {
    curl_easy_setopt(curl_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl_, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
  }
  curl_easy_setopt(curl_, CURLOPT_SSL_SESSIONID_CACHE, 1L);
  // TLS 1.2 exactly. Under TLS 1.3 the server sends its session tickets
  // after the handshake; an upload's data connection never reads them, is
  // closed on them (vsftpd then fails the upload: "426 Failure reading
  // network stream") and leaves only a used ticket in the cache, so the next
  // data connection cannot resume the session ("522 session reuse
  // required"). TLS 1.2 resumes by session id, as often as needed.
  curl_easy_setopt(curl_, CURLOPT_SSLVERSION,
                   static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
  // A pinned certificate is checked by its fingerprint alone (it is
  // typically self-signed or for another name); otherwise the system's
  // trusted roots and the host name decide.
  const bool pinned = !check_.Pin().empty();
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, pinned ? 0L : 1L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, pinned ? 0L : 2L);
  curl_easy_setopt(curl_, CURLOPT_SSL_CTX_FUNCTION, &CurlFtpConnection::InstallCheck);
  curl_easy_setopt(curl_, CURLOPT_SSL_CTX_DATA, &check_);
}

CURLcode CurlFtpConnection::InstallCheck(CURL*, void* sslContext, void* check) {
  return static_cast<CertificateCheck*>(check)->Install(sslContext) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

// A TLS failure in words: a refused certificate (with its fingerprint, so
// that the user can decide to trust it), or a server without TLS. Empty for
// any other failure.
std::string CurlFtpConnection::TlsFailure(CURLcode rc) {
  if (login_.tls == FtpTls::None) return {};
  const std::string fingerprint = check_.Fingerprint();
  std::string reason = check_.RefusedReason();
  if (reason.empty() && rc == CURLE_PEER_FAILED_VERIFICATION) reason = errbuf_[0] ? errbuf_ : curl_easy_strerror(rc);
  if (!reason.empty()) {
    refusedCertificate_ = fingerprint;
    return "The server's certificate was refused: " + reason + ". Its SHA-256 fingerprint is " +
           (fingerprint.empty() ? std::string("unknown") : fingerprint) +
           "; trust it only after checking that it is the server's own. The login was not sent.";
  }
  if (rc == CURLE_USE_SSL_FAILED)
    return "The server does not offer TLS (it refused AUTH TLS); the login was not sent.";
  return {};
}

}  // namespace twinbay
