#include "support/ftp_servers.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace twinbay::test {
namespace {

const std::string kServers = TWINBAY_FTP_SERVERS_DIR, kLibs = kServers + "/usr/lib/x86_64-linux-gnu";

// 100 passive ports of their own for each server kind and test process.
int PassiveBase(int kind) { return 20000 + ((getpid() * 4 + kind) % 400) * 100; }

bool NeedsRoot(const std::string& bin, std::string* why) {
  if (geteuid() == 0 && access(bin.c_str(), X_OK) == 0) return false;
  if (why) *why = bin + " needs root and the program (scripts/setup-deps.sh installs it)";
  return true;
}

}  // namespace

std::unique_ptr<FtpTestServer> FtpTestServer::StartPyftpdlib(const std::string& root, const PyOptions& o,
                                                             std::string* why) {
  char tmpl[] = "/tmp/twinbay-ftpd-XXXXXX";
  const std::string state = mkdtemp(tmpl);
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->argv_ = {"/usr/bin/python3", TWINBAY_TEST_SUPPORT_DIR "/ftp_server.py", root, state + "/port",
              "--idle-timeout", std::to_string(o.idleTimeoutSeconds)};
  const std::string maxLogins = o.maxLogins > 0 ? std::to_string(o.maxLogins) : "";
  for (const auto& [flag, value] : {std::pair{"--refuse-list", o.refuseList}, {"--cut-list", o.cutList},
                                    {"--stall-list", o.stallList}, {"--endless", o.endless}, {"--max-logins", maxLogins}})
    if (!value.empty()) s->argv_.insert(s->argv_.end(), {flag, value});
  for (const auto& [flag, on] : {std::pair{"--hostile", o.hostile}, {"--no-unique", o.noUnique},
                                 {"--refuse-dele", o.refuseDelete}, {"--cut-second-login", o.cutSecondLogin}})
    if (on) s->argv_.push_back(flag);
  s->argv_.insert(s->argv_.end(), o.extraArgs.begin(), o.extraArgs.end());
  s->log_ = state + "/log";
  s->user_ = "tester", s->password_ = "secret", s->dataDir_ = root, s->remoteDir_ = "/";
  return s->Launch(why, "", state + "/port") ? std::move(s) : nullptr;
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartVsftpdWith(const std::string& folder, const std::string* tz,
                                                             std::string* why, const Tls* tls) {
  const passwd* ftp = getpwnam("ftp");
  if (NeedsRoot("/usr/sbin/vsftpd", why) || !ftp) return nullptr;
  const std::string anon = folder + "/anon", conf = folder + "/vsftpd.conf";
  std::filesystem::create_directories(anon + "/pub");
  std::filesystem::create_directories(folder + "/empty");
  chmod(folder.c_str(), 0755);
  chmod(anon.c_str(), 0755);
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->port_ = FreePort();
  const int pasv = 30000 + (getpid() % 250) * 100;
  std::ofstream(conf) << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << s->port_
                      << "\nbackground=NO\nseccomp_sandbox=NO\nsecure_chroot_dir=" << folder
                      << "/empty\npasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" << pasv
                      << "\npasv_max_port=" << pasv + 99
                      << "\nwrite_enable=YES\nlocal_enable=NO\nanonymous_enable=YES\nanon_root=" << anon
                      << "\nno_anon_password=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                         "anon_other_write_enable=YES\nanon_umask=022\nmdtm_write=YES\nvsftpd_log_file="
                      << folder << "/vsftpd.log\nxferlog_enable=YES\nlog_ftp_protocol=YES\nuse_localtime="
                      << (tz ? "YES\nlocal_enable=YES\nchroot_local_user=YES\nallow_writeable_chroot=YES\n"
                               "local_umask=022\npam_service_name=vsftpd\n"
                             : "NO\n");
  if (tls)
    std::ofstream(conf, std::ios::app) << "ssl_enable=YES\nrsa_cert_file=" << tls->certFile
                                       << "\nrsa_private_key_file=" << tls->keyFile
                                       << "\nrequire_ssl_reuse=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                                          "force_anon_data_ssl=YES\nssl_ciphers=HIGH\n"
                                       << (tls->implicit ? "implicit_ssl=YES\n" : "");
  if (tz) {
    s->account_ = std::make_unique<TestAccount>(folder + "/home", why);
    if (!s->account_->ok()) return nullptr;
    s->user_ = s->account_->name, s->password_ = s->account_->password, s->tz_ = *tz;
  }
  s->argv_ = {"/usr/sbin/vsftpd", conf};
  s->log_ = folder + "/stderr.log";
  s->dataDir_ = anon + "/pub", s->remoteDir_ = "/pub";
  s->ownerUid_ = static_cast<int>(ftp->pw_uid), s->ownerGid_ = static_cast<int>(ftp->pw_gid);
  return s->Launch(why) ? std::move(s) : nullptr;
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartTester(const std::vector<std::string>& argv, const std::string& libs,
                                                          int port, const std::string& folder, std::string* why) {
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->argv_ = argv;
  s->libs_ = libs;
  s->log_ = folder + "/stderr.log";
  s->port_ = port;
  s->user_ = "tester", s->password_ = "secret", s->dataDir_ = folder + "/home", s->remoteDir_ = "/";
  s->ownerUid_ = s->ownerGid_ = 65534;
  return s->Launch(why) ? std::move(s) : nullptr;
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartProftpd(const std::string& folder, std::string* why) {
  const std::string bin = kServers + "/usr/sbin/proftpd", run = folder + "/run", conf = folder + "/proftpd.conf";
  if (NeedsRoot(bin, why)) return nullptr;
  std::filesystem::create_directories(run);
  MakeTesterHome(folder, folder + "/passwd", ":/bin/false");
  const int port = FreePort(), pasv = PassiveBase(2);
  std::ofstream(conf) << "ServerType standalone\nDefaultAddress 127.0.0.1\nSocketBindTight on\nPort " << port
                      << "\nUseIPv6 off\nUser nobody\nGroup nogroup\nPidFile " << run << "/proftpd.pid\nScoreboardFile "
                      << run << "/scoreboard\nDelayTable " << run << "/delay\nSystemLog " << run
                      << "/system.log\nWtmpLog off\nUseReverseDNS off\nDelayEngine off\nPassivePorts " << pasv << " "
                      << pasv + 99 << "\nAuthOrder mod_auth_file.c mod_auth_unix.c\nAuthUserFile " << folder
                      << "/passwd\nRequireValidShell off\nUseFtpUsers off\nDefaultRoot ~\nAllowOverwrite on\n"
                         "ModulePath "
                      << kServers << "/usr/lib/proftpd\nLoadModule mod_digest.c\nMaxInstances 60\n";
  return StartTester({bin, "-n", "-q", "-c", conf}, kLibs, port, folder, why);
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartPureFtpd(const std::string& folder, std::string* why,
                                                            int listLimit, int passiveFrom, int passiveTo,
                                                            const Tls* tls) {
  const std::string bin = kServers + "/usr/sbin/pure-ftpd", db = folder + "/pureftpd.pdb";
  if (NeedsRoot(bin, why)) return nullptr;
  MakeTesterHome(folder, folder + "/pureftpd.passwd", "/./::::::::::::");
  if (std::system(("LD_LIBRARY_PATH=" + kLibs + " " + kServers + "/usr/bin/pure-pw mkdb " + db + " -f " + folder +
                   "/pureftpd.passwd > " + folder + "/mkdb.log 2>&1").c_str()) != 0) {
    if (why) *why = "pure-pw mkdb failed: " + ReadFile(folder + "/mkdb.log");
    return nullptr;
  }
  const int port = FreePort(), pasv = PassiveBase(3);
  if (passiveFrom <= 0) passiveFrom = pasv, passiveTo = pasv + 99;
  std::vector<std::string> argv = {bin, "-S", "127.0.0.1," + std::to_string(port), "-l", "puredb:" + db, "-E", "-A",
                                   "-H", "-p", std::to_string(passiveFrom) + ":" + std::to_string(passiveTo), "-P",
                                   "127.0.0.1", "-u", "1"};
  if (tls) {  // pure-ftpd takes the key and the certificate in one file
    const std::string pem = folder + "/pure-ftpd.pem";
    std::ofstream(pem) << ReadFile(tls->keyFile) << ReadFile(tls->certFile);
    chmod(pem.c_str(), 0600);
    argv.insert(argv.end(), {"-Y", "2", "-2", pem});
  }
  if (listLimit > 0) argv.insert(argv.end(), {"-L", std::to_string(listLimit) + ":8"});
  return StartTester(argv, kLibs, port, folder, why);
}

std::unique_ptr<FtpTestServer> FtpTestServer::Start(Kind kind, const std::string& folder, std::string* why) {
  if (kind == Kind::Pyftpdlib) std::filesystem::create_directories(folder + "/root");
  return kind == Kind::Pyftpdlib ? StartPyftpdlib(folder + "/root", PyOptions(), why)
         : kind == Kind::Vsftpd  ? StartVsftpd(folder, why)
         : kind == Kind::Proftpd ? StartProftpd(folder, why)
                                 : StartPureFtpd(folder, why);
}

const char* FtpTestServer::Name(Kind kind) {
  return kind == Kind::Pyftpdlib ? "pyftpdlib" : kind == Kind::Vsftpd ? "vsftpd" : kind == Kind::Proftpd ? "proftpd"
                                                                                                          : "pureftpd";
}

void FtpTestServer::DropSessions() {
  std::vector<pid_t> found{pid_};  // every descendant of the listener, children first
  for (size_t i = 0; i < found.size(); ++i) {
    std::istringstream kids(RunCommand("pgrep -P " + std::to_string(found[i])));
    for (pid_t p; kids >> p;) found.push_back(p);
  }
  for (size_t i = 1; i < found.size(); ++i) kill(found[i], SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

bool MakeTestCertificate(const std::string& folder, const std::string& commonName, FtpTestServer::Tls& out,
                         std::string* why) {
  std::filesystem::create_directories(folder);
  out.certFile = folder + "/cert.pem", out.keyFile = folder + "/key.pem";
  const std::string log = RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + out.keyFile +
                                     "' -out '" + out.certFile + "' -days 30 -subj '/CN=" + commonName + "' 2>&1");
  if (access(out.certFile.c_str(), R_OK) != 0) {
    if (why) *why = "openssl req failed: " + log;
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

void GiveToFtpUser(const std::string& path) {
  if (const passwd* pw = getpwnam("ftp")) GiveTree(path, static_cast<int>(pw->pw_uid), static_cast<int>(pw->pw_gid));
}

}  // namespace twinbay::test
