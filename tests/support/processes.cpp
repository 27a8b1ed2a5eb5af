#include "support/processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace twinbay::test {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Something accepts a connection on the port (and greets with `greeting`).
bool CanConnect(int port, const std::string& greeting) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  std::string got(greeting.size(), '\0');
  ok = ok && read(s, got.data(), got.size()) == static_cast<ssize_t>(got.size()) && got == greeting;
  close(s);
  return ok;
}

bool Exited(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == pid; }
void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile, const std::string& libraryPath,
            const std::string& tz) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (!libraryPath.empty()) setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
  if (!tz.empty()) setenv("TZ", tz.c_str(), 1);
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(log, 1);
  dup2(log, 2);
  dup2(open("/dev/null", O_RDONLY), 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

void StopGroup(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGCONT);
  kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && !Exited(pid); ++i) Pause();
  if (kill(pid, 0) == 0) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void GiveTree(const std::string& path, int uid, int gid) {
  std::error_code ec;
  lchown(path.c_str(), uid, gid);
  if (std::filesystem::is_directory(path))
    for (auto& e : std::filesystem::recursive_directory_iterator(path, ec)) lchown(e.path().c_str(), uid, gid);
}

std::string CryptHash(const std::string& password) { return RunCommand("openssl passwd -6 '" + password + "'"); }

void MakeTesterHome(const std::string& folder, const std::string& passwdFile, const std::string& after) {
  std::filesystem::create_directories(folder + "/home");
  chmod(folder.c_str(), 0755);
  chmod((folder + "/home").c_str(), 0755);
  chown((folder + "/home").c_str(), 65534, 65534);
  std::ofstream(passwdFile) << "tester:" << CryptHash("secret") << ":65534:65534::" << folder << "/home" << after << "\n";
  chmod(passwdFile.c_str(), 0600);
}

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
  uid = static_cast<int>(pw->pw_uid), gid = static_cast<int>(pw->pw_gid);
  chown(home.c_str(), uid, gid);
  chmod(home.c_str(), 0755);
}

TestAccount::~TestAccount() {
  if (ok()) RunCommand("userdel " + name + " 2>&1");
}

PrivateKeyring::PrivateKeyring(const std::string& f) : log_(f + "/log") {
  std::filesystem::create_directories(f + "/run");
  chmod((f + "/run").c_str(), 0700);
  // A bus that starts nothing on demand: only this keyring answers on it.
  WriteFile(f + "/bus.conf", "<busconfig><type>session</type><listen>unix:dir=" + f + "</listen><policy "
            "context=\"default\"><allow send_destination=\"*\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
            "</busconfig>", 0);
  WriteFile(f + "/run.sh", "export HOME=" + f + " XDG_DATA_HOME=" + f + " XDG_CONFIG_HOME=" + f + " XDG_RUNTIME_DIR=" + f +
            "/run; unset DISPLAY WAYLAND_DISPLAY\nprintf unlock | gnome-keyring-daemon --foreground --components=secrets "
            "--unlock &\nuntil dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
            "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | grep -q true; do sleep 0.05; done\n"
            "echo \"$DBUS_SESSION_BUS_ADDRESS\" >" + f + "/a && mv " + f + "/a " + f + "/address\n"
            "while kill -0 " + std::to_string(getpid()) + "; do sleep 1; done; kill 0\n", 0);  // gone with the test
  pid_ = Spawn({"/usr/bin/dbus-run-session", "--config-file=" + f + "/bus.conf", "--", "/bin/sh", f + "/run.sh"}, log_);
  for (int i = 0; i < 500 && !ok_ && !Exited(pid_); ++i, Pause()) ok_ = !ReadFile(f + "/address").empty();
  if (ok_) setenv("DBUS_SESSION_BUS_ADDRESS", RunCommand("cat " + f + "/address").c_str(), 1);
}

PrivateKeyring::~PrivateKeyring() {
  setenv("DBUS_SESSION_BUS_ADDRESS", kNoSessionBus, 1);
  StopGroup(pid_);
}

void ServerProcess::Stop() {
  StopGroup(pid_);
  pid_ = -1;
}

void ServerProcess::Own(const std::string& path) const {
  if (ownerUid_ >= 0 && geteuid() == 0) GiveTree(path, ownerUid_, ownerGid_);
}

bool ServerProcess::Launch(std::string* why, const std::string& greeting, const std::string& portFile) {
  pid_ = Spawn(argv_, log_, libs_, tz_);
  for (int i = 0; i < 500; ++i) {
    if (!portFile.empty() && !ReadFile(portFile).empty()) port_ = std::stoi(ReadFile(portFile));
    if (port_ > 0 && CanConnect(port_, greeting)) return true;
    if (Exited(pid_)) break;
    Pause();
  }
  if (why) *why = argv_[0] + " did not start: " + ReadFile(log_);
  Stop();
  return false;
}

}  // namespace twinbay::test
