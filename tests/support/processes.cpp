#include "support/processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace twinbay::test {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile,
            const std::string& libraryPath, const std::string& tz) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (!libraryPath.empty()) setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
  if (!tz.empty()) setenv("TZ", tz.c_str(), 1);
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

bool CanConnect(int port, const std::string& greeting) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (ok && !greeting.empty()) {
    std::string got(greeting.size(), '\0');
    ok = read(s, got.data(), got.size()) == static_cast<ssize_t>(got.size()) && got == greeting;
  }
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

bool WaitUntilListening(pid_t pid, int port, const std::string& greeting) {
  for (int i = 0; i < 500; ++i) {
    if (CanConnect(port, greeting)) return true;
    if (Exited(pid)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void StopGroup(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGCONT);
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && !Exited(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (kill(pid, 0) == 0) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string CryptHash(const std::string& password) { return RunCommand("openssl passwd -6 '" + password + "'"); }

TestAccount::TestAccount(const std::string& home, std::string* why) {
  static int count = 0;
  name = "twb" + std::to_string(getpid()) + "x" + std::to_string(count++);
  password = "pw" + std::to_string(getpid() * 7919 + count);
  std::filesystem::create_directories(home);
  const std::string add = "useradd -M -N -s /bin/sh -d '" + home + "' -p '" + CryptHash(password) + "' " + name;
  std::string log;
  // useradd gives up while another process holds the account files' lock.
  for (int i = 0; i < 20 && !getpwnam(name.c_str()); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = RunCommand(add + " 2>&1");
  }
  const passwd* pw = getpwnam(name.c_str());
  if (!pw) {
    if (why) *why = "useradd failed: " + log;
    return;
  }
  uid = static_cast<int>(pw->pw_uid);
  gid = static_cast<int>(pw->pw_gid);
  chown(home.c_str(), uid, gid);
  chmod(home.c_str(), 0755);
}

TestAccount::~TestAccount() {
  if (ok()) RunCommand("userdel " + name + " 2>&1");
}

void GiveTree(const std::string& path, int uid, int gid) {
  std::error_code ec;
  lchown(path.c_str(), uid, gid);
  if (std::filesystem::is_directory(path))
    for (auto& e : std::filesystem::recursive_directory_iterator(path, ec)) lchown(e.path().c_str(), uid, gid);
}

}  // namespace twinbay::test
