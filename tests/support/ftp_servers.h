// Real FTP servers for integration tests: started on 127.0.0.1 with an
// ephemeral port over a temporary root, stopped by pid when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "net/file_system.h"
#include "support/processes.h"

namespace twinbay::test {

class FtpTestServer {
 public:
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  // A server certificate for TLS (PEM files).
  struct Tls {
    std::string certFile, keyFile;
    bool implicit = false;  // vsftpd only: TLS from the first byte
  };

  struct PyOptions {
    bool hostile = false;
    // Test modes: a folder of this name refuses to be listed (550), cuts the
    // connection when listed, or never finishes its listing; listings leave
    // out the MLSD "unique" fact.
    std::string refuseList, cutList, stallList;
    // Below a folder of this name, every path of sub-folders named "d" leads
    // back to it: a tree without end.
    std::string endless;
    bool noUnique = false;
    // Every DELE is refused (550).
    bool refuseDelete = false;
    // More connections than this at once are refused (421); 0: no limit.
    int maxLogins = 0;
    // The connection that logs in second is cut on its third listing and on
    // its third transfer.
    bool cutSecondLogin = false;
    double idleTimeoutSeconds = 300;
    std::string user = "tester";
    std::string password = "secret";
    // Further switches of ftp_server.py, such as "--truncate-downloads".
    std::vector<std::string> extraArgs;
  };
  // pyftpdlib (MLSD, MFMT, MDTM): the user and anonymous both see `root`
  // with full rights. Null (with a reason) when it cannot start.
  static std::unique_ptr<FtpTestServer> StartPyftpdlib(const std::string& root, const PyOptions& options,
                                                       std::string* why = nullptr);
  // vsftpd (LIST only, times in UTC), anonymous only. The anonymous root is
  // `folder`/anon (read-only, as vsftpd demands); `folder`/anon/pub is
  // writable. Needs root; null (with a reason) otherwise.
  // With `tls`, TLS is required for the login and the data (anonymous too),
  // and data connections must resume the control connection's TLS session.
  static std::unique_ptr<FtpTestServer> StartVsftpd(const std::string& folder, std::string* why = nullptr,
                                                    const Tls* tls = nullptr);
  // proftpd and pure-ftpd, unpacked by scripts/setup-deps.sh: user `tester`
  // with password `secret`, chrooted to `folder`/home. pure-ftpd keeps its
  // default listing limit (10,000 entries) unless another one is given.
  static std::unique_ptr<FtpTestServer> StartProftpd(const std::string& folder, std::string* why = nullptr);
  // A benchmark gives it a wide passive range (passiveFrom:passiveTo), so that
  // thousands of data connections do not run into ports in TIME_WAIT.
  // With `tls`, pure-ftpd refuses logins without TLS (-Y 2).
  static std::unique_ptr<FtpTestServer> StartPureFtpd(const std::string& folder, std::string* why = nullptr,
                                                      int listLimit = 0, int passiveFrom = 0, int passiveTo = 0,
                                                      const Tls* tls = nullptr);

  // The four servers behind one call, for tests that run on each: the server
  // serves the local folder DataDir() as the remote folder RemoteDir(), to
  // user() (empty for vsftpd: anonymous).
  enum class Kind { Pyftpdlib, Vsftpd, Proftpd, PureFtpd };
  static std::unique_ptr<FtpTestServer> Start(Kind kind, const std::string& folder, std::string* why);
  static const char* Name(Kind kind);
  const std::string& DataDir() const { return dataDir_; }
  const std::string& RemoteDir() const { return remoteDir_; }
  // Gives files written below DataDir() to the account the server serves as.
  void Own(const std::string& path) const;
  // vsftpd as Debian ships it: use_localtime=YES, so LIST and MDTM replies
  // (and the two-argument MDTM) are in the zone `tz` (a POSIX TZ value such
  // as "IST-5:30" or "PST8") given to the server process.
  // Besides anonymous, a local user (user(), password()): a throw-away
  // account whose home, `folder`/home (0755, its own), is its root.
  static std::unique_ptr<FtpTestServer> StartVsftpdLocalTime(const std::string& folder, const std::string& tz,
                                                             std::string* why = nullptr);

  // Ends every session process of the server (the listener stays): clients
  // see their connections dropped.
  void DropSessions();
  // Starts a stopped vsftpd again on the same port and folders.
  bool Restart();

  int port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // This server and its login, for a controller to connect to.
  FileSystemTarget Target() const {
    FileSystemTarget t;
    t.host = "127.0.0.1";
    t.port = port();
    t.user = user_;
    t.password = password_;
    return t;
  }
  void Stop();

 private:
  FtpTestServer() = default;
  // proftpd or pure-ftpd serving user "tester" (65534) its home `folder`/home.
  static std::unique_ptr<FtpTestServer> StartTester(const std::vector<std::string>& argv, const std::string& libs,
                                                    int port, const std::string& folder, std::string* why);
  static std::unique_ptr<FtpTestServer> StartVsftpdWith(const std::string& folder, bool localTime,
                                                        const std::string& tz, std::string* why,
                                                        const Tls* tls = nullptr);
  pid_t pid_ = -1;
  int port_ = 0;
  std::vector<std::string> argv_;
  std::string log_, tz_;
  std::string user_, password_;
  std::string dataDir_, remoteDir_;
  int ownerUid_ = -1, ownerGid_ = -1;
  std::unique_ptr<TestAccount> account_;  // a login made for the server, removed with it
};

// A self-signed certificate for `commonName` made with `openssl req` in
// `folder` (cert.pem, key.pem). False (with a reason) when openssl failed.
bool MakeTestCertificate(const std::string& folder, const std::string& commonName, FtpTestServer::Tls& out,
                         std::string* why = nullptr);
// A certificate file's SHA-256 fingerprint as openssl shows it ("AB:CD:...").
std::string OpensslFingerprint(const std::string& certFile);

// Makes files and folders below `path` readable (and folders enterable) by
// the unprivileged account that vsftpd serves anonymous users as.
void GiveToFtpUser(const std::string& path);

}  // namespace twinbay::test
