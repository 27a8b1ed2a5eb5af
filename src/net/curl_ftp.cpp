// The FTP client over libcurl: the protocol core (connecting, logging in,
// commands and their replies, transfers) and making a connection.

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "net/curl_ftp_impl.h"

namespace twinbay {
namespace {

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

}  // namespace

CurlFtpConnection::CurlFtpConnection(const FtpLogin& login, const FtpTimeouts& timeouts)
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

curl_socket_t CurlFtpConnection::OpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
  const curl_socket_t fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd != CURL_SOCKET_BAD) static_cast<CurlFtpConnection*>(self)->sockets_.push_back(fd);
  return fd;
}

int CurlFtpConnection::CloseSocket(void* self, curl_socket_t fd) {
  auto& open = static_cast<CurlFtpConnection*>(self)->sockets_;
  open.erase(std::remove(open.begin(), open.end(), fd), open.end());
  return close(fd);
}

CurlFtpConnection::~CurlFtpConnection() {
  // Cancelled (a Stop, or the program ending): the server may have stopped
  // answering, and a QUIT would wait out the reply time-out. The sockets are
  // cut first, so the QUIT fails at once.
  if (cancelFlag_ && cancelFlag_->load())
    for (curl_socket_t fd : sockets_) shutdown(fd, SHUT_RDWR);
  // The multi handle's cache holds the control connection: close it first.
  if (multi_) curl_multi_cleanup(multi_);
  if (curl_) curl_easy_cleanup(curl_);
}

