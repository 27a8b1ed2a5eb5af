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

#include "engine/comparer.h"
#include "net/ftp_client.h"
#include "net/server_time.h"

namespace twinbay {

class CEarlyLogins;

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
  // setting made with SetServerOffset before). With early logins asked for,
  // they start as soon as the server has accepted this login.
  bool Connect(const std::string& host, const std::string& userName, const std::string& password, int port);
  // Takes `other`'s server, login and connection factory, without
  // connecting; Reconnect then logs in with them (taking the server's
  // features from `other`'s connection instead of asking again).
  void CopyLogin(const CFtpSession& other);
  // From the next Connect on: `count` more connections log in alike, each on
  // a thread of its own, once the server has accepted this session's login
  // (so the password is known good and the session has its place on a server
  // that takes few logins). 0, the default: none.
  void LogInEarly(int count) { earlyCount_ = count; }
  // Those connections, for the listing pool; the session keeps none of them.
  // Null when none were asked for (or Connect failed).
  std::shared_ptr<CEarlyLogins> TakeEarlyLogins() { return std::move(early_); }
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
  // Also logs out the early logins not taken.
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
  // Opens the connection; with `early` > 0, that many others log in alike
  // once the server has accepted this login.
  bool Open(int early = 0);

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
  int earlyCount_ = 0;
  std::shared_ptr<CEarlyLogins> early_;
  std::atomic<bool> cancel_{false};
  const std::atomic<bool>* cancelFlag_ = &cancel_;  // the first session's, for copies of its login
};

// Connections that log in beside a session's own, each on a thread of its
// own, for the listing pool to take. Those not taken are logged out when the
// last owner lets go (after their logins have ended).
class CEarlyLogins {
 public:
  CEarlyLogins() = default;
  ~CEarlyLogins();
  CEarlyLogins(const CEarlyLogins&) = delete;
  CEarlyLogins& operator=(const CEarlyLogins&) = delete;

  // Starts `count` logins like `login`'s (a session with a copied login).
  void Start(std::shared_ptr<const CFtpSession> login, int count);
  // Takes the next of them that got in, waiting for their logins in turn:
  // true with the session, or with null when the server refused the rest (or
  // an earlier one: it has no room for more); false when none is left and
  // none was refused.
  bool Take(std::unique_ptr<CFtpSession>& session);

 private:
  std::mutex mutex_;
  std::deque<std::future<std::unique_ptr<CFtpSession>>> logins_;
  bool refused_ = false;
};

// The remote side of a compare, listed through the session's connection.
class FtpRemoteLister : public IRemoteLister {
 public:
  explicit FtpRemoteLister(CFtpSession& session) : session_(session) {}
  bool ListFolder(const std::string& path, ScanList& out) override;
  std::string ListingError() const override { return error_; }
  std::vector<std::string> TakeSkipped() override;
  bool RemoveFile(const std::string& folder, const std::string& name) override;
  bool Recover() override { return session_.EnsureConnected(); }

 private:
  CFtpSession& session_;
  std::string error_;
};

// Makes listers that each log in on a connection of their own as `session`
// did (for CParallelLister), taking the early logins first when given; null
// when the server refuses one more login. The early logins not taken are
// logged out when the factory goes.
std::function<std::unique_ptr<IRemoteLister>()> FtpListerFactory(const CFtpSession& session,
                                                                  std::shared_ptr<CEarlyLogins> early = {});

}  // namespace twinbay
