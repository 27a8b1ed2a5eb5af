// SSH servers for SFTP tests and benchmarks, started on 127.0.0.1 with an
// ephemeral port and stopped by pid: OpenSSH's sshd (sign-in as root by key,
// with a host key of its own), and a small SFTP server of the tests' own in
// Python (asyncssh) for password sign-in and servers that misbehave.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "net/ssh_session.h"
#include "support/processes.h"

namespace twinbay::test {

class SshTestServer {
 public:
  ~SshTestServer();
  SshTestServer(const SshTestServer&) = delete;
  SshTestServer& operator=(const SshTestServer&) = delete;

  // Who signs in to sshd: root (benchmarks), or a throw-away account set up
  // as a real host has one (home `folder`/home 0755 and its own, its keys in
  // ~/.ssh/authorized_keys, sshd's strict modes on; the folders above
  // `folder` must let it through).
  enum class Login { Root, Account };
  // sshd in the foreground, everything of it in `folder`: host key
  // host_ed25519, sign-in key client_ed25519 (authorized with every key in
  // `moreKeys`, public key files). Null (with the reason) when it does not
  // start; it needs root.
  static std::unique_ptr<SshTestServer> StartSshd(const std::string& folder, std::string* why,
                                                  const std::vector<std::string>& moreKeys = {},
                                                  Login login = Login::Root);
  // sftp_server.py: user `tester`, password `secret`, serving the whole file
  // system. Modes: a folder named `refuseList` cannot be opened, listing a
  // folder named `cutList` cuts the connection, and so do reading a file named
  // `cutRead` and writing one named `cutWrite` past their first 64 KiB.
  struct PyOptions {
    std::string refuseList, cutList, cutRead, cutWrite;
  };
  static std::unique_ptr<SshTestServer> StartPython(const std::string& folder, const PyOptions& options,
                                                    std::string* why);

  int port() const { return port_; }
  // Who signs in: "root", the account's name, or "tester" (sftp_server.py).
  const std::string& user() const { return user_; }
  // The account's home folder ("" for the others).
  std::string Home() const { return account_ ? folder_ + "/home" : ""; }
  // Gives what is below path to the account (nothing without one).
  void Own(const std::string& path) const;
  // The private key that signs in (sshd only).
  std::string ClientKey() const { return folder_ + "/client_ed25519"; }
  std::string HostKeyPub() const { return hostKey_ + ".pub"; }
  // The host key's fingerprint as ssh-keygen -l prints it ("SHA256:...").
  std::string HostFingerprint() const;
  // A known_hosts line for this server's key.
  std::string KnownHostsLine() const;
  // Settings that sign in (sshd: by its key; sftp_server.py: by password;
  // no agent), trusting the host key through `folder`/known_hosts.
  SftpSettings ClientSettings() const;
  // What the server wrote to its log so far.
  std::string Log() const;
  // Stops or resumes every process of the server (a server that falls silent).
  void Pause(bool paused);
  void Stop();

 private:
  SshTestServer() = default;
  // A server of `user` in `folder` with a host key and a free port, or null.
  static std::unique_ptr<SshTestServer> Prepare(const std::string& folder, const std::string& user, std::string* why);
  // Starts the server's program; false (with the reason) when it does not listen.
  bool Launch(const std::vector<std::string>& argv, std::string* why);
  pid_t pid_ = -1;
  int port_ = 0;
  std::string folder_, hostKey_, log_, user_;
  std::unique_ptr<TestAccount> account_;
};

// ssh-keygen -t type (-N passphrase) -f path; false when it failed.
bool MakeSshKey(const std::string& path, const std::string& type, const std::string& passphrase = "");

// An ssh-agent of its own on a socket in `folder`, holding the given keys.
class SshAgent {
 public:
  SshAgent(const std::string& folder, const std::vector<std::string>& keys);
  ~SshAgent();
  SshAgent(const SshAgent&) = delete;
  SshAgent& operator=(const SshAgent&) = delete;
  bool ok() const { return ok_; }
  const std::string& socket() const { return socket_; }

 private:
  pid_t pid_ = -1;
  std::string socket_;
  bool ok_ = false;
};

}  // namespace twinbay::test
