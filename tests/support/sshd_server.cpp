#include "support/sshd_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace twinbay::test {

bool MakeSshKey(const std::string& path, const std::string& type, const std::string& passphrase) {
  unlink(path.c_str());
  unlink((path + ".pub").c_str());
  return system(("ssh-keygen -q -t " + type + " -N '" + passphrase + "' -f '" + path + "' </dev/null").c_str()) == 0;
}

void SshTestServer::Pause(bool paused) { kill(-pid_, paused ? SIGSTOP : SIGCONT); }

std::string SshTestServer::HostFingerprint() const {
  std::istringstream in(RunCommand("ssh-keygen -lf '" + folder_ + "/host_ed25519.pub'"));
  std::string bits, fingerprint;
  in >> bits >> fingerprint;
  return fingerprint;
}

std::string SshTestServer::KnownHostsLine() const {
  std::istringstream in(ReadFile(folder_ + "/host_ed25519.pub"));
  std::string type, key;
  in >> type >> key;
  return "[127.0.0.1]:" + std::to_string(port_) + " " + type + " " + key + "\n";
}

SftpSettings SshTestServer::ClientSettings() const {
  SftpSettings s;
  s.host = "127.0.0.1", s.port = port_, s.user = user_, s.useAgent = false;
  if (user_ == "tester") s.password = "secret";
  else s.keyFile = ClientKey();
  s.knownHosts = folder_ + "/known_hosts";
  std::ofstream(s.knownHosts) << KnownHostsLine();
  return s;
}

std::unique_ptr<SshTestServer> SshTestServer::Prepare(const std::string& folder, const std::string& user,
                                                      std::string* why) {
  std::unique_ptr<SshTestServer> s(new SshTestServer);
  s->folder_ = folder, s->port_ = FreePort(), s->user_ = user, s->log_ = folder + "/server.log";
  if (MakeSshKey(folder + "/host_ed25519", "ed25519")) return s;
  if (why) *why = "ssh-keygen failed";
  return nullptr;
}

std::unique_ptr<SshTestServer> SshTestServer::StartSshd(const std::string& folder, std::string* why,
                                                        const std::vector<std::string>& moreKeys, Login login) {
  auto s = Prepare(folder, "root", why);
  if (!s || !MakeSshKey(s->ClientKey(), "ed25519")) return nullptr;
  std::string authorized = ReadFile(s->ClientKey() + ".pub"), keys = folder + "/authorized_keys";
  for (const std::string& k : moreKeys) authorized += ReadFile(k);
  std::string config = "AuthorizedKeysFile " + keys + "\nStrictModes no\nPermitRootLogin prohibit-password\n";
  if (login == Login::Account) {  // the account's own ~/.ssh, strict modes on
    s->account_ = std::make_unique<TestAccount>(folder + "/home", why);
    if (!s->account_->ok()) return nullptr;
    s->user_ = s->account_->name, s->ownerUid_ = s->account_->uid, s->ownerGid_ = s->account_->gid;
    chmod(folder.c_str(), 0755);
    mkdir((folder + "/home/.ssh").c_str(), 0700);
    keys = folder + "/home/.ssh/authorized_keys";
    config.clear();
  }
  std::ofstream(keys) << authorized;
  chmod(keys.c_str(), 0600);
  if (s->account_) s->Own(folder + "/home/.ssh");
  mkdir("/run/sshd", 0755);
  std::ofstream(folder + "/sshd_config") << "Port " << s->port_ << "\nListenAddress 127.0.0.1\nHostKey " << folder
                                         << "/host_ed25519\nPidFile " << folder << "/sshd.pid\n" << config
                                         << "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                                            "Subsystem sftp internal-sftp\n";
  s->argv_ = {"/usr/sbin/sshd", "-D", "-e", "-f", folder + "/sshd_config"};
  return s->Launch(why, "SSH-") ? std::move(s) : nullptr;
}

std::unique_ptr<SshTestServer> SshTestServer::StartPython(const std::string& folder, const PyOptions& o,
                                                          std::string* why) {
  auto s = Prepare(folder, "tester", why);
  if (s)
    s->argv_ = {"/usr/bin/python3", TWINBAY_TEST_SUPPORT_DIR "/sftp_server.py", std::to_string(s->port_),
                folder + "/host_ed25519", o.refuseList, o.cutList, o.cutRead, o.cutWrite, o.hashes};
  return s && s->Launch(why, "SSH-") ? std::move(s) : nullptr;
}

std::unique_ptr<SshTestServer> SshTestServer::StartProftpd(const std::string& folder, std::string* why) {
  const std::string servers = TWINBAY_FTP_SERVERS_DIR, bin = servers + "/usr/sbin/proftpd", run = folder + "/run";
  if (geteuid() != 0 || access(bin.c_str(), X_OK) != 0) {
    if (why) *why = bin + " needs root and the program (scripts/setup-deps.sh unpacks it)";
    return nullptr;
  }
  auto s = Prepare(folder, "tester", why);
  if (!s || mkdir(run.c_str(), 0755) != 0) return nullptr;
  MakeTesterHome(folder, folder + "/passwd", ":/bin/false");
  s->home_ = true, s->ownerUid_ = s->ownerGid_ = 65534;
  std::ofstream(folder + "/proftpd.conf")
      << "ServerType standalone\nDefaultAddress 127.0.0.1\nSocketBindTight on\nPort " << s->port_
      << "\nUseIPv6 off\nUser nobody\nGroup nogroup\nPidFile " << run << "/proftpd.pid\nScoreboardFile " << run
      << "/scoreboard\nDelayTable " << run << "/delay\nSystemLog " << run
      << "/system.log\nWtmpLog off\nUseReverseDNS off\nDelayEngine off\nAuthOrder mod_auth_file.c\nAuthUserFile "
      << folder << "/passwd\nRequireValidShell off\nUseFtpUsers off\nAllowOverwrite on\nModulePath " << servers
      << "/usr/lib/proftpd\nLoadModule mod_sftp.c\nSFTPEngine on\nSFTPLog " << run << "/sftp.log\nSFTPHostKey "
      << folder << "/host_ed25519\nMaxInstances 60\n";
  s->argv_ = {bin, "-n", "-q", "-c", folder + "/proftpd.conf"}, s->libs_ = servers + "/usr/lib/x86_64-linux-gnu";
  if (!s->Launch(why, "SSH-")) return nullptr;
  s->log_ = run + "/sftp.log";  // what Log() shows: the SFTP log (each channel request)
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

}  // namespace twinbay::test
