#include "net/ssh_session.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <malloc.h>
#include <libssh/sftp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <pwd.h>

#include "net/ssh_auth.h"
#include "net/ssh_hostkeys.h"

namespace twinbay {
namespace {

constexpr int64_t kAbortGraceMs = 300;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string DefaultKnownHosts() {
  const char* home = std::getenv("HOME");
  std::string dir = home && *home ? home : "";
  if (dir.empty())
    if (const passwd* pw = getpwuid(getuid())) dir = pw->pw_dir;
  return dir + "/.ssh/known_hosts";
}

// libssh's own list of ciphers with AES-GCM ahead of ChaCha20-Poly1305 where
// the processor has AES instructions: both ends then spend a fraction of the
// time on each byte (a gigabyte on loopback moves in about two thirds of the
// time). Elsewhere libssh's order stands (null).
const char* PreferredCiphers() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul"))
    return "aes256-gcm@openssh.com,aes128-gcm@openssh.com,chacha20-poly1305@openssh.com,"
           "aes256-ctr,aes192-ctr,aes128-ctr";
#endif
  return nullptr;
}

// A TCP connection to the server, made without blocking so that the abort
// flag and the time-out are looked at while the server does not answer.
int Dial(const SftpSettings& s, const std::atomic<bool>* abortFlag, std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(s.host.c_str(), std::to_string(s.port).c_str(), &hints, &found);
  if (resolved != 0) {
    error = "Cannot find " + s.host + ": " + gai_strerror(resolved);
    return -1;
  }
  int fd = -1, why = 0;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      why = errno;
      continue;
    }
    const int rc = connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      const int64_t end = NowMs() + s.timeoutSeconds * 1000LL;
      pollfd p{fd, POLLOUT, 0};
      while (poll(&p, 1, 100) == 0 && NowMs() < end && !(abortFlag && abortFlag->load())) {
      }
      int soError = abortFlag && abortFlag->load() ? ECANCELED : ETIMEDOUT;
      socklen_t len = sizeof soError;
      if (!(p.revents & (POLLOUT | POLLERR | POLLHUP)) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
          soError != 0) {
        why = soError;
        close(fd);
        fd = -1;
      }
    } else if (rc != 0) {
      why = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    error = "Cannot connect to " + s.host + " port " + std::to_string(s.port) + ": " + std::strerror(why);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  error.clear();
  return fd;
}

}  // namespace

SocketWatch::SocketWatch() : thread_([this] { Run(); }) {}

