#include "net/ftp_session.h"

#include <system_error>

#include "engine/paths.h"
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
  return Open(earlyCount_);
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
}

bool CFtpSession::Open(int early) {
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
                 {}, knownFeatures_};
  // The early logins take the features this connection reads; they start
  // once the server has accepted this login.
  std::promise<std::optional<FtpFeatures>> features;
  std::shared_ptr<CEarlyLogins> logins;
  if (early > 0) {
    logins = std::make_shared<CEarlyLogins>();
    auto like = std::make_shared<CFtpSession>();
    like->CopyLogin(*this);
    like->knownFeatures_ = features.get_future().share();
    login.loggedIn = [weak = std::weak_ptr<CEarlyLogins>(logins), like, early] {
      if (const std::shared_ptr<CEarlyLogins> l = weak.lock()) l->Start(like, early);
    };
  }
  std::unique_ptr<IFtpConnection> c = factory_(login);
  if (c) c->SetCancelFlag(cancelFlag_);
  const bool opened = c && !cancelFlag_->load() && c->Open();
  if (logins) features.set_value(opened ? std::optional<FtpFeatures>(c->Features()) : std::nullopt);
  if (!opened) {
    error_ = c && !c->LastError().empty() ? c->LastError()
             : cancelFlag_->load()          ? "Stopped before the server answered."
                                            : "The connection could not be made.";
    if (c) refusedCertificate_ = c->RefusedCertificate();
    return false;  // the early logins end with this connection's failure
  }
  connection_ = std::move(c);
  early_ = std::move(logins);
  return true;
}

CEarlyLogins::~CEarlyLogins() {
  // Each future waits for its login; what it holds is then logged out.
  std::lock_guard<std::mutex> lock(mutex_);
  logins_.clear();
}

void CEarlyLogins::Start(std::shared_ptr<const CFtpSession> login, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count; ++i) {
    try {
      logins_.push_back(std::async(std::launch::async, [login] {
        auto s = std::make_unique<CFtpSession>();
        s->CopyLogin(*login);
        if (!s->Reconnect()) s.reset();
        return s;
      }));
    } catch (const std::system_error&) {
      break;  // no more threads: the pool logs in the rest when it needs them
    }
  }
}

bool CEarlyLogins::Take(std::unique_ptr<CFtpSession>& session) {
  for (;;) {
    std::future<std::unique_ptr<CFtpSession>> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Once the server has refused one, it has no room for more.
      if (logins_.empty()) return refused_;
      next = std::move(logins_.front());
      logins_.pop_front();
    }
    session = next.get();
    if (session) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = true;
  }
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

void CFtpSession::CloseConnection() {
  connection_.reset();
  early_.reset();
}

std::string CFtpSession::LoginFolder() const { return connection_ ? connection_->LoginFolder() : "/"; }

bool FtpRemoteLister::ListFolder(const std::string& path, ScanList& out) {
  out.clear();
  error_.clear();
  IFtpConnection* c = session_.GetConnection();
  if (!c) {
    error_ = "not connected";
    return false;
  }
  std::string p = path;
  CollapseSlashes(p);
  if (p.empty() || p[0] != '/') p = ResolveRemotePath(p, c->LoginFolder());
  if (c->ListDirectory(p, out)) return true;
  error_ = c->LastError();
  if (!c->ListedInPart()) out.clear();
  return false;
}

namespace {
// A lister that owns its session.
class OwnSessionLister : public IRemoteLister {
 public:
  explicit OwnSessionLister(std::unique_ptr<CFtpSession> session)
      : session_(std::move(session)), lister_(*session_) {}
  bool ListFolder(const std::string& path, ScanList& out) override {
    // Until the walk's own connection has found the server's time offset, a
    // helper lists nothing: two connections must not each go looking for it.
    waiting_ = !session_->Clock().Settled();
    if (waiting_) {
      out.clear();
      return false;
    }
    return lister_.ListFolder(path, out);
  }
  std::string ListingError() const override {
    return waiting_ ? "the server's time offset is not known yet" : lister_.ListingError();
  }
  std::vector<std::string> TakeSkipped() override { return waiting_ ? std::vector<std::string>() : lister_.TakeSkipped(); }
  bool Recover() override { return waiting_ || lister_.Recover(); }

 private:
  std::unique_ptr<CFtpSession> session_;
  FtpRemoteLister lister_;
  bool waiting_ = false;
};
}  // namespace

std::function<std::unique_ptr<IRemoteLister>()> FtpListerFactory(const CFtpSession& session,
                                                                  std::shared_ptr<CEarlyLogins> early) {
  // The login is copied now: the helpers never read the session itself.
  auto login = std::make_shared<CFtpSession>();
  login->CopyLogin(session);
  return [login, early]() -> std::unique_ptr<IRemoteLister> {
    std::unique_ptr<CFtpSession> s;
    if (!early || !early->Take(s)) {
      s = std::make_unique<CFtpSession>();
      s->CopyLogin(*login);
      if (!s->Reconnect()) s.reset();
    }
    // A refused early login means the same as a refused late one.
    if (!s) return nullptr;
    return std::make_unique<OwnSessionLister>(std::move(s));
  };
}

std::vector<std::string> FtpRemoteLister::TakeSkipped() {
  IFtpConnection* c = session_.GetConnection();
  return c ? c->TakeSkipped() : std::vector<std::string>();
}

bool FtpRemoteLister::RemoveFile(const std::string& folder, const std::string& name) {
  IFtpConnection* c = session_.GetConnection();
  if (!c) return false;
  std::string p = folder;
  CollapseSlashes(p);
  if (p.empty() || p[0] != '/') p = ResolveRemotePath(p, c->LoginFolder());
  CFolderComparer::AppendSeparator(p, true);
  return c->Remove(p + name);
}

}  // namespace twinbay
