// One SSH connection with its SFTP channel (libssh): connecting, checking the
// server's host key before anything of the user's is offered, and signing in
// with ssh-agent, a private key file or a password.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct ssh_session_struct;
struct sftp_session_struct;

namespace twinbay {

struct SshKeyCache;

// Where and how to sign in to an SFTP server.
struct SftpSettings {
  std::string host;
  int port = 22;
  std::string user;
  // Signed in with when neither the agent nor the key file got in; empty: none.
  std::string password;
  // A private key in OpenSSH format (ed25519, ECDSA or RSA); empty: none.
  std::string keyFile;
  // Asked for the key file's passphrase when it has one (nullopt: the user
  // declined), once per place: the answer decrypts the key, is wiped, and
  // the place's later logins (a pool's members, a login again) use the
  // decrypted key kept for them.
  std::function<std::optional<std::string>(const std::string& keyFile)> askPassphrase;
  // A host key the user chose to trust ("SHA256:..."): accepted whatever
  // known_hosts says.
  std::string pinnedFingerprint;
  // OpenSSH known_hosts file; empty: ~/.ssh/known_hosts.
  std::string knownHosts;
  // Offer the keys of ssh-agent when SSH_AUTH_SOCK is set.
  bool useAgent = true;
  // A server silent for this long is given up on.
  int timeoutSeconds = 60;
};

// Why a connection could not be made or used.
enum class SshFailure {
  None,
  Connect,         // the server could not be reached or spoke no SSH
  UnknownHostKey,  // the host key is in neither known_hosts nor the pin
  ChangedHostKey,  // the host key differs from the one known for the server
  SignIn,          // every way of signing in was refused
  Refused,         // the server refused an operation
  Lost,            // the connection broke (or was cut to stop an operation)
};

// Watches an operation in progress from a thread of its own: when the abort
// flag is set and nothing moved for a moment, or nothing moved for the
// time-out, it shuts the socket down so that the blocked library call returns
// at once.
class SocketWatch {
 public:
  SocketWatch();
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;
  void Begin(int socket, const std::atomic<bool>* abortFlag, int timeoutSeconds);
  void Progress();  // something moved
  void End();
  // Whether the watch cut the connection during the last operation.
  bool Cut() const { return cut_; }

 private:
  void Run();
  std::mutex m_;
  std::condition_variable cv_;
  int socket_ = -1;
  const std::atomic<bool>* abortFlag_ = nullptr;
  int timeoutSeconds_ = 0;
  bool active_ = false, quit_ = false;
  std::atomic<bool> cut_{false};
  std::atomic<int64_t> lastProgress_{0};
  std::thread thread_;
};

class SshConnection {
 public:
  SshConnection() = default;
  ~SshConnection();
  SshConnection(const SshConnection&) = delete;
  SshConnection& operator=(const SshConnection&) = delete;

  // Connects, checks the host key and signs in; false with Failure() and
  // Error() set. The abort flag (if any) stops a connect to a silent server.
  bool Open(const SftpSettings& settings, SshKeyCache& keys, const std::atomic<bool>* abortFlag = nullptr);
  void Close();
  bool IsOpen() const { return sftp_ != nullptr; }

  ssh_session_struct* Session() const { return session_; }
  sftp_session_struct* Sftp() const { return sftp_; }
  int Socket() const { return socket_; }
  // Whether the server offers an SFTP extension (such as posix-rename@openssh.com).
  bool Offers(const char* extension) const;

  SshFailure Failure() const { return failure_; }
  const std::string& Error() const { return error_; }
  // The server's host key as ssh-keygen -l shows it ("SHA256:..."), once known.
  const std::string& Fingerprint() const { return fingerprint_; }

 private:
  bool Fail(SshFailure failure, const std::string& error);
  bool Connect(const SftpSettings& settings);

  ssh_session_struct* session_ = nullptr;
  sftp_session_struct* sftp_ = nullptr;
  int socket_ = -1;
  SshFailure failure_ = SshFailure::None;
  std::string error_, fingerprint_;
};

}  // namespace twinbay