bool CurlFtpConnection::Open() {
  if (!curl_ || !multi_) return Fail("The FTP library could not be started.");
  if (!HostIsSafe(login_.host)) return Fail("\"" + login_.host + "\" is not a valid host name.");
  if (login_.port < 1 || login_.port > 65535) return Fail("The port must be between 1 and 65535.");
  if (!IsSafeFtpText(login_.userName) || !IsSafeFtpText(login_.password))
    return Fail("The user name or password holds a line break.");
  if (login_.tls != FtpTls::None && !login_.pinnedFingerprint.empty() && check_.Pin().empty())
    return Fail("\"" + login_.pinnedFingerprint + "\" is not a SHA-256 certificate fingerprint.");
  check_.Reset();
  refusedCertificate_.clear();
  if (login_.features.valid()) {
    // Another connection reads the features: this one only logs in.
    if (!LogIn()) return false;
    const std::optional<FtpFeatures> known = login_.features.get();
    if (!known) return Fail("The first connection to the server failed.");
    features_ = *known;
  } else {
    // A server without FEAT offers nothing beyond the basics; only a failed
    // connection or login ends the open.
    if (!Quote({"FEAT"}) && !performedOk_) return false;
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

bool CurlFtpConnection::GetCurrentDirectory(std::string& directory) {
  if (!Quote({"PWD"})) return false;
  FolderFromReplies(directory);
  // After a reconnect, a probe file the lost connection left is removed.
  if (!features_.mlsd && !clock_->PendingProbe().empty()) CleanUpProbe();
  return true;
}

void CurlFtpConnection::FolderFromReplies(std::string& directory) const {
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
}

bool CurlFtpConnection::SetCurrentDirectory(const std::string& path) {
  if (!Safe(path)) return false;
  Prepare(FolderUrl(path), true);
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  return Perform("change to folder " + path);
}

bool CurlFtpConnection::GetModificationTime(const std::string& path, int64_t& ticks) {
  if (!ReadMdtm(path, ticks)) return false;
  if (!features_.mlsd) {
    // The zone of MDTM replies is settled with the LIST offset.
    if (!clock_->Settled()) SettleOffset(ParentOf(path), nullptr);
    ticks -= clock_->MdtmOffset();
  }
  return true;
}

// MDTM as the server answers it, in whatever zone that is.
bool CurlFtpConnection::ReadMdtm(const std::string& path, int64_t& ticks) {
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

bool CurlFtpConnection::SetModificationTime(const std::string& path, int64_t ticks) {
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

bool CurlFtpConnection::StatFile(const std::string& path, FindData& out) {
  if (!Safe(path)) return false;
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (features_.mlsd) {
    if (!Quote({"MLST " + path})) return false;
    for (const std::string& r : replies_) {
      // The fact line starts with a blank and ends with the path.
      if (r.empty() || r[0] != ' ') continue;
      const size_t space = r.find(' ', 1);
      if (space == std::string::npos) continue;
      std::string facts = r.substr(1, space - 1);
      // A folder asked after may be told as the current one.
      for (size_t at = 0; (at = facts.find('=', at)) != std::string::npos; ++at)
        if (at >= 4 && (at == 4 || facts[at - 5] == ';') && CompareNamesNoCase(facts.substr(at - 4, 4), "type") == 0 &&
            CompareNamesNoCase(facts.substr(at + 1, 4), "cdir") == 0)
          facts.replace(at + 1, 4, "dir");
      if (ParseMlsdLine(facts + " " + name, out) == LineKind::Entry) return true;
    }
    return Fail("The server gave no details of " + path + ".");
  }
  ScanList l;
  if (!ListDirectory(path.substr(0, path.find_last_of('/') + 1), l)) return false;
  for (FindData& f : l)
    if (f.name == name) {
      out = std::move(f);
      return true;
    }
  return Fail(path + " is not on the server.");
}

bool CurlFtpConnection::Retrieve(const std::string& path, const FtpSink& sink) { return RetrieveFrom(path, 0, sink); }

bool CurlFtpConnection::RetrieveFrom(const std::string& path, uint64_t offset, const FtpSink& sink) {
  if (!Safe(path)) return false;
  if (offset > 0 && !(features_.rest && features_.size)) return Fail("The server cannot continue a download.");
  Prepare(FileUrl(path));
  Transfer t{&sink, nullptr};
  // No SIZE first: the 226 reply confirms a complete transfer. From an offset: SIZE, REST.
  if (offset == 0) curl_easy_setopt(curl_, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  else curl_easy_setopt(curl_, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &CurlFtpConnection::WriteToSink);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &t);
  WatchAbortFlag();
  return Perform("download " + path);
}

bool CurlFtpConnection::StoreOrAppend(const std::string& path, const FtpSource& source, uint64_t size, bool append) {
  if (!Safe(path)) return false;
  Prepare(FileUrl(path));
  Transfer t{nullptr, &source};
  curl_easy_setopt(curl_, CURLOPT_UPLOAD, 1L);
  if (append) curl_easy_setopt(curl_, CURLOPT_APPEND, 1L);
  curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &CurlFtpConnection::ReadFromSource);
  curl_easy_setopt(curl_, CURLOPT_READDATA, &t);
  WatchAbortFlag();
  if (!Perform("upload " + path)) return false;
  clock_->NoteWritable(ParentOf(path));
  return true;
}

bool CurlFtpConnection::GetSize(const std::string& path, uint64_t& size) {
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

// Lets the abort flag end the prepared transfer: libcurl calls this often,
// also while no data moves.
void CurlFtpConnection::WatchAbortFlag() {
  if (!abortFlag_) return;
  curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &CurlFtpConnection::CheckAbort);
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
}

int CurlFtpConnection::CheckAbort(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* flag = static_cast<CurlFtpConnection*>(self)->abortFlag_;
  return flag && flag->load() ? 1 : 0;
}

size_t CurlFtpConnection::CollectReply(char* data, size_t size, size_t n, void* self) {
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

int CurlFtpConnection::Debug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
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
  if (c->dialogue_.size() < 10000) c->dialogue_.push_back({type == CURLINFO_HEADER_OUT, std::move(line)});
  return 0;
}

size_t CurlFtpConnection::CollectBody(char* data, size_t size, size_t n, void* out) {
  auto* body = static_cast<std::string*>(out);
  if (body->size() + size * n > kMaxListingBytes) return 0;  // refuse an endless listing
  body->append(data, size * n);
  return size * n;
}

size_t CurlFtpConnection::WriteToSink(char* data, size_t size, size_t n, void* p) {
  auto* t = static_cast<Transfer*>(p);
  return (*t->sink)(data, size * n) ? size * n : 0;
}

size_t CurlFtpConnection::ReadFromSource(char* buffer, size_t size, size_t n, void* p) {
  auto* t = static_cast<Transfer*>(p);
  const long got = (*t->source)(buffer, size * n);
  if (got < 0) return CURL_READFUNC_ABORT;
  return static_cast<size_t>(got);
}

bool CurlFtpConnection::Fail(const std::string& message) {
  error_ = message;
  lost_ = false;
  return false;
}

bool CurlFtpConnection::Safe(const std::string& path) {
  // Byte 0xFF is the Telnet IAC byte on the control connection: servers
  // differ in what they make of it (proftpd reads a doubled one as one), so
  // a path with it could name another file; it is never sent.
  if (path.find('\xff') != std::string::npos)
    return Fail("The remote path \"" + EscapeListingText(path) +
                "\" holds byte 0xFF, which FTP servers read differently.");
  if (IsSafeFtpText(path) && !path.empty() && path[0] == '/') return true;
  return Fail("The remote path \"" + EscapeListingText(path) + "\" cannot be used.");
}

std::string CurlFtpConnection::FolderUrl(const std::string& path) const {
  std::string p = path;
  if (p.empty() || p.back() != '/') p += '/';
  return base_ + "/" + EncodeFtpUrlPath(p);
}

// Resets the handle (the control connection stays open) and sets what every
// operation shares.
void CurlFtpConnection::Prepare(const std::string& url, bool changeIntoFolder) {
  DrainOwed();  // listings sent ahead are read before libcurl uses the connection
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
  curl_easy_setopt(curl_, CURLOPT_OPENSOCKETFUNCTION, &CurlFtpConnection::OpenSocket);
  curl_easy_setopt(curl_, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETFUNCTION, &CurlFtpConnection::CloseSocket);
  curl_easy_setopt(curl_, CURLOPT_CLOSESOCKETDATA, this);
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

// Runs the prepared operation on the connection's multi handle. Some libcurl
// versions, after an EPSV reply, leave nothing to wait on and no timer set,
// and an ordinary wait would sit out a full second before the data
// connection is opened; here such a pause is noticed and the next step taken
// at once.
CURLcode CurlFtpConnection::Drive() {
  if (curl_multi_add_handle(multi_, curl_) != CURLM_OK) return CURLE_FAILED_INIT;
  int running = 1;
  int idleSteps = 0;
  CURLcode result = CURLE_OK;
  bool done = false;
  // The abort flag ends a transfer at once (CheckAbort) and any other command
  // a second after it was seen, so that what is cleaned up after an abort (a
  // temporary file removed) still goes through on a server that answers.
  std::chrono::steady_clock::time_point abortSeen{};
  while (!done) {
    // The cancel flag ends any command within a poll, also one the server
    // leaves unanswered.
    if (cancelFlag_ && cancelFlag_->load()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (abortFlag_ && abortFlag_->load()) {
      const auto now = std::chrono::steady_clock::now();
      if (abortSeen == std::chrono::steady_clock::time_point{}) abortSeen = now;
      else if (now - abortSeen >= std::chrono::seconds(1)) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
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

bool CurlFtpConnection::Perform(const std::string& what) {
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
bool CurlFtpConnection::LogIn() {
  Prepare(base_ + "/");
  curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  return Perform("log in");
}

// Runs raw commands (already checked) after logging in if needed. They are
// sent as allowed to fail, because libcurl closes the connection after a
// failed command; each is then judged by its own reply (2xx, or 3xx for
// RNFR). The replies of the last command are left in replies_.
bool CurlFtpConnection::Quote(std::initializer_list<std::string> commands) {
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

void CurlFtpConnection::ParseFeatures() {
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
    if (starts("REST STREAM")) features_.rest = true;
    if (starts("EPSV")) features_.epsv = true;
    ParseHashFeature(f);
  }
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::unique_ptr<IFtpConnection> MakeCurlFtpConnection(const FtpLogin& login, const FtpTimeouts& timeouts) {
  return std::make_unique<CurlFtpConnection>(login, timeouts);
}

SharedFtpFeatures KnownFtpFeatures(const FtpFeatures& features) {
  std::promise<std::optional<FtpFeatures>> known;
  known.set_value(features);
  return known.get_future().share();
}

}  // namespace twinbay
