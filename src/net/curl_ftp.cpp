#include "net/curl_ftp.h"

#include <curl/curl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/comparer.h"
#include "net/listing_parser.h"
#include "net/server_time.h"

namespace twinbay {
namespace {

constexpr size_t kMaxListingBytes = 256u << 20;  // a listing larger than this is refused
constexpr int64_t kMaxZoneOffset = 14 * 60 * kTicksPerMinute;

int64_t NowTicks() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return TicksFromUnix(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

int64_t PreciseNowTicks() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return TicksFromUnix(ns / 1000000000, ns % 1000000000);
}

std::string TimeArgument(int64_t ticks) {
  const CivilTime t = UtcFields(ticks);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

bool HostIsSafe(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  for (char c : host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == ':'))
      return false;
  return true;
}

class CurlFtpConnection : public IFtpConnection {
 public:
  CurlFtpConnection(const FtpLogin& login, const FtpTimeouts& timeouts)
      : login_(login), timeouts_(timeouts), clock_(login.clock ? login.clock : std::make_shared<ServerClock>()) {
    InitCurlOnce();
    curl_ = curl_easy_init();
    multi_ = curl_multi_init();
    const bool v6 = login.host.find(':') != std::string::npos;
    // Implicit TLS speaks TLS from the first byte: libcurl's ftps:// scheme.
    base_ = std::string(login.tls == FtpTls::Implicit ? "ftps://" : "ftp://") +
            (v6 ? "[" + login.host + "]" : login.host) + ":" + std::to_string(login.port);
    if (login.tls != FtpTls::None) check_.SetPin(login.pinnedFingerprint);
  }
  ~CurlFtpConnection() override {
    // The multi handle's cache holds the control connection: close it first.
    if (multi_) curl_multi_cleanup(multi_);
    if (curl_) curl_easy_cleanup(curl_);
  }

  bool Open() override {
    if (!curl_ || !multi_) return Fail("The FTP library could not be started.");
    if (!HostIsSafe(login_.host)) return Fail("\"" + login_.host + "\" is not a valid host name.");
    if (login_.port < 1 || login_.port > 65535) return Fail("The port must be between 1 and 65535.");
    if (!IsSafeFtpText(login_.userName) || !IsSafeFtpText(login_.password))
      return Fail("The user name or password holds a line break.");
    if (login_.tls != FtpTls::None && !login_.pinnedFingerprint.empty() && check_.Pin().empty())
      return Fail("\"" + login_.pinnedFingerprint + "\" is not a SHA-256 certificate fingerprint.");
    check_.Reset();
    refusedCertificate_.clear();
    announceLogin_ = static_cast<bool>(login_.loggedIn);
    if (login_.features.valid()) {
      // Another connection reads the features: this one only logs in.
      const bool in = LogIn();
      announceLogin_ = false;
      if (!in) return false;
      const std::optional<FtpFeatures> known = login_.features.get();
      if (!known) return Fail("The first connection to the server failed.");
      features_ = *known;
    } else {
      // A server without FEAT offers nothing beyond the basics; only a failed
      // connection or login ends the open.
      const bool feat = Quote({"FEAT"});
      announceLogin_ = false;
      if (!feat && !performedOk_) return false;
      ParseFeatures();
    }
    char* entry = nullptr;
    if (curl_easy_getinfo(curl_, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry && *entry == '/') {
      loginFolder_ = entry;
    } else if (!GetCurrentDirectory(loginFolder_)) {
      loginFolder_ = "/";
    }
    // No "OPTS UTF8 ON": a server that announces UTF8 uses it for names
    // already, and several (pure-ftpd, pyftpdlib) refuse the command.
    OnOpened();
    // Logged in: with TLS asked for, that happened over TLS.
    encrypted_ = login_.tls != FtpTls::None;
    return true;
  }

  bool GetCurrentDirectory(std::string& directory) override {
    if (!Quote({"PWD"})) return false;
    for (const std::string& r : replies_) {
      if (r.rfind("257", 0) != 0) continue;
      const size_t a = r.find('"');
      if (a == std::string::npos) continue;
      // A doubled quote inside the name stands for one.
      std::string dir;
      for (size_t i = a + 1; i < r.size(); ++i) {
        if (r[i] == '"') {
          if (i + 1 < r.size() && r[i + 1] == '"') {
            dir += '"';
            ++i;
            continue;
          }
          break;
        }
        dir += r[i];
      }
      directory = dir;
    }
    // After a reconnect, a probe file the lost connection left is removed.
    if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
    return true;
  }

  bool SetCurrentDirectory(const std::string& path) override {
    if (!Safe(path)) return false;
    Prepare(FolderUrl(path), true);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    return Perform("change to folder " + path);
  }

  bool CreateDirectory(const std::string& path) override { return Safe(path) && Quote({"MKD " + path}); }
  bool Remove(const std::string& path) override { return Safe(path) && Quote({"DELE " + path}); }
  bool Rename(const std::string& from, const std::string& to) override {
    return Safe(from) && Safe(to) && Quote({"RNFR " + from, "RNTO " + to});
  }

  bool GetModificationTime(const std::string& path, int64_t& ticks) override {
    if (!ReadMdtm(path, ticks)) return false;
    if (!features_.mlsd) {
      // The zone of MDTM replies is settled with the LIST offset.
      if (!clock_->Settled()) SettleOffset(ParentOf(path), nullptr);
      ticks -= clock_->MdtmOffset();
    }
    return true;
  }

  // MDTM as the server answers it, in whatever zone that is.
  bool ReadMdtm(const std::string& path, int64_t& ticks) {
    if (!Safe(path) || !Quote({"MDTM " + path})) return false;
    for (const std::string& r : replies_) {
      if (r.size() < 18 || r.rfind("213 ", 0) != 0) continue;
      ScanList one;
      // Reuse the MLSD time parser through a one-line listing.
      if (ParseListing("modify=" + r.substr(4, r.find_first_of("\r\n") - 4) + ";type=file; x", ListingFormat::Mlsd,
                       0, one).entries == 1) {
        ticks = one[0].lastWrite;
        return true;
      }
    }
    return Fail("The server gave no time for " + path + ".");
  }

  bool SetModificationTime(const std::string& path, int64_t ticks) override {
    if (!Safe(path)) return false;
    if (features_.mfmt) return Quote({"MFMT " + TimeArgument(ticks) + " " + path});
    if (features_.mdtm) {
      // The two-argument MDTM takes the time in the zone the server's MDTM
      // replies use, so that the file reads back in step.
      if (!clock_->Settled()) SettleOffset(ParentOf(path), nullptr);
      return Quote({"MDTM " + TimeArgument(ticks + clock_->MdtmOffset()) + " " + path});
    }
    return Fail("The server cannot set file times.");
  }

  bool ListDirectory(const std::string& path, ScanList& out) override {
    out.clear();
    skipped_.clear();
    listedInPart_ = false;
    if (!Safe(path)) return false;
    if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
    const int64_t now = NowTicks();
    std::string body;
    bool cut = false;
    ListingParse parsed;
    if (features_.mlsd) {
      if (!RunListing(path, "MLSD", body, cut, MlsdTakesPath(path))) return false;
      parsed = ParseListing(body, ListingFormat::Mlsd, now, out);
    } else {
      if (!ListWithHidden(path, body, cut)) return false;
      parsed = ParseListing(body, ListingFormat::List, now, out);
      NoteFolders(path, body);
    }
    if (cut && !ListInParts(path, now, out, parsed)) {
      out.clear();
      return false;
    }
    if (!features_.mlsd) ShiftListTimes(path, out);
    ResolveLinks(path, out);
    return parsed.Whole() || ReportPartial(path, parsed);
  }

  bool ListedInPart() const override { return listedInPart_; }

  bool StatFile(const std::string& path, FindData& out) override {
    if (!Safe(path)) return false;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (features_.mlsd) {
      if (!Quote({"MLST " + path})) return false;
      for (const std::string& r : replies_) {
        // The fact line starts with a blank and ends with the path.
        if (r.empty() || r[0] != ' ') continue;
        const size_t space = r.find(' ', 1);
        if (space == std::string::npos) continue;
        if (ParseMlsdLine(r.substr(1, space - 1) + " " + name, out) == LineKind::Entry && !out.IsDirectory())
          return true;
      }
      return Fail("The server gave no details of " + path + ".");
    }
    ScanList l;
    if (!ListDirectory(path.substr(0, path.find_last_of('/') + 1), l)) return false;
    for (FindData& f : l)
      if (f.name == name && !f.IsDirectory()) {
        out = std::move(f);
        return true;
      }
    return Fail(path + " is not on the server.");
  }

  bool Retrieve(const std::string& path, const FtpSink& sink) override {
    if (!Safe(path)) return false;
    Prepare(FileUrl(path));
    Transfer t{&sink, nullptr};
    // No SIZE first: the 226 reply is what confirms a complete transfer.
    curl_easy_setopt(curl_, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::WriteToSink);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &t);
    WatchAbortFlag();
    return Perform("download " + path);
  }

