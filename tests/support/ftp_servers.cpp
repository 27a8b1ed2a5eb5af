#include "support/ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
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
namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (log >= 0) {
    dup2(log, 1);
    dup2(log, 2);
  }
  const int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool CanConnect(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool Exited(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == pid;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

FtpTestServer::~FtpTestServer() { Stop(); }

void FtpTestServer::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100 && !Exited(pid_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (kill(pid_, 0) == 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

std::string FtpTestServer::Url() const { return "ftp://127.0.0.1:" + std::to_string(port_); }

std::unique_ptr<FtpTestServer> FtpTestServer::StartPyftpdlib(const std::string& root, const PyOptions& o,
                                                             std::string* why) {
  if (access("/usr/bin/python3", X_OK) != 0) {
    if (why) *why = "/usr/bin/python3 is missing";
    return nullptr;
  }
  char tmpl[] = "/tmp/twinbay-ftpd-XXXXXX";
  const std::string state = mkdtemp(tmpl);
  const std::string portFile = state + "/port";
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   std::string(TWINBAY_TEST_SUPPORT_DIR) + "/ftp_server.py",
                                   root,
                                   portFile,
                                   "--user",
                                   o.user + ":" + o.password,
                                   "--idle-timeout",
                                   std::to_string(o.idleTimeoutSeconds)};
  if (o.hostile) argv.push_back("--hostile");
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->pid_ = Spawn(argv, state + "/log");
  s->user_ = o.user;
  s->password_ = o.password;
  for (int i = 0; i < 500; ++i) {
    const std::string port = Slurp(portFile);
    if (!port.empty()) {
      s->port_ = std::stoi(port);
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
  const passwd* pw = getpwnam("ftp");
  if (!pw) return;
  std::error_code ec;
  chown(path.c_str(), pw->pw_uid, pw->pw_gid);
  for (auto& e : std::filesystem::recursive_directory_iterator(path, ec))
    lchown(e.path().c_str(), pw->pw_uid, pw->pw_gid);
}

std::unique_ptr<FtpTestServer> FtpTestServer::StartVsftpd(const std::string& folder, std::string* why) {
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
                         "anon_other_write_enable=YES\nanon_umask=022\nuse_localtime=NO\nmdtm_write=YES\n"
                         "vsftpd_log_file="
                      << folder << "/vsftpd.log\nlog_ftp_protocol=YES\n";
  std::unique_ptr<FtpTestServer> s(new FtpTestServer);
  s->pid_ = Spawn({"/usr/sbin/vsftpd", conf}, folder + "/stderr.log");
  s->port_ = port;
  for (int i = 0; i < 250; ++i) {
    if (CanConnect(port)) return s;
    if (Exited(s->pid_)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (why) *why = "vsftpd did not start: " + Slurp(folder + "/stderr.log");
  s->Stop();
  return nullptr;
}

}  // namespace twinbay::test
