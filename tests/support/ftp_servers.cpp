#include "support/ftp_servers.h"

#include "support/processes.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef TWINBAY_TEST_SUPPORT_DIR
#error "TWINBAY_TEST_SUPPORT_DIR must be defined"
#endif

namespace twinbay::test {

FtpTestServer::~FtpTestServer() { Stop(); }

void FtpTestServer::Stop() {
  StopGroup(pid_);
  pid_ = -1;
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartPyftpdlib(const std::string& root, const PyOptions& o,
                                                             std::string* why) {
  if (access("/usr/bin/python3", X_OK) != 0) {
    if (why) *why = "/usr/bin/python3 is missing";
    return nullptr;
  }
  char tmpl[] = "/tmp/twinbay-ftpd-XXXXXX";
  const std::string state = mkdtemp(tmpl);
  const std::string portFile = state + "/port";
  std::vector<std::string> argv = {"/usr/bin/python3", TWINBAY_TEST_SUPPORT_DIR "/ftp_server.py", root, portFile,
                                   "--user", o.user + ":" + o.password, "--idle-timeout",
                                   std::to_string(o.idleTimeoutSeconds)};
  const std::string maxLogins = o.maxLogins > 0 ? std::to_string(o.maxLogins) : "";
  for (const auto& [flag, value] : {std::pair{"--refuse-list", o.refuseList}, {"--cut-list", o.cutList},
                                    {"--stall-list", o.stallList}, {"--endless", o.endless}, {"--max-logins", maxLogins}})
    if (!value.empty()) argv.insert(argv.end(), {flag, value});
  for (const auto& [flag, on] : {std::pair{"--hostile", o.hostile}, {"--no-unique", o.noUnique},
                                 {"--refuse-dele", o.refuseDelete}, {"--cut-second-login", o.cutSecondLogin}})
    if (on) argv.push_back(flag);
  argv.insert(argv.end(), o.extraArgs.begin(), o.extraArgs.end());
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->pid_ = Spawn(argv, state + "/log");
  s->user_ = o.user;
  s->password_ = o.password;
  for (int i = 0; i < 500; ++i) {
    const std::string port = Slurp(portFile);
    if (!port.empty()) {
      s->port_ = std::stoi(port);
      s->dataDir_ = root;
      s->remoteDir_ = "/";
      return s;
    }
    if (Exited(s->pid_)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (why) *why = "pyftpdlib did not start: " + Slurp(state + "/log");
  s->Stop();
  return nullptr;
}

void GiveToFtpUser(const std::string& path) {
  if (const passwd* pw = getpwnam("ftp")) GiveTree(path, static_cast<int>(pw->pw_uid), static_cast<int>(pw->pw_gid));
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartVsftpd(const std::string& folder, std::string* why,
                                                          const Tls* tls) {
  return StartVsftpdWith(folder, false, {}, why, tls);
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartVsftpdLocalTime(const std::string& folder, const std::string& tz,
                                                                  std::string* why) {
  return StartVsftpdWith(folder, true, tz, why);
}

void FtpTestServer::DropSessions() {
  if (pid_ <= 0) return;
  // Every descendant of the listener, found through /proc (children first
  // found, then theirs).
  std::vector<pid_t> found{pid_};
  for (size_t i = 0; i < found.size(); ++i) {
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string n = e.path().filename();
      if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = Slurp(e.path().string() + "/stat");
      const size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 2));
      char state;
      pid_t ppid = 0;
      rest >> state >> ppid;
      if (ppid == found[i]) found.push_back(static_cast<pid_t>(std::stol(n)));
    }
  }
  for (size_t i = 1; i < found.size(); ++i) kill(found[i], SIGKILL);
  for (size_t i = 1; i < found.size(); ++i) waitpid(found[i], nullptr, WNOHANG);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartVsftpdWith(const std::string& folder, bool localTime,
                                                             const std::string& tz, std::string* why,
                                                             const Tls* tls) {
  if (geteuid() != 0 || access("/usr/sbin/vsftpd", X_OK) != 0 || !getpwnam("ftp")) {
    if (why) *why = "vsftpd needs root, /usr/sbin/vsftpd and the ftp account";
    return nullptr;
  }
  const std::string anon = folder + "/anon", empty = folder + "/empty", conf = folder + "/vsftpd.conf";
  std::filesystem::create_directories(anon + "/pub");
  std::filesystem::create_directories(empty);
  chmod(folder.c_str(), 0755);
  chmod(anon.c_str(), 0755);
  const int port = FreePort();
  const int pasvBase = 30000 + (getpid() % 250) * 100;
  std::ofstream(conf) << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
                      << "\nbackground=NO\nseccomp_sandbox=NO\nsecure_chroot_dir=" << empty
                      << "\npasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" << pasvBase
                      << "\npasv_max_port=" << pasvBase + 99
                      << "\nwrite_enable=YES\nlocal_enable=NO\nanonymous_enable=YES\nanon_root=" << anon
                      << "\nno_anon_password=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                         "anon_other_write_enable=YES\nanon_umask=022\nmdtm_write=YES\n"
                      << (localTime ? "local_enable=YES\nchroot_local_user=YES\nallow_writeable_chroot=YES\n"
                                      "local_umask=022\npam_service_name=vsftpd\n"
                                    : "")
                      << "use_localtime=" << (localTime ? "YES" : "NO") << "\nvsftpd_log_file="
                      << folder << "/vsftpd.log\nxferlog_enable=YES\nlog_ftp_protocol=YES\n";
  if (tls)
    std::ofstream(conf, std::ios::app) << "ssl_enable=YES\nrsa_cert_file=" << tls->certFile
                                       << "\nrsa_private_key_file=" << tls->keyFile
                                       << "\nrequire_ssl_reuse=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                                          "force_anon_data_ssl=YES\nssl_ciphers=HIGH\n"
                                       << (tls->implicit ? "implicit_ssl=YES\n" : "");
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  if (localTime) {
    s->account_ = std::make_unique<TestAccount>(folder + "/home", why);
    if (!s->account_->ok()) return nullptr;
    s->user_ = s->account_->name;
    s->password_ = s->account_->password;
  }
  s->argv_ = {"/usr/sbin/vsftpd", conf};
  s->log_ = folder + "/stderr.log";
  s->tz_ = tz;
  s->port_ = port;
  s->dataDir_ = anon + "/pub";
  s->remoteDir_ = "/pub";
  if (const passwd* pw = getpwnam("ftp")) {
    s->ownerUid_ = static_cast<int>(pw->pw_uid);
    s->ownerGid_ = static_cast<int>(pw->pw_gid);
  }
  if (s->Restart()) return s;
  if (why) *why = "vsftpd did not start: " + Slurp(folder + "/stderr.log");
  s->Stop();
  return nullptr;
}

namespace {

const char* ServersDir() { return TWINBAY_FTP_SERVERS_DIR; }

// 100 passive ports of their own for each server kind and test process.
int PassiveBase(int kind) { return 20000 + ((getpid() * 4 + kind) % 400) * 100; }

// The home folder of the account "tester" (run as nobody, 65534) below an
// open folder, and the password file naming it, readable by root only. The
// line ends in after, which differs between the servers' file formats.
void MakeTesterHome(const std::string& folder, const std::string& home, const std::string& passwdFile,
                    const std::string& after) {
  std::filesystem::create_directories(home);
  chmod(folder.c_str(), 0755);
  chown(home.c_str(), 65534, 65534);
  {
    std::ofstream f(passwdFile);
    f << "tester:" << CryptHash("secret") << ":65534:65534::" << home << after << "\n";
  }
  chmod(passwdFile.c_str(), 0600);
}

}  // namespace

std::unique_ptr<FtpTestServer> FtpTestServer::StartTester(const std::vector<std::string>& argv, const std::string& libs,
                                                          int port, const std::string& folder, std::string* why) {
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->pid_ = Spawn(argv, folder + "/stderr.log", libs);
  s->port_ = port;
  s->user_ = "tester";
  s->password_ = "secret";
  s->dataDir_ = folder + "/home";
  s->remoteDir_ = "/";
  s->ownerUid_ = s->ownerGid_ = 65534;
  if (WaitUntilListening(s->pid_, port)) return s;
  if (why) *why = argv[0] + " did not start: " + Slurp(folder + "/stderr.log");
  return nullptr;
}

void FtpTestServer::Own(const std::string& path) const {
  if (ownerUid_ >= 0 && geteuid() == 0) GiveTree(path, ownerUid_, ownerGid_);
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartProftpd(const std::string& folder, std::string* why) {
  const std::string dir = ServersDir();
  const std::string bin = dir + "/usr/sbin/proftpd";
  if (geteuid() != 0 || access(bin.c_str(), X_OK) != 0) {
    if (why) *why = "proftpd needs root and " + bin + " (scripts/setup-deps.sh unpacks it)";
    return nullptr;
  }
  const std::string home = folder + "/home", run = folder + "/run", conf = folder + "/proftpd.conf";
  std::filesystem::create_directories(run);
  MakeTesterHome(folder, home, folder + "/passwd", ":/bin/false");
  const int port = FreePort();
  const int pasv = PassiveBase(2);
  std::ofstream(conf) << "ServerType standalone\nDefaultAddress 127.0.0.1\nSocketBindTight on\nPort " << port
                      << "\nUseIPv6 off\nUser nobody\nGroup nogroup\nPidFile " << run << "/proftpd.pid\nScoreboardFile "
                      << run << "/scoreboard\nDelayTable " << run << "/delay\nSystemLog " << run
                      << "/system.log\nWtmpLog off\nUseReverseDNS off\nDelayEngine off\nPassivePorts " << pasv << " "
                      << pasv + 99 << "\nAuthOrder mod_auth_file.c mod_auth_unix.c\nAuthUserFile " << folder
                      << "/passwd\nRequireValidShell off\nUseFtpUsers off\nDefaultRoot ~\nAllowOverwrite on\n"
                         "ModulePath "
                      << dir << "/usr/lib/proftpd\nMaxInstances 60\n";
  return StartTester({bin, "-n", "-q", "-c", conf}, dir + "/usr/lib/x86_64-linux-gnu", port, folder, why);
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartPureFtpd(const std::string& folder, std::string* why,
                                                            int listLimit, int passiveFrom, int passiveTo,
                                                            const Tls* tls) {
  const std::string dir = ServersDir();
  const std::string bin = dir + "/usr/sbin/pure-ftpd", pw = dir + "/usr/bin/pure-pw";
  const std::string libs = dir + "/usr/lib/x86_64-linux-gnu";
  if (geteuid() != 0 || access(bin.c_str(), X_OK) != 0) {
    if (why) *why = "pure-ftpd needs root and " + bin + " (scripts/setup-deps.sh unpacks it)";
    return nullptr;
  }
  const std::string home = folder + "/home";
  MakeTesterHome(folder, home, folder + "/pureftpd.passwd", "/./::::::::::::");
  const std::string mkdb = "LD_LIBRARY_PATH=" + libs + " " + pw + " mkdb " + folder + "/pureftpd.pdb -f " + folder +
                           "/pureftpd.passwd > " + folder + "/mkdb.log 2>&1";
  if (std::system(mkdb.c_str()) != 0) {
    if (why) *why = "pure-pw mkdb failed: " + Slurp(folder + "/mkdb.log");
    return nullptr;
  }
  const int port = FreePort();
  const int pasv = PassiveBase(3);
  const std::string range = passiveFrom > 0 ? std::to_string(passiveFrom) + ":" + std::to_string(passiveTo)
                                            : std::to_string(pasv) + ":" + std::to_string(pasv + 99);
  std::vector<std::string> argv = {bin, "-S", "127.0.0.1," + std::to_string(port), "-l",
                                   "puredb:" + folder + "/pureftpd.pdb", "-E", "-A", "-H", "-p", range, "-P",
                                   "127.0.0.1", "-u", "1"};
  if (tls) {
    // pure-ftpd takes the key and the certificate in one file.
    const std::string pem = folder + "/pure-ftpd.pem";
    std::ofstream(pem) << Slurp(tls->keyFile) << Slurp(tls->certFile);
    chmod(pem.c_str(), 0600);
    argv.insert(argv.end(), {"-Y", "2", "-2", pem});
  }
  if (listLimit > 0) {
    argv.push_back("-L");
    argv.push_back(std::to_string(listLimit) + ":8");
  }
  return StartTester(argv, libs, port, folder, why);
}

std::unique_ptr<FtpTestServer> FtpTestServer::Start(Kind kind, const std::string& folder, std::string* why) {
  switch (kind) {
    case Kind::Pyftpdlib: {
      const std::string root = folder + "/root";
      std::filesystem::create_directories(root);
      return StartPyftpdlib(root, PyOptions(), why);
    }
    case Kind::Vsftpd: return StartVsftpd(folder, why);
    case Kind::Proftpd: return StartProftpd(folder, why);
    case Kind::PureFtpd: return StartPureFtpd(folder, why);
  }
  return nullptr;
}

bool MakeTestCertificate(const std::string& folder, const std::string& commonName, FtpTestServer::Tls& out,
                         std::string* why) {
  std::filesystem::create_directories(folder);
  out.certFile = folder + "/cert.pem";
  out.keyFile = folder + "/key.pem";
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + out.keyFile + "' -out '" +
                          out.certFile + "' -days 30 -subj '/CN=" + commonName + "' > '" + folder +
                          "/openssl.log' 2>&1";
  if (std::system(cmd.c_str()) != 0 || access(out.certFile.c_str(), R_OK) != 0) {
    if (why) *why = "openssl req failed: " + Slurp(folder + "/openssl.log");
    return false;
  }
  chmod(out.keyFile.c_str(), 0600);
  return true;
}

std::string OpensslFingerprint(const std::string& certFile) {
  const std::string out = RunCommand("openssl x509 -noout -fingerprint -sha256 -in '" + certFile + "'");
  const size_t eq = out.find('=');
  return eq == std::string::npos ? std::string() : out.substr(eq + 1);
}

const char* FtpTestServer::Name(Kind kind) {
  switch (kind) {
    case Kind::Pyftpdlib: return "pyftpdlib";
    case Kind::Vsftpd: return "vsftpd";
    case Kind::Proftpd: return "proftpd";
    case Kind::PureFtpd: return "pureftpd";
  }
  return "?";
}

bool FtpTestServer::Restart() {
  if (argv_.empty()) return false;
  Stop();
  pid_ = Spawn(argv_, log_, {}, tz_);
  return WaitUntilListening(pid_, port_);
}

}  // namespace twinbay::test
