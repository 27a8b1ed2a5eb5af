// Real FTP servers on 127.0.0.1 over a temporary folder, stopped with the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "support/processes.h"

namespace twinbay::test {

class FtpTestServer : public ServerProcess {
 public:
  struct Tls {  // a server certificate for TLS (PEM files)
    std::string certFile, keyFile;
    bool implicit = false;  // vsftpd only: TLS from the first byte
  };
  // The modes of ftp_server.py (see there); empty names and 0 are off.
  struct PyOptions {
    std::string refuseList, cutList, stallList, endless;
    bool hostile = false, noUnique = false, refuseDelete = false, cutSecondLogin = false;
    int maxLogins = 0;
    double idleTimeoutSeconds = 300;
    std::vector<std::string> extraArgs;  // further switches, such as "--truncate-downloads"
  };
  // pyftpdlib (MLSD, MFMT, MDTM): user `tester` (password `secret`) and
  // anonymous see `root` with full rights. Null (with a reason) when it
  // cannot start, as for every Start below.
  static std::unique_ptr<FtpTestServer> StartPyftpdlib(const std::string& root, const PyOptions& options,
                                                       std::string* why = nullptr);
  // vsftpd (LIST only, times in UTC; needs root), anonymous only: the root is
  // `folder`/anon (read-only, as vsftpd demands), `folder`/anon/pub writable.
  // With `tls`, TLS is required for the login and the data, and data
  // connections must resume the control connection's TLS session.
  static std::unique_ptr<FtpTestServer> StartVsftpd(const std::string& folder, std::string* why = nullptr,
                                                    const Tls* tls = nullptr) {
    return StartVsftpdWith(folder, nullptr, why, tls);
  }
  // vsftpd as Debian ships it (use_localtime=YES), LIST and MDTM in the POSIX
  // zone `tz`; also a local user with its home `folder`/home as its root.
  static std::unique_ptr<FtpTestServer> StartVsftpdLocalTime(const std::string& folder, const std::string& tz,
                                                             std::string* why = nullptr) {
    return StartVsftpdWith(folder, &tz, why, nullptr);
  }
  // proftpd and pure-ftpd as scripts/setup-deps.sh unpacks them: user
  // `tester`, password `secret`, chrooted to `folder`/home. pure-ftpd keeps
  // its default listing limit (10,000 entries) unless given one, takes a wide
  // passive range from benchmarks, and with `tls` refuses logins without TLS.
  static std::unique_ptr<FtpTestServer> StartProftpd(const std::string& folder, std::string* why = nullptr);
  static std::unique_ptr<FtpTestServer> StartPureFtpd(const std::string& folder, std::string* why = nullptr,
                                                      int listLimit = 0, int passiveFrom = 0, int passiveTo = 0,
                                                      const Tls* tls = nullptr);

  // The four servers behind one call: each serves the local folder DataDir()
  // as the remote folder RemoteDir() to user() (empty for vsftpd: anonymous).
  enum class Kind { Pyftpdlib, Vsftpd, Proftpd, PureFtpd };
  static std::unique_ptr<FtpTestServer> Start(Kind kind, const std::string& folder, std::string* why);
  static const char* Name(Kind kind);
  const std::string& DataDir() const { return dataDir_; }
  const std::string& RemoteDir() const { return remoteDir_; }
  const std::string& password() const { return password_; }
  FileSystemTarget Target() const {
    FileSystemTarget t;
    t.host = "127.0.0.1", t.port = port_, t.user = user_, t.password = password_;
    return t;
  }
  // Ends every session (the listener stays): clients see their connections dropped.
  void DropSessions();
  // Starts a stopped vsftpd again on the same port and folders.
  bool Restart() { return !argv_.empty() && (Stop(), Launch(nullptr)); }

 private:
  FtpTestServer() = default;
  static std::unique_ptr<FtpTestServer> StartTester(const std::vector<std::string>& argv, const std::string& libs,
                                                    int port, const std::string& folder, std::string* why);
  static std::unique_ptr<FtpTestServer> StartVsftpdWith(const std::string& folder, const std::string* tz,
                                                        std::string* why, const Tls* tls);
  std::string password_, dataDir_, remoteDir_;
};

// A self-signed certificate for `commonName` made with `openssl req` in
// `folder` (cert.pem, key.pem). False (with a reason) when openssl failed.
bool MakeTestCertificate(const std::string& folder, const std::string& commonName, FtpTestServer::Tls& out,
                         std::string* why = nullptr);
// A certificate file's SHA-256 fingerprint as openssl shows it ("AB:CD:...").
std::string OpensslFingerprint(const std::string& certFile);
// Gives what is below `path` to the account vsftpd serves anonymous users as.
void GiveToFtpUser(const std::string& path);

}  // namespace twinbay::test
