// Starting the loopback FTP server that the benchmarks measure against.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "support/ftp_servers.h"

namespace twinbay::bench {

// A pyftpdlib server over root, or null after saying why it did not start.
inline std::unique_ptr<test::FtpTestServer> StartServer(const std::string& root) {
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root, {}, &why);
  if (!server) std::printf("cannot start pyftpdlib: %s\n", why.c_str());
  return server;
}

}  // namespace twinbay::bench
