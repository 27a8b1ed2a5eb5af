// SSH servers on 127.0.0.1, stopped with the object: OpenSSH's sshd (sign-in
// by key), and sftp_server.py for password sign-in and misbehaving servers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/ssh_session.h"
#include "support/processes.h"

namespace twinbay::test {

class SshTestServer : public ServerProcess {
 public:
  // Who signs in to sshd: root (benchmarks), or a throw-away account as a
  // real host has one (home `folder`/home, keys in its ~/.ssh, strict modes).
  enum class Login { Root, Account };
  // sshd (needs root) with everything in `folder`: sign-in key client_ed25519,
  // also authorizing the public key files `moreKeys`. Null (with the reason)
  // when it does not start.
  static std::unique_ptr<SshTestServer> StartSshd(const std::string& folder, std::string* why,
                                                  const std::vector<std::string>& moreKeys = {},
                                                  Login login = Login::Root);
  // sftp_server.py (user `tester`, password `secret`) and its modes (see there).
  struct PyOptions {
    std::string refuseList, cutList, cutRead, cutWrite, hashes;
  };
  static std::unique_ptr<SshTestServer> StartPython(const std::string& folder, const PyOptions& options,
                                                    std::string* why);

  // proftpd's mod_sftp as scripts/setup-deps.sh unpacks it (needs root): user
  // `tester`, password `secret`, home `folder`/home; its defaults otherwise.
  static std::unique_ptr<SshTestServer> StartProftpd(const std::string& folder, std::string* why);

  std::string Home() const { return account_ || home_ ? folder_ + "/home" : ""; }
  std::string ClientKey() const { return folder_ + "/client_ed25519"; }
  std::string HostFingerprint() const;  // "SHA256:..."
  std::string KnownHostsLine() const;
  // Settings that sign in (by key or password; no agent), trusting the host
  // key through `folder`/known_hosts.
  SftpSettings ClientSettings() const;
  std::string Log() const { return ReadFile(log_); }
  // Stops or resumes every process of the server (a server falling silent).
  void Pause(bool paused);

 private:
  static std::unique_ptr<SshTestServer> Prepare(const std::string& folder, const std::string& user, std::string* why);
  std::string folder_;
  bool home_ = false;
};

// ssh-keygen -t type (-N passphrase) -f path; false when it failed.
bool MakeSshKey(const std::string& path, const std::string& type, const std::string& passphrase = "");

// An ssh-agent of its own on a socket in `folder`, holding the given keys.
class SshAgent {
 public:
  SshAgent(const std::string& folder, const std::vector<std::string>& keys);
  ~SshAgent() { StopGroup(pid_); }
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
