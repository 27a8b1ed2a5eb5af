#include "support/processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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

}  // namespace twinbay::test
