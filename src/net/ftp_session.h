// The one FTP session of the program: connects, remembers the login so that a
// dropped connection can be repaired silently, and hands out the connection.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "net/ftp_client.h"
#include "net/server_time.h"

namespace twinbay {


class CFtpSession {
 public:
  // The factory makes a connection for a login (the libcurl one by default).
  explicit CFtpSession(FtpConnectionFactory factory = {});
  ~CFtpSession();
  CFtpSession(const CFtpSession&) = delete;
  CFtpSession& operator=(const CFtpSession&) = delete;

  // Remembers the login and opens a new connection (closing any old one
  // first). An empty user name and password log in anonymously. A new
  // session: the server's time offset is found again (or taken from the
  // setting made with SetServerOffset before).
  bool Connect(const std::string& host, const std::string& userName, const std::string& password, int port);
  // Takes `other`'s server, login and connection factory, without
  // connecting; Reconnect then logs in with them (taking the server's
  // features from `other`'s connection instead of asking again).
  void CopyLogin(const CFtpSession& other);
  bool Reconnect() {
    CloseConnection();
    return Open();
  }
  // Probes the connection (PWD) and reconnects once with the last login when
  // there is none or the probe fails.
  bool EnsureConnected();
  // TLS for this and every later connect (also the silent reconnects): the
  // mode and the pinned certificate fingerprint (empty: the trusted roots and
  // the host name decide).
  void SetTls(FtpTls mode, const std::string& pinnedFingerprint);
  FtpTls Tls() const { return tls_; }
  // Whether the current connection is encrypted.
  bool Encrypted() const { return connection_ && connection_->Encrypted(); }
  // The fingerprint of a certificate the last connect refused (empty if none).
  const std::string& RefusedCertificate() const { return refusedCertificate_; }
  // Ends whatever this session and every session copying its login (the
  // listing pool's, the early logins) sends or waits for, within a poll: the
  // command fails as a lost connection. Lock-free (a signal handler may call
  // it). Holds until ArmCancel.
  void Cancel() { cancel_.store(true); }
  bool Cancelled() const { return cancelFlag_->load(); }
  // From now on (and for the sessions copying this login) commands end while
  // `flag` is set rather than on Cancel; null goes back to Cancel.
  void SetCancelFlag(const std::atomic<bool>* flag) { cancelFlag_ = flag ? flag : &cancel_; }
  // Clears Cancel.
  void ArmCancel();
  void CloseConnection();
  IFtpConnection* GetConnection() const { return connection_.get(); }
  const std::string& GetHost() const { return host_; }
  // Why the last Connect or EnsureConnected failed.
  const std::string& LastError() const { return error_; }
  // The login folder of the current connection ("/" when unknown).
  std::string LoginFolder() const;

  // The server time offset to use from the next Connect on: automatic (the
  // default) or fixed.
  void SetServerOffset(const ServerTimeOffset& offset) { offsetSetting_ = offset; }
  // What this session knows of the server's times; kept across silent
  // reconnects.
  ServerClock& Clock() { return *clock_; }
  const ServerClock& Clock() const { return *clock_; }

 private:
  // Opens the connection.
  bool Open();

  FtpConnectionFactory factory_;
  std::string host_, userName_, password_;
  int port_ = 21;
  FtpTls tls_ = FtpTls::None;
  std::string pin_, refusedCertificate_;
  std::unique_ptr<IFtpConnection> connection_;
  std::string error_;
  ServerTimeOffset offsetSetting_;
  std::shared_ptr<ServerClock> clock_ = std::make_shared<ServerClock>();
  SharedFtpFeatures knownFeatures_;  // from the session whose login this is
  // Shared with the sessions copying this login (FtpLogin::answersOutOfTurn).
  std::shared_ptr<std::atomic<bool>> answersOutOfTurn_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> cancel_{false};
  const std::atomic<bool>* cancelFlag_ = &cancel_;  // the first session's, for copies of its login
};

}  // namespace twinbay