SocketWatch::~SocketWatch() {
  {
    std::lock_guard<std::mutex> l(m_);
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void SocketWatch::Begin(int socket, const std::atomic<bool>* abortFlag, int timeoutSeconds) {
  {
    std::lock_guard<std::mutex> l(m_);
    socket_ = socket;
    abortFlag_ = abortFlag;
    timeoutSeconds_ = timeoutSeconds;
    active_ = true;
    cut_ = false;
    lastProgress_ = NowMs();
  }
  cv_.notify_all();
}

void SocketWatch::Progress() { lastProgress_.store(NowMs(), std::memory_order_relaxed); }

void SocketWatch::End() {
  std::lock_guard<std::mutex> l(m_);
  active_ = false;
}

void SocketWatch::Run() {
  std::unique_lock<std::mutex> l(m_);
  while (!quit_) {
    if (!active_) {
      cv_.wait(l, [this] { return active_ || quit_; });
      continue;
    }
    cv_.wait_for(l, std::chrono::milliseconds(20));
    if (!active_ || quit_) continue;
    // A stopped operation that still moves ends by itself at its next block,
    // keeping the connection; one the server keeps waiting is cut.
    const int64_t still = NowMs() - lastProgress_.load();
    const bool aborted = abortFlag_ && abortFlag_->load() && still > kAbortGraceMs;
    const bool silent = timeoutSeconds_ > 0 && still > timeoutSeconds_ * 1000LL;
    if (aborted || silent) {
      // Shutting the socket down makes the library's blocked read return; the
      // connection is gone afterwards and is made again when needed. The cut
      // is marked first: the failing call must see it.
      cut_ = true;
      shutdown(socket_, SHUT_RDWR);
      active_ = false;
    }
  }
}

SshConnection::~SshConnection() { Close(); }

void SshConnection::Close() {
  if (sftp_) sftp_free(sftp_);
  sftp_ = nullptr;
  if (session_) {
    ssh_disconnect(session_);
    ssh_free(session_);
  }
  session_ = nullptr;
  // libssh leaves a socket it was given open.
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

bool SshConnection::Offers(const char* extension) const {
  return sftp_ && sftp_extension_supported(sftp_, extension, "1") == 1;
}

bool SshConnection::Fail(SshFailure failure, const std::string& error) {
  failure_ = failure;
  error_ = error;
  Close();
  return false;
}

namespace {

// libssh allocates and frees a buffer for every packet it receives, some of
// them large. glibc would give the freed top of the heap back to the kernel
// each time and fault fresh pages in for the next packet: a brk and dozens
// of page faults for every 32 KiB, a fifth of a download's processor time.
// Freed memory is kept for reuse instead (up to 32 MiB), and blocks up to
// 4 MiB come from the heap rather than mappings of their own.
void KeepFreedMemory() {
  static std::once_flag once;
  std::call_once(once, [] {
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
  });
}

}  // namespace

bool SshConnection::Connect(const SftpSettings& s) {
  KeepFreedMemory();
  session_ = ssh_new();
  if (!session_) return Fail(SshFailure::Connect, "Out of memory");
  const unsigned port = static_cast<unsigned>(s.port);
  const long timeout = s.timeoutSeconds;
  const int no = 0;
  const std::string knownHosts = s.knownHosts.empty() ? DefaultKnownHosts() : s.knownHosts;
  // Only what the settings say counts, not the user's ~/.ssh/config.
  ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
  ssh_options_set(session_, SSH_OPTIONS_HOST, s.host.c_str());
  ssh_options_set(session_, SSH_OPTIONS_PORT, &port);
  if (!s.user.empty()) ssh_options_set(session_, SSH_OPTIONS_USER, s.user.c_str());
  ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeout);
  ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
  if (const char* ciphers = PreferredCiphers()) {
    ssh_options_set(session_, SSH_OPTIONS_CIPHERS_C_S, ciphers);
    ssh_options_set(session_, SSH_OPTIONS_CIPHERS_S_C, ciphers);
  }
  return true;
}

bool SshConnection::Open(const SftpSettings& s, SshKeyCache& keys, const std::atomic<bool>* abortFlag) {
  Close();
  failure_ = SshFailure::None;
  error_.clear();
  fingerprint_.clear();
  if (!Connect(s)) return false;
  std::string error;
  const int fd = Dial(s, abortFlag, error);
  if (fd < 0) return Fail(SshFailure::Connect, error);
  socket_ = fd;
  ssh_options_set(session_, SSH_OPTIONS_FD, &fd);
  SocketWatch watch;
  watch.Begin(fd, abortFlag, s.timeoutSeconds);
  const int rc = ssh_connect(session_);
  watch.End();
  if (rc != SSH_OK)
    return Fail(SshFailure::Connect, "Cannot open an SSH connection to " + s.host + ": " + ssh_get_error(session_));
  // Nothing of the user's (no key, no password) goes out before the host key
  // is trusted.
  switch (CheckHostKey(session_, s.host, s.pinnedFingerprint, fingerprint_, error)) {
    case HostKeyVerdict::Trusted: break;
    case HostKeyVerdict::Unknown: return Fail(SshFailure::UnknownHostKey, error);
    case HostKeyVerdict::Changed: return Fail(SshFailure::ChangedHostKey, error);
    case HostKeyVerdict::Error: return Fail(SshFailure::Connect, error);
  }
  watch.Begin(fd, abortFlag, s.timeoutSeconds);
  const bool in = SignIn(session_, s, keys, error);
  if (!in) {
    watch.End();
    return Fail(watch.Cut() ? SshFailure::Lost : SshFailure::SignIn, error);
  }
  sftp_ = sftp_new(session_);
  const bool started = sftp_ && sftp_init(sftp_) == SSH_OK;
  watch.End();
  if (!started) return Fail(SshFailure::Connect, "The server offers no SFTP: " + std::string(ssh_get_error(session_)));
  return true;
}

}  // namespace twinbay
