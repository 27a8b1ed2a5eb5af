#include "support/sshd_server.h"

#include "support/processes.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace twinbay::test {
namespace {

void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Gives the folder the keys of `authorized` as sshd looks for them (the
// account's ~/.ssh, strict modes on), or as one file sshd reads for root.
std::string AuthorizedKeys(const std::string& folder, const std::string& authorized, const TestAccount* account) {
  if (!account) {
    Put(folder + "/authorized_keys", authorized);
    return "AuthorizedKeysFile " + folder + "/authorized_keys\nStrictModes no\nPermitRootLogin prohibit-password\n";
  }
  chmod(folder.c_str(), 0755);
  const std::string ssh = folder + "/home/.ssh";
  mkdir(ssh.c_str(), 0700);
  Put(ssh + "/authorized_keys", authorized);
  chmod((ssh + "/authorized_keys").c_str(), 0600);
  account->Own(ssh);
  return "";
}

}  // namespace

bool MakeSshKey(const std::string& path, const std::string& type, const std::string& passphrase) {
  unlink(path.c_str());
  unlink((path + ".pub").c_str());
  return system(("ssh-keygen -q -t " + type + " -N '" + passphrase + "' -f '" + path + "' </dev/null").c_str()) ==
         0;
}

SshTestServer::~SshTestServer() { Stop(); }

void SshTestServer::Stop() {
  StopGroup(pid_);
  pid_ = -1;
}

std::string SshTestServer::Log() const { return Slurp(log_); }

void SshTestServer::Pause(bool paused) { kill(-pid_, paused ? SIGSTOP : SIGCONT); }

void SshTestServer::Own(const std::string& path) const {
  if (account_) account_->Own(path);
}

std::string SshTestServer::HostFingerprint() const {
  std::istringstream in(RunCommand("ssh-keygen -lf '" + HostKeyPub() + "'"));
  std::string bits, fingerprint;
  in >> bits >> fingerprint;
  return fingerprint;
}

std::string SshTestServer::KnownHostsLine() const {
  std::istringstream in(Slurp(HostKeyPub()));
  std::string type, key;
  in >> type >> key;
  return "[127.0.0.1]:" + std::to_string(port_) + " " + type + " " + key + "\n";
}

SftpSettings SshTestServer::ClientSettings() const {
  SftpSettings s;
  s.host = "127.0.0.1";
  s.port = port_;
  s.user = user_;
  if (user_ == "tester") s.password = "secret";
  else s.keyFile = ClientKey();
  s.knownHosts = folder_ + "/known_hosts";
  Put(s.knownHosts, KnownHostsLine());
  s.useAgent = false;
  return s;
}

std::unique_ptr<SshTestServer> SshTestServer::Prepare(const std::string& folder, const std::string& user,
                                                      std::string* why) {
  std::unique_ptr<SshTestServer> s(new SshTestServer);
  s->folder_ = folder;
  s->hostKey_ = folder + "/host_ed25519";
  s->port_ = FreePort();
  s->user_ = user;
  s->log_ = folder + "/server.log";
  if (MakeSshKey(s->hostKey_, "ed25519")) return s;
  if (why) *why = "ssh-keygen failed";
  return nullptr;
}

bool SshTestServer::Launch(const std::vector<std::string>& argv, std::string* why) {
  pid_ = Spawn(argv, log_);
  if (WaitUntilListening(pid_, port_, "SSH-")) return true;
  if (why) *why = argv[0] + " did not start (" + folder_ + "): " + Log();
  return false;
}

std::unique_ptr<SshTestServer> SshTestServer::StartSshd(const std::string& folder, std::string* why,
                                                        const std::vector<std::string>& moreKeys, Login login) {
  auto s = Prepare(folder, "root", why);
  if (!s || !MakeSshKey(s->ClientKey(), "ed25519")) return nullptr;
  if (login == Login::Account) {
    s->account_ = std::make_unique<TestAccount>(folder + "/home", why);
    if (!s->account_->ok()) return nullptr;
    s->user_ = s->account_->name;
  }
  std::string authorized = Slurp(s->ClientKey() + ".pub");
  for (const std::string& k : moreKeys) authorized += Slurp(k);
  const std::string keys = AuthorizedKeys(folder, authorized, s->account_.get());
  mkdir("/run/sshd", 0755);
  Put(folder + "/sshd_config", "Port " + std::to_string(s->port_) + "\nListenAddress 127.0.0.1\nHostKey " +
                                   s->hostKey_ + "\nPidFile " + folder + "/sshd.pid\n" + keys +
                                   "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                                   "Subsystem sftp internal-sftp\n");
  return s->Launch({"/usr/sbin/sshd", "-D", "-e", "-f", folder + "/sshd_config"}, why) ? std::move(s) : nullptr;
}

std::unique_ptr<SshTestServer> SshTestServer::StartPython(const std::string& folder, const PyOptions& o,
                                                          std::string* why) {
  auto s = Prepare(folder, "tester", why);
  if (!s || !s->Launch({"/usr/bin/python3", TWINBAY_TEST_SUPPORT_DIR "/sftp_server.py", std::to_string(s->port_),
                        s->hostKey_, o.refuseList, o.cutList, o.cutRead, o.cutWrite},
                       why))
    return nullptr;
  return s;
}

SshAgent::SshAgent(const std::string& folder, const std::vector<std::string>& keys) {
  socket_ = folder + "/agent.sock";
  pid_ = Spawn({"/usr/bin/ssh-agent", "-D", "-a", socket_}, folder + "/agent.log");
  for (int i = 0; i < 250 && access(socket_.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ok_ = access(socket_.c_str(), F_OK) == 0;
  for (const std::string& k : keys)
    ok_ = ok_ && system(("SSH_AUTH_SOCK='" + socket_ + "' ssh-add -q '" + k + "' 2>/dev/null").c_str()) == 0;
}

SshAgent::~SshAgent() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

}  // namespace twinbay::test