  bool Store(const std::string& path, const FtpSource& source, uint64_t size) override {
    if (!Safe(path)) return false;
    Prepare(FileUrl(path));
    Transfer t{nullptr, &source};
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &CurlFtpConnection::ReadFromSource);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &t);
    WatchAbortFlag();
    if (!Perform("upload " + path)) return false;
    clock_->NoteWritable(ParentOf(path));
    return true;
  }

  bool GetSize(const std::string& path, uint64_t& size) override {
    if (!Safe(path) || !Quote({"SIZE " + path})) return false;
    for (const std::string& r : replies_) {
      if (r.rfind("213 ", 0) != 0) continue;
      const std::string digits = r.substr(4, r.find_first_not_of("0123456789", 4) - 4);
      if (digits.empty() || digits.size() > 19) continue;
      size = std::stoull(digits);
      return true;
    }
    return Fail("The server gave no size for " + path + ".");
  }

  void SetAbortFlag(const std::atomic<bool>* flag) override { abortFlag_ = flag; }
  void SetCancelFlag(const std::atomic<bool>* flag) override { cancelFlag_ = flag; }

  const FtpFeatures& Features() const override { return features_; }
  const std::string& LoginFolder() const override { return loginFolder_; }
  std::string LastError() const override { return error_; }
  bool LostConnection() const override { return lost_; }
  uint64_t RepliesReceived() const override { return replyCount_; }
  uint64_t RefusedReplies() const override { return refusedCount_; }
  uint64_t RefusedProbes() const override { return probeRefusals_; }
  bool Encrypted() const override { return encrypted_; }
  std::string RefusedCertificate() const override { return refusedCertificate_; }
  std::vector<std::string> TakeSkipped() override {
    std::vector<std::string> out;
    out.swap(skipped_);
    return out;
  }

 private:
  struct Transfer {
    const FtpSink* sink;
    const FtpSource* source;
  };

