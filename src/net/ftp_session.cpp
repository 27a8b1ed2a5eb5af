#include "net/ftp_session.h"

#include <system_error>

#include "fs/paths.h"
#include "net/curl_ftp.h"

namespace twinbay {

CFtpSession::CFtpSession(FtpConnectionFactory factory) : factory_(std::move(factory)) {
  if (!factory_) factory_ = [](const FtpLogin& login) { return MakeCurlFtpConnection(login); };
}

CFtpSession::~CFtpSession() { CloseConnection(); }

bool CFtpSession::Connect(const std::string& host, const std::string& userName, const std::string& password,
                          int port) {
  host_ = host;
  userName_ = userName;
  password_ = password;
  port_ = port;
  CloseConnection();
  clock_->Reset(offsetSetting_);
  answersOutOfTurn_ = std::make_shared<std::atomic<bool>>(false);
  return Open();
}

void CFtpSession::SetTls(FtpTls mode, const std::string& pinnedFingerprint) {
  tls_ = mode;
  pin_ = pinnedFingerprint;
}

void CFtpSession::CopyLogin(const CFtpSession& other) {
  factory_ = other.factory_;
  host_ = other.host_;
  userName_ = other.userName_;
  password_ = other.password_;
  port_ = other.port_;
  // One server, one clock: every connection shifts listed times alike.
  offsetSetting_ = other.offsetSetting_;
  clock_ = other.clock_;
  // The same protection as the first connection, with the same trusted certificate.
  tls_ = other.tls_;
  pin_ = other.pin_;
  cancelFlag_ = other.cancelFlag_;
  knownFeatures_ = other.connection_ ? KnownFtpFeatures(other.connection_->Features()) : other.knownFeatures_;
  answersOutOfTurn_ = other.answersOutOfTurn_;
}

bool CFtpSession::Open() {
  error_.clear();
  refusedCertificate_.clear();
  FtpTls known;
  if (!TlsModeFromWord(static_cast<int32_t>(tls_), known)) {
    // A mode from a newer program: not connected at all rather than in plain.
    error_ = "The connection asks for a TLS mode (" + std::to_string(static_cast<int32_t>(tls_)) +
             ") that this version does not know.";
    return false;
  }
  if (port_ < 1 || port_ > 65535) {
    error_ = "The port " + std::to_string(port_) + " is not between 1 and 65535.";
    return false;
  }
  if (host_.empty()) {
    error_ = "No server was given.";
    return false;
  }
  FtpLogin login{host_, userName_, password_, port_, clock_, tls_, tls_ == FtpTls::None ? std::string() : pin_,
                 knownFeatures_, answersOutOfTurn_};
  std::unique_ptr<IFtpConnection> c = factory_(login);
  if (c) c->SetCancelFlag(cancelFlag_);
  const bool opened = c && !cancelFlag_->load() && c->Open();
  if (!opened) {
    error_ = c && !c->LastError().empty() ? c->LastError()
             : cancelFlag_->load()          ? "Stopped before the server answered."
                                            : "The connection could not be made.";
    if (c) refusedCertificate_ = c->RefusedCertificate();
    return false;
  }
  connection_ = std::move(c);
  return true;
}

bool CFtpSession::EnsureConnected() {
  if (connection_) {
    std::string dir;
    if (connection_->GetCurrentDirectory(dir)) return true;
    CloseConnection();
  }
  if (host_.empty()) {
    error_ = "Not connected.";
    return false;
  }
  return Open();
}

void CFtpSession::ArmCancel() { cancel_.store(false); }

void CFtpSession::CloseConnection() { connection_.reset(); }

std::string CFtpSession::LoginFolder() const { return connection_ ? connection_->LoginFolder() : "/"; }

}  // namespace twinbay
