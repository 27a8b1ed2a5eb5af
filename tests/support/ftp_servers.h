// Real FTP servers for integration tests: started on 127.0.0.1 with an
// ephemeral port over a temporary root, stopped by pid when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace twinbay::test {

class FtpTestServer {
 public:
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  struct PyOptions {
    bool hostile = false;
    double idleTimeoutSeconds = 300;
    std::string user = "tester";
    std::string password = "secret";
  };
  // pyftpdlib (MLSD, MFMT, MDTM): the user and anonymous both see `root`
  // with full rights. Null (with a reason) when it cannot start.
  static std::unique_ptr<FtpTestServer> StartPyftpdlib(const std::string& root, const PyOptions& options,
                                                       std::string* why = nullptr);
  static std::unique_ptr<FtpTestServer> StartPyftpdlib(const std::string& root) {
    return StartPyftpdlib(root, PyOptions());
  }
  // vsftpd (LIST only, times in UTC), anonymous only. The anonymous root is
  // `folder`/anon (read-only, as vsftpd demands); `folder`/anon/pub is
  // writable. Needs root; null (with a reason) otherwise.
  static std::unique_ptr<FtpTestServer> StartVsftpd(const std::string& folder, std::string* why = nullptr);

  int port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // "ftp://127.0.0.1:PORT"
  std::string Url() const;
  void Stop();

 private:
  FtpTestServer() = default;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string user_, password_;
};

// Makes files and folders below `path` readable (and folders enterable) by
// the unprivileged account that vsftpd serves anonymous users as.
void GiveToFtpUser(const std::string& path);

}  // namespace twinbay::test