  // Lets the abort flag end the prepared transfer: libcurl calls this often,
  // also while no data moves.
  void WatchAbortFlag() {
    if (!abortFlag_) return;
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &CurlFtpConnection::CheckAbort);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
  }

  static int CheckAbort(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* flag = static_cast<CurlFtpConnection*>(self)->abortFlag_;
    return flag && flag->load() ? 1 : 0;
  }

  static size_t CollectReply(char* data, size_t size, size_t n, void* self) {
    auto* c = static_cast<CurlFtpConnection*>(self);
    std::string line(data, size * n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() >= 4 && line[3] == ' ' && line[0] >= '1' && line[0] <= '5') {
      ++c->replyCount_;
      if (line[0] >= '4') ++c->refusedCount_;
    }
    if (c->replies_.size() < 10000) c->replies_.push_back(std::move(line));
    return size * n;
  }

  static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    // TWINBAY_FTP_TRACE=1 shows the whole FTP dialogue on stderr.
    static const bool trace = std::getenv("TWINBAY_FTP_TRACE") != nullptr;
    // The password never reaches the trace or the kept dialogue.
    const bool password = type == CURLINFO_HEADER_OUT && size >= 5 && std::strncmp(data, "PASS ", 5) == 0;
    const char* text = password ? "PASS ****\r\n" : data;
    if (password) size = 11;
    if (trace && (type == CURLINFO_TEXT || type == CURLINFO_HEADER_IN || type == CURLINFO_HEADER_OUT)) {
      std::fputs(type == CURLINFO_HEADER_IN ? "< " : type == CURLINFO_HEADER_OUT ? "> " : "* ", stderr);
      std::fwrite(text, 1, size, stderr);
    }
    if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
    auto* c = static_cast<CurlFtpConnection*>(self);
    std::string line(text, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (c->announceLogin_ && type == CURLINFO_HEADER_IN && line.rfind("230 ", 0) == 0) {
      c->announceLogin_ = false;
      c->login_.loggedIn();
    }
    if (c->dialogue_.size() < 10000) c->dialogue_.push_back({type == CURLINFO_HEADER_OUT, std::move(line)});
    return 0;
  }

  static size_t CollectBody(char* data, size_t size, size_t n, void* out) {
    auto* body = static_cast<std::string*>(out);
    if (body->size() + size * n > kMaxListingBytes) return 0;  // refuse an endless listing
    body->append(data, size * n);
    return size * n;
  }

  static size_t WriteToSink(char* data, size_t size, size_t n, void* p) {
    auto* t = static_cast<Transfer*>(p);
    return (*t->sink)(data, size * n) ? size * n : 0;
  }

  static size_t ReadFromSource(char* buffer, size_t size, size_t n, void* p) {
    auto* t = static_cast<Transfer*>(p);
    const long got = (*t->source)(buffer, size * n);
    if (got < 0) return CURL_READFUNC_ABORT;
    return static_cast<size_t>(got);
  }

  bool Fail(const std::string& message) {
    error_ = message;
    lost_ = false;
    return false;
  }

  bool Safe(const std::string& path) {
    // Byte 0xFF is the Telnet IAC byte on the control connection: servers
    // differ in what they make of it (proftpd reads a doubled one as one), so
    // a path with it could name another file; it is never sent.
    if (path.find('\xff') != std::string::npos)
      return Fail("The remote path \"" + EscapeListingText(path) +
                  "\" holds byte 0xFF, which FTP servers read differently.");
    if (IsSafeFtpText(path) && !path.empty() && path[0] == '/') return true;
    return Fail("The remote path \"" + EscapeListingText(path) + "\" cannot be used.");
  }

  std::string FolderUrl(const std::string& path) const {
    std::string p = path;
    if (p.empty() || p.back() != '/') p += '/';
    return base_ + "/" + EncodeFtpUrlPath(p);
  }
  std::string FileUrl(const std::string& path) const { return base_ + "/" + EncodeFtpUrlPath(path); }

  // Resets the handle (the control connection stays open) and sets what every
  // operation shares.
  void Prepare(const std::string& url, bool changeIntoFolder = false) {
    curl_easy_reset(curl_);
    replies_.clear();
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, login_.tls == FtpTls::Implicit ? "ftps" : "ftp");
#endif
    if (login_.tls != FtpTls::None) SetTlsOptions();
    if (!login_.userName.empty()) {
      curl_easy_setopt(curl_, CURLOPT_USERNAME, login_.userName.c_str());
      curl_easy_setopt(curl_, CURLOPT_PASSWORD, login_.password.c_str());
    }
    // Commands name their full path, which saves a CWD per operation; a
    // listing that cannot name its folder safely changes into it first.
    curl_easy_setopt(curl_, CURLOPT_FTP_FILEMETHOD,
                     static_cast<long>(changeIntoFolder ? CURLFTPMETHOD_SINGLECWD : CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl_, CURLOPT_FTP_USE_EPSV, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, timeouts_.connectSeconds);
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, timeouts_.replySeconds);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, timeouts_.stalledTransferSeconds);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &CurlFtpConnection::CollectReply);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
    // The dialogue in order (commands and replies), to tell which reply
    // belongs to which of our commands.
    dialogue_.clear();
    curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, &CurlFtpConnection::Debug);
    curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errbuf_);

    errbuf_[0] = 0;
  }

  // TLS on the control and the data connections, never plain FTP instead:
  // with explicit TLS a server that refuses AUTH TLS ends the connect before
  // the user name is sent. Data connections resume the control connection's
  // TLS session (libcurl's session cache, on by default), which vsftpd and
  // others demand. The certificate check runs in the handshake, so a refused
  // certificate also ends the connect before the login.
  void SetTlsOptions() {
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

  static CURLcode InstallCheck(CURL*, void* sslContext, void* check) {
    return static_cast<CertificateCheck*>(check)->Install(sslContext) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
  }

  // A TLS failure in words: a refused certificate (with its fingerprint, so
  // that the user can decide to trust it), or a server without TLS. Empty for
  // any other failure.
  std::string TlsFailure(CURLcode rc) {
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

  // Runs the prepared operation on the connection's multi handle. Some libcurl
  // versions, after an EPSV reply, leave nothing to wait on and no timer set,
  // and an ordinary wait would sit out a full second before the data
  // connection is opened; here such a pause is noticed and the next step taken
  // at once.
  CURLcode Drive() {
    if (curl_multi_add_handle(multi_, curl_) != CURLM_OK) return CURLE_FAILED_INIT;
    int running = 1;
    int idleSteps = 0;
    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done) {
      // The cancel flag ends any command within a poll, also one the server
      // leaves unanswered.
      if (cancelFlag_ && cancelFlag_->load()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      if (curl_multi_perform(multi_, &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      int queued = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi_, &queued))
        if (msg->msg == CURLMSG_DONE) {
          result = msg->data.result;
          done = true;
        }
      if (done || !running) break;
      // With no socket to watch, libcurl is between steps: go on at once.
      fd_set r, w, e;
      FD_ZERO(&r);
      FD_ZERO(&w);
      FD_ZERO(&e);
      int maxfd = -1;
      curl_multi_fdset(multi_, &r, &w, &e, &maxfd);
      if (maxfd < 0) {
        ++idleSteps;
        if (idleSteps < 100) continue;
      }
      idleSteps = 0;
      long wait = -1;
      curl_multi_timeout(multi_, &wait);
      if (wait < 0 || wait > 100) wait = 100;
      curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
    }
    curl_multi_remove_handle(multi_, curl_);
    return result;
  }

  bool Perform(const std::string& what) {
    lost_ = false;
    const CURLcode rc = Drive();
    long connects = 0;
    // A new control connection gives a left-over probe file new chances.
    if (curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0) cleanUpAttempts_ = 0;
    if (rc == CURLE_OK) return true;
    if (std::string tls = TlsFailure(rc); !tls.empty()) return Fail(tls);
    std::string reply;
    for (auto it = replies_.rbegin(); it != replies_.rend(); ++it)
      if (it->size() >= 3 && (*it)[0] >= '4' && (*it)[0] <= '5') {
        reply = *it;
        break;
      }
    std::string text = rc == CURLE_LOGIN_DENIED ? "The server refused the login"
                                                : "Could not " + what + ": " +
                                                      (errbuf_[0] ? std::string(errbuf_) : curl_easy_strerror(rc));
    if (!reply.empty()) text += " (" + reply + ")";
    Fail(text);
    // Nothing refused it: the connection broke (or never came back).
    lost_ = reply.empty() && rc != CURLE_LOGIN_DENIED;
    return false;
  }

  // Connects and logs in (libcurl reads the login folder on the way), and
  // sends nothing more.
  bool LogIn() {
    Prepare(base_ + "/");
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    return Perform("log in");
  }

  // Runs raw commands (already checked) after logging in if needed. They are
  // sent as allowed to fail, because libcurl closes the connection after a
  // failed command; each is then judged by its own reply (2xx, or 3xx for
  // RNFR). The replies of the last command are left in replies_.
  bool Quote(std::initializer_list<std::string> commands) {
    Prepare(base_ + "/");
    struct curl_slist* list = nullptr;
    for (const std::string& c : commands) list = curl_slist_append(list, ("*" + c).c_str());
    curl_easy_setopt(curl_, CURLOPT_QUOTE, list);
    curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    std::string verb = commands.begin()->substr(0, commands.begin()->find(' '));
    performedOk_ = Perform("run " + verb);
    curl_slist_free_all(list);
    if (!performedOk_) return false;
    size_t from = 0;
    for (const std::string& c : commands) {
      // This command's line in the dialogue, then its replies up to the final one.
      size_t at = dialogue_.size();
      for (size_t i = from; i < dialogue_.size(); ++i)
        if (dialogue_[i].out && dialogue_[i].text == c) {
          at = i;
          break;
        }
      if (at == dialogue_.size()) return Fail("The server was not asked to " + c + ".");
      replies_.clear();
      std::string final;
      for (size_t i = at + 1; i < dialogue_.size() && !dialogue_[i].out; ++i) {
        replies_.push_back(dialogue_[i].text);
        const std::string& t = dialogue_[i].text;
        if (t.size() >= 3 && std::isdigit(static_cast<unsigned char>(t[0])) && (t.size() == 3 || t[3] == ' ')) {
          final = t;
          from = i;
          break;
        }
      }
      const char code = final.empty() ? '5' : final[0];
      const bool ok = code == '2' || (code == '3' && c.rfind("RNFR", 0) == 0);
      if (!ok) return Fail("The server refused " + c.substr(0, c.find(' ')) + (final.empty() ? "" : " (" + final + ")"));
    }
    return true;
  }

  // Whether MLSD can name the folder itself ("MLSD /a/b", one round trip less
  // than CWD and MLSD). MLSD takes a path, never options, and fails when the
  // path is no folder it may list, so blanks and leading "-" are safe in it;
  // only a path that some servers may read as a pattern ("[]*?" and the like)
  // is listed from inside the folder instead. (LIST stays in the folder: a
  // LIST of a path lists a missing or locked folder, or a file, as if it were
  // a folder, and some servers split the path at blanks.)
  static bool MlsdTakesPath(const std::string& path) {
    return path.find_first_of("*?[]{}~") == std::string::npos;
  }

  // One listing command: with `byPath` the command names the folder, else it
  // is sent in the folder after a CWD. `cut` tells whether the server's final
  // reply says it cut the listing short (pure-ftpd answers "226 Output
  // truncated to 10000 matches", a success code). A success code that says the
  // folder could not be read (vsftpd: "226 Transfer done (but failed to open
  // directory)", for a folder it may enter but not read) is a failed listing.
  bool RunListing(const std::string& path, const char* command, std::string& body, bool& cut, bool byPath = false) {
    body.clear();
    cut = false;
    // libcurl adds the folder's path to the command when it does not change into it.
    Prepare(FolderUrl(path), !byPath);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, command);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::CollectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    if (!Perform("list " + path)) return false;
    for (const std::string& r : replies_) {
      if (r.rfind("226", 0) != 0) continue;
      std::string lower = r;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (lower.find("truncated") != std::string::npos) {
        cut = true;
        cutReply_ = r;
      }
    }
    return !ReadFailed(path);
  }

  // Whether the listing's final reply, a success code, says that the folder
  // could not be read (vsftpd); the failure is then recorded.
  bool ReadFailed(const std::string& path) {
    for (const std::string& r : replies_) {
      if (r.rfind("226", 0) != 0) continue;
      std::string lower = r;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (lower.find("failed to open") != std::string::npos)
        return !Fail("The server could not read the folder " + path + " (" + r + ")");
    }
    return false;
  }

  // LIST with hidden entries ("LIST -a") where the server takes it, found out
  // once per connection without a refused command where possible: a listing
  // that shows anything settles it; when "-a" is refused or taken as a name
  // (an empty or failed listing), a plain LIST is tried and, when that shows
  // entries, used from then on.
  bool ListWithHidden(const std::string& path, std::string& body, bool& cut) {
    if (listHidden_ != Hidden::No) {
      const bool ok = RunListing(path, "LIST -a", body, cut);
      if (ok && HasListLines(body)) {
        listHidden_ = Hidden::Yes;
        return true;
      }
      if (listHidden_ == Hidden::Yes) return ok;  // settled before: an empty folder, or a real failure
      const std::string firstError = error_;
      if (!RunListing(path, "LIST", body, cut)) {
        error_ = firstError;
        return false;
      }
      if (HasListLines(body) || !ok) listHidden_ = Hidden::No;
      return true;
    }
    return RunListing(path, "LIST", body, cut);
  }

  // A listing with lines that could not be read or entries left out: the
  // folder is listed in part. Each entry left out is told; the first line that
  // could not be read is the reason. Always false.
  bool ReportPartial(const std::string& path, const ListingParse& parsed) {
    for (const std::string& name : parsed.unsafe)
      skipped_.push_back(Join(Trimmed(path), EscapeListingText(name)) +
                         (IsSafeRemoteName(name) ? ": neither a file, a folder nor a link; skipped"
                                                 : ": a name that cannot be used here (empty, or holding \"/\", a line "
                                                   "break, NUL or byte 0xFF); skipped"));
    listedInPart_ = true;
    if (parsed.unreadable > 0)
      return Fail("the listing of " + path + " holds " + std::to_string(parsed.unreadable) + " line" +
                  (parsed.unreadable == 1 ? "" : "s") + " that could not be read, the first: \"" +
                  EscapeListingText(parsed.firstUnreadable) + "\"");
    return Fail("the listing of " + path + " holds " + std::to_string(parsed.unsafe.size()) + " entr" +
                (parsed.unsafe.size() == 1 ? "y" : "ies") + " that cannot be synchronized, the first: \"" +
                EscapeListingText(parsed.unsafe.front()) + "\"");
  }

  static bool HasListLines(const std::string& body) {
    return body.find_first_not_of(" \r\n") != std::string::npos;
  }

  // A folder the server lists only in part: pure-ftpd sorts a LIST by name
  // before it cuts it, so the first entries ("LIST -a") and the last ones
  // ("LIST -ar") together are the whole folder when they overlap. Where they
  // do not, the folder cannot be had whole. (Listing by name prefix does not
  // help there: the server refuses to expand a wildcard in such a folder.)
  bool ListInParts(const std::string& path, int64_t now, ScanList& out, ListingParse& parsed) {
    const std::string reply = cutReply_;
    std::string forward, backward;
    bool cut1 = false, cut2 = false;
    ScanList first, last;
    if (RunListing(path, "LIST -a", forward, cut1)) parsed = ParseListing(forward, ListingFormat::List, now, first);
    else return Fail("The server cut the listing of " + path + " short (" + reply + ") and it could not be read in parts: " + error_);
    if (cut1) {
      if (!RunListing(path, "LIST -ar", backward, cut2))
        return Fail("The server cut the listing of " + path + " short (" + reply +
                    ") and it could not be read in parts: " + error_);
      const ListingParse back = ParseListing(backward, ListingFormat::List, now, last);
      if (parsed.unreadable == 0) parsed.firstUnreadable = back.firstUnreadable;
      parsed.unreadable += back.unreadable;
      for (const std::string& n : back.unsafe)
        if (std::find(parsed.unsafe.begin(), parsed.unsafe.end(), n) == parsed.unsafe.end()) parsed.unsafe.push_back(n);
      std::unordered_map<std::string, size_t> seen;
      for (size_t i = 0; i < first.size(); ++i) seen.emplace(first[i].name, i);
      bool overlap = !cut2;
      for (const FindData& f : last)
        if (seen.count(f.name)) overlap = true;
      // The halves only make the whole when the server really sorted them:
      // one by name up, the other down (a server that ignores "-r" would
      // give the same first part twice).
      auto byName = [](const FindData& a, const FindData& b) { return a.name < b.name; };
      const bool sorted = std::is_sorted(first.begin(), first.end(), byName) &&
                          std::is_sorted(last.rbegin(), last.rend(), byName) &&
                          (last.empty() || first.empty() || !(first.back().name < last.back().name));
      if (!overlap || !sorted)
        return Fail("The server cut the listing of " + path + " short (" + reply +
                    "): the folder holds more entries than it will list");
      for (FindData& f : last)
        if (!seen.count(f.name)) {
          seen.emplace(f.name, first.size());
          first.push_back(std::move(f));
        }
    }
    if (features_.mlsd) {
      // Keep the exact MLSD details where the cut MLSD listing had them.
      ShiftListTimes(path, first);
      std::unordered_map<std::string, const FindData*> exact;
      for (const FindData& f : out) exact.emplace(f.name, &f);
      for (FindData& f : first) {
        auto it = exact.find(f.name);
        if (it != exact.end()) f = *it->second;
      }
    }
    out = std::move(first);
    return true;
  }

  // Finds out once what each symbolic link leads to; the server follows links
  // for CWD, SIZE and MDTM on the link's own path. A link to a folder becomes
  // that folder (its target's real path kept, so that a link back up the tree
  // is not walked); a link to a file becomes that file with the target's size
  // and time; a link that leads nowhere is left out and told once.
  void ResolveLinks(const std::string& folder, ScanList& entries) {
    bool changedFolder = false;
    const uint64_t refusedBefore = refusedCount_;
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      FindData& e = entries[i];
      if (e.link) {
        std::string path = folder;
        CFolderComparer::AppendSeparator(path, true);
        path += e.name;
        auto it = links_.find(path);
        if (it == links_.end()) {
          LinkInfo info;
          if (Quote({"CWD " + path}) && GetCurrentDirectory(info.target)) {
            info.kind = LinkInfo::Folder;
            changedFolder = true;
          } else {
            int64_t ticks = 0;
            uint64_t size = 0;
            const bool haveTime = GetModificationTime(path, ticks);
            const bool haveSize = FileSize(path, size);
            if (haveTime || haveSize) {
              info.kind = LinkInfo::File;
              info.size = size;
              info.ticks = haveTime ? ticks : e.lastWrite;
              info.exactTime = haveTime;
            } else {
              skipped_.push_back(path + ": a symbolic link that leads nowhere; skipped");
            }
          }
          it = links_.emplace(path, info).first;
        }
        const LinkInfo& info = it->second;
        if (info.kind == LinkInfo::Nowhere) continue;
        if (info.kind == LinkInfo::Folder) {
          e.attributes = kAttrDirectory;
          e.size = 0;
          e.linkTarget = info.target;
        } else {
          e.attributes = 0;
          e.size = info.size;
          e.lastWrite = info.ticks;
          if (info.exactTime) e.precision = TimePrecision::Seconds;
        }
      }
      if (kept != i) entries[kept] = std::move(e);
      ++kept;
    }
    entries.resize(kept);
    // Back to the listed folder, so that the server and libcurl agree on it.
    if (changedFolder) Quote({"CWD " + folder});
    probeRefusals_ += refusedCount_ - refusedBefore;
    refusedCount_ = refusedBefore;
  }

  bool FileSize(const std::string& path, uint64_t& size) {
    // Some servers give no SIZE in ASCII mode, which listings leave set.
    if (!Quote({"TYPE I", "SIZE " + path})) return false;
    for (const std::string& r : replies_)
      if (r.rfind("213 ", 0) == 0) {
        size = std::strtoull(r.c_str() + 4, nullptr, 10);
        return true;
      }
    return false;
  }

  void ParseFeatures() {
    bool inFeat = false;
    for (const std::string& r : replies_) {
      if (r.rfind("211-", 0) == 0) {
        inFeat = true;
        continue;
      }
      if (r.rfind("211 ", 0) == 0) {
        inFeat = false;
        continue;
      }
      if (!inFeat || r.empty() || r[0] != ' ') continue;
      std::string f = r.substr(1);
      for (char& c : f) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      auto starts = [&](const char* s) { return f.rfind(s, 0) == 0; };
      if (starts("MLST")) features_.mlsd = true;
      if (starts("MFMT")) features_.mfmt = true;
      if (starts("MDTM")) features_.mdtm = true;
      if (starts("UTF8")) features_.utf8 = true;
      if (starts("SIZE")) features_.size = true;
    }
  }

  // ---- the server's time zone (server_time.h) ----------------------------------

  static std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  static std::string Join(const std::string& folder, const std::string& name) {
    std::string p = folder;
    CFolderComparer::AppendSeparator(p, true);
    if (p.empty()) p = "/";
    return p + name;
  }
  static std::string Trimmed(const std::string& folder) {
    std::string p = folder;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }

  // The raw listing of a folder (MLSD when offered, else LIST), or with a
  // name, the LIST of that one entry of it (which shows a file whose name
  // begins with a dot, as a plain LIST of the folder may not).
  bool ListRaw(const std::string& path, std::string& body, const std::string& name = {}) {
    body.clear();
    Prepare(FolderUrl(path), true);
    const std::string command = "LIST " + name;
    if (!name.empty()) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, command.c_str());
    else if (features_.mlsd) curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "MLSD");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::CollectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    return Perform("list " + path) && !ReadFailed(path);
  }

  void OnOpened() {
    if (!clock_->Settled()) {
      const ServerTimeOffset setting = clock_->Setting();
      if (features_.mlsd) {
        clock_->Settle(ServerClock::Source::Utc, 0, 0, true);
      } else if (!setting.automatic) {
        // Until one file shows otherwise, MDTM is taken to use the zone the
        // listing uses (as vsftpd does).
        const int64_t offset = setting.minutes * kTicksPerMinute;
        clock_->Settle(ServerClock::Source::Fixed, offset, offset, false);
      }
    }
    if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
  }

  // Remembers what the folder lines of a LIST say of storing into them.
  void NoteFolders(const std::string& folder, std::string_view body) {
    if (clock_->Settled()) return;
    const std::string self = Trimmed(folder);
    while (!body.empty()) {
      const size_t eol = body.find('\n');
      std::string_view line = body.substr(0, eol);
      body = eol == std::string_view::npos ? std::string_view() : body.substr(eol + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      std::string name;
      const FolderWrite judged = JudgeFolderLine(line, login_.userName, &name);
      if (judged == FolderWrite::NotAFolder) continue;
      if (name == ".") clock_->NoteFolder(self, judged);
      else if (IsSafeRemoteName(name)) clock_->NoteFolder(Join(self, name), judged);
    }
  }

  // LIST times are in the server's zone: shifts them to UTC by the session's
  // offset, finding it first when this is the first listing that needs it.
  void ShiftListTimes(const std::string& folder, ScanList& entries) {
    const FindData* sample = nullptr;
    for (const FindData& fd : entries)
      if (!fd.IsDirectory() && !fd.link && fd.precision == TimePrecision::Minutes) {
        sample = &fd;
        break;
      }
    if (!clock_->Settled()) {
      if (!sample) return;  // nothing here depends on the offset yet
      SettleOffset(folder, sample);
    } else if (sample && !clock_->MdtmKnown()) {
      LearnMdtmZone(folder, *sample);
    }
    const int64_t offset = clock_->ListOffset();
    if (offset == 0) return;
    for (FindData& fd : entries)
      if (fd.precision == TimePrecision::Minutes) fd.lastWrite -= offset;
  }

  // Finds the offset in automatic mode: from a test file where the folder is
  // writable; else from an MDTM reply that disagrees with the listing; else,
  // where the listing could not tell whether the login may write there, from
  // a test file all the same (once a session);
  // else it stays unknown (and the user is told).
  void SettleOffset(const std::string& folderPath, const FindData* sample) {
    const std::string folder = Trimmed(folderPath);
    std::string note;
    const FolderWrite access = MayWrite(folder);
    if (access == FolderWrite::Writable) {
      if (Probe(folder, note, false)) return;
    } else if (access == FolderWrite::NotWritable) {
      note = "no test file can be stored in " + folder;
    }
    bool mdtmAgrees = false;
    if (sample && features_.mdtm) {
      int64_t mdtm = 0;
      if (ReadMdtm(Join(folder, sample->name), mdtm)) {
        // The listed time is cut to the minute: compare from the middle of it.
        const int64_t d = RoundToQuarterHour(sample->lastWrite + 30 * kTicksPerSecond - mdtm);
        if (d != 0 && d <= kMaxZoneOffset && d >= -kMaxZoneOffset) {
          clock_->Settle(ServerClock::Source::FromMdtm, d, 0, true);
          return;
        }
        mdtmAgrees = d == 0;
      }
    }
    if (access != FolderWrite::Writable && access != FolderWrite::NotWritable) {
      if (!clock_->TakeUnjudgedTry()) note = "a test file was tried before in this session";
      else if (Probe(folder, note, true)) return;
    }
    if (mdtmAgrees) note += " and MDTM agrees with the listing";
    clock_->Settle(ServerClock::Source::Unknown, 0, 0, true, note);
  }

  // Whether a store into the folder will be accepted, as far as can be known
  // without trying: an earlier store there, or its entry in its parent's
  // listing (or its own "." entry). NotAFolder when no listing shows it.
  FolderWrite MayWrite(const std::string& folder) {
    const FolderWrite known = clock_->Judged(folder);
    if (known != FolderWrite::NotAFolder || folder == "/") return known;
    const std::string parent = ParentOf(folder);
    std::string body;
    if (!ListRaw(parent, body)) return FolderWrite::NotAFolder;
    NoteFolders(parent, body);
    return clock_->Judged(folder);
  }

  // Stores a one-byte file under the program's temporary-name prefix (never
  // listed, never copied), reads back its listed and MDTM times, compares them
  // with this computer's UTC clock at the store and deletes it again.
  // `unjudged`: the listing could not tell whether the store is allowed, so a
  // refusal is counted apart from a normal run's (RefusedProbes) and ends
  // such tests for the session.
  bool Probe(const std::string& folder, std::string& note, bool unjudged) {
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "%ld-%u-%lld", static_cast<long>(getpid()), counter++,
                  static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007));
    const std::string path = Join(folder, std::string(".twinbay-probe-") + suffix + ".part");
    // Remembered before the store: a connection lost now leaves it to be
    // removed after the reconnect.
    clock_->SetPendingProbe(path);
    bool sent = false;
    const uint64_t refusedBefore = refusedCount_;
    const int64_t before = PreciseNowTicks();
    const bool stored = Store(
        path,
        [&](char* buffer, size_t size) -> long {
          if (sent || size == 0) return 0;
          buffer[0] = '\n';
          sent = true;
          return 1;
        },
        1);
    const int64_t after = PreciseNowTicks();
    if (!stored) {
      note = "a test file could not be stored in " + folder;
      if (refusedCount_ > refusedBefore) {
        clock_->NoteProbe("the server refused a one-byte test file in " + folder +
                          " (stored to find its time offset; it is not asked again)");
        clock_->NoteProbeRefused();
        if (unjudged) {
          probeRefusals_ += refusedCount_ - refusedBefore;
          refusedCount_ = refusedBefore;
        }
      }
      CleanUpProbe();
      return false;
    }
    clock_->RunProbeHook(path);
    std::string body;
    ScanList entries;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (ListRaw(folder, body, name)) ParseListing(body, ListingFormat::List, NowTicks(), entries);
    const FindData* mine = nullptr;
    for (const FindData& fd : entries)
      if (fd.name == name) mine = &fd;
    int64_t mdtm = 0;
    const bool haveMdtm = mine && features_.mdtm && ReadMdtm(path, mdtm);
    // The store went through, so the file is there even where no listing
    // shows it (a folder the login may write but not read): remove it.
    if (Quote({"DELE " + path})) clock_->SetPendingProbe({});
    else CleanUpProbe();
    clock_->NoteProbe("stored a one-byte test file, " + path + ", to find the server's time offset, and " +
                      (clock_->PendingProbe().empty() ? "removed it" : "will remove it on the next connection"));
    if (!mine || mine->precision != TimePrecision::Minutes) {
      note = "the test file stored in " + folder + " could not be read back";
      return false;
    }
    const int64_t middle = before + (after - before) / 2;
    const int64_t listOffset = RoundToQuarterHour(mine->lastWrite + 30 * kTicksPerSecond - middle);
    const int64_t mdtmOffset = haveMdtm ? RoundToQuarterHour(mdtm - middle) : listOffset;
    if (listOffset > kMaxZoneOffset || listOffset < -kMaxZoneOffset || mdtmOffset > kMaxZoneOffset ||
        mdtmOffset < -kMaxZoneOffset) {
      note = "the server's clock is " + FormatOffsetTicks(listOffset) + " away from this computer's";
      return false;
    }
    clock_->Settle(ServerClock::Source::Probed, listOffset, mdtmOffset, true);
    return true;
  }

  // Removes a probe file that a failed or dropped probe may have left; it is
  // deleted only when a listing of its name shows it, so no DELE is sent in
  // vain.
  void CleanUpProbe() {
    const std::string path = clock_->PendingProbe();
    if (path.empty() || cleanUpAttempts_ >= 3) return;
    ++cleanUpAttempts_;
    const std::string folder = ParentOf(path), name = path.substr(path.find_last_of('/') + 1);
    std::string body;
    if (!ListRaw(folder, body, name)) return;  // tried again later
    ScanList entries;
    ParseListing(body, ListingFormat::List, NowTicks(), entries);
    bool there = false;
    for (const FindData& fd : entries) there = there || fd.name == name;
    if (!there || Quote({"DELE " + path})) clock_->SetPendingProbe({});
  }

  // With a fixed offset: whether MDTM answers in the listing's zone or in UTC,
  // from one listed file.
  void LearnMdtmZone(const std::string& folder, const FindData& sample) {
    int64_t mdtm = 0;
    if (!features_.mdtm || !ReadMdtm(Join(Trimmed(folder), sample.name), mdtm)) {
      clock_->SetMdtmOffset(clock_->ListOffset());
      return;
    }
    const int64_t utc = sample.lastWrite + 30 * kTicksPerSecond - clock_->ListOffset();
    clock_->SetMdtmOffset(RoundToQuarterHour(mdtm - utc));
  }

  FtpLogin login_;
  FtpTimeouts timeouts_;
  std::shared_ptr<ServerClock> clock_;
  CURL* curl_ = nullptr;
  CURLM* multi_ = nullptr;
  std::string base_;
  FtpFeatures features_;
  std::string loginFolder_ = "/";
  std::string error_;
  std::vector<std::string> replies_;
  struct Said {
    bool out;
    std::string text;
  };
  std::vector<Said> dialogue_;
  bool performedOk_ = false;
  bool announceLogin_ = false;  // Open waits for the server to accept the login (loggedIn)
  char errbuf_[CURL_ERROR_SIZE] = {};
  int cleanUpAttempts_ = 0;
  uint64_t replyCount_ = 0;
  uint64_t refusedCount_ = 0;
  uint64_t probeRefusals_ = 0;
  std::string cutReply_;
  enum class Hidden { Unknown, Yes, No };
  Hidden listHidden_ = Hidden::Unknown;
  struct LinkInfo {
    enum Kind { Nowhere, File, Folder } kind = Nowhere;
    std::string target;
    uint64_t size = 0;
    int64_t ticks = 0;
    bool exactTime = false;
  };
  std::map<std::string, LinkInfo> links_;
  std::vector<std::string> skipped_;
  bool listedInPart_ = false;
  CertificateCheck check_;
  std::string refusedCertificate_;
  bool encrypted_ = false;
  const std::atomic<bool>* abortFlag_ = nullptr;
  const std::atomic<bool>* cancelFlag_ = nullptr;
  bool lost_ = false;
};

}  // namespace

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::unique_ptr<IFtpConnection> MakeCurlFtpConnection(const FtpLogin& login, const FtpTimeouts& timeouts) {
  return std::make_unique<CurlFtpConnection>(login, timeouts);
}

std::string EncodeFtpUrlPath(const std::string& absolutePath) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = "%2F";
  size_t i = 0;
  while (i < absolutePath.size() && absolutePath[i] == '/') ++i;
  for (; i < absolutePath.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(absolutePath[i]);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (!absolutePath.empty() && absolutePath.back() == '/' && out.back() != '/') out += '/';
  return out;
}

SharedFtpFeatures KnownFtpFeatures(const FtpFeatures& features) {
  std::promise<std::optional<FtpFeatures>> known;
  known.set_value(features);
  return known.get_future().share();
}

bool IsSafeFtpText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string ResolveRemotePath(const std::string& path, const std::string& loginFolder) {
  std::string p = path;
  if (p.empty() || (p[0] != '/' && p[0] != '\\')) {
    std::string base = loginFolder.empty() ? "/" : loginFolder;
    CFolderComparer::AppendSeparator(base, true);
    p = base + p;
  }
  CFolderComparer::NormalizeRemotePath(p);
  if (p.empty() || p[0] != '/') p.insert(0, "/");
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace twinbay
