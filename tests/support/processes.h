// What the test servers' start-up shares: starting a program with its output
// in a log, a free loopback port, whether a server listens or has ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace twinbay::test {

// Starts argv[0] (a full path) in a process group of its own, stdout and
// stderr into logFile, with LD_LIBRARY_PATH and TZ set where given.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile,
            const std::string& libraryPath = std::string(), const std::string& tz = std::string());
// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// True when something accepts a connection on 127.0.0.1:port (and, where a
// greeting is given, its first bytes are that).
bool CanConnect(int port, const std::string& greeting = std::string());
// True once the child has ended (and reaps it).
bool Exited(pid_t pid);
// A whole file, or "" when it cannot be read.
std::string Slurp(const std::string& path);
// Waits (10 s at most) until 127.0.0.1:port answers as CanConnect checks;
// false when the process ended first or the time ran out.
bool WaitUntilListening(pid_t pid, int port, const std::string& greeting = std::string());
// Ends what Spawn started (its whole process group, stopped or not): SIGTERM,
// then SIGKILL after 2 s.
void StopGroup(pid_t pid);
// The standard output of a command run through /bin/sh, without its last
// line break.
std::string RunCommand(const std::string& command);
// Gives path and everything below it (links themselves) to uid and gid.
void GiveTree(const std::string& path, int uid, int gid);
// A SHA-512 crypt hash of a password (the servers' own tools would make slow
// argon2 hashes).
std::string CryptHash(const std::string& password);

// A throw-away login account of this process (needs root), as a real host
// has one: a password of its own, its home folder 0755 and its own. Removed
// with the object.
struct TestAccount {
  TestAccount(const std::string& home, std::string* why);
  ~TestAccount();
  TestAccount(const TestAccount&) = delete;
  TestAccount& operator=(const TestAccount&) = delete;
  bool ok() const { return uid >= 0; }
  void Own(const std::string& path) const { GiveTree(path, uid, gid); }
  std::string name, password;
  int uid = -1, gid = -1;
};

}  // namespace twinbay::test
