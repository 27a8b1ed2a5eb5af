// What test servers share: a process on a loopback port, commands, logins.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace twinbay::test {

// Starts argv[0] (a full path) in a process group of its own, its output into
// logFile, with LD_LIBRARY_PATH and TZ set where given.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile,
            const std::string& libraryPath = std::string(), const std::string& tz = std::string());
// Ends what Spawn started (its whole process group, stopped or not): SIGTERM,
// then SIGKILL after 2 s.
void StopGroup(pid_t pid);
// A port on 127.0.0.1 that was free a moment ago.
int FreePort();
// The output of a /bin/sh command, without its last line break.
std::string RunCommand(const std::string& command);
// Gives path and everything below it (links themselves) to uid and gid.
void GiveTree(const std::string& path, int uid, int gid);
// A SHA-512 crypt hash (the servers' own tools would make slow argon2 ones).
std::string CryptHash(const std::string& password);
// The home of "tester" (nobody, 65534; 0755) below an open folder, and the
// password file naming it (root's only), its line ending in the server's own `after`.
void MakeTesterHome(const std::string& folder, const std::string& passwdFile, const std::string& after);

// A throw-away login account (needs root), as a real host has one: a password
// of its own, its home folder 0755 and its own. Removed with the object.
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

// A Secret Service of its own: gnome-keyring-daemon with an unlocked login
// keyring in `folder`, on a private session bus that DBUS_SESSION_BUS_ADDRESS
// names while the object lives (kNoSessionBus after).
class PrivateKeyring {
 public:
  explicit PrivateKeyring(const std::string& folder);
  ~PrivateKeyring();
  PrivateKeyring(const PrivateKeyring&) = delete;
  PrivateKeyring& operator=(const PrivateKeyring&) = delete;
  bool ok() const { return ok_; }
  const std::string& log() const { return log_; }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
  std::string log_;
};

// A server program on 127.0.0.1 with its login, stopped with the object.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }
  int port() const { return port_; }
  const std::string& user() const { return user_; }
  // Gives path and what is below it to the account the server serves as.
  void Own(const std::string& path) const;
  void Stop();

 protected:
  // Starts argv_ (as Spawn does, output into log_); true once it listens on
  // port_, greeting with `greeting` (with `portFile`: the port it writes
  // there), false (the log as reason) if it ends first or 10 s pass.
  bool Launch(std::string* why, const std::string& greeting = "", const std::string& portFile = "");
  std::vector<std::string> argv_;
  std::string log_, libs_, tz_, user_;
  pid_t pid_ = -1;
  int port_ = 0, ownerUid_ = -1, ownerGid_ = -1;
  std::unique_ptr<TestAccount> account_;  // a login made for the server
};

}  // namespace twinbay::test
