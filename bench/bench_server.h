// Starting the loopback FTP server that the benchmarks measure against, and
// the synchronisation they time on it.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_util.h"
#include "engine/comparer.h"
#include "net/ftp_session.h"
#include "net/ftp_fs.h"
#include "fs/local_fs.h"
#include "transfer/transfer.h"
#include "support/ftp_servers.h"

namespace twinbay::bench {

// A pyftpdlib server over root, or null after saying why it did not start.
inline std::unique_ptr<test::FtpTestServer> StartServer(const std::string& root) {
  std::string why;
  auto server = test::FtpTestServer::StartPyftpdlib(root, {}, &why);
  if (!server) std::printf("cannot start pyftpdlib: %s\n", why.c_str());
  return server;
}

struct Run {
  double seconds = 0;
  int copied = 0, failed = 0;
};

// Compare, then copy everything in one direction over a connected session;
// the walk is timed as part of the synchronisation, as a user would
// experience it.
inline Run SyncOnce(CFtpSession& session, const std::string& local, const std::string& remote, bool up) {
  Run r;
  const auto start = std::chrono::steady_clock::now();
  FtpFileSystem lister(session);
  LocalFileSystem disk("/");
  CFolderCollection collection;
  CFolderComparer comparer;
  comparer.BeginCompare(nullptr, &disk, &lister, &collection, local, remote, true, false);
  comparer.Run(local, remote, "*.*", true);
  SyncTotals totals;
  CountTagged(collection, totals, FilterAll);
  TransferOptions o;
  o.localToRemote = up;
  o.remoteToLocal = !up;
  o.ignoreSeconds = false;
  FtpFileSystem remoteFs(session);
  CTransferJob job(collection, disk, remoteFs, totals, o);
  job.RunTransfer();
  r.seconds = Seconds(std::chrono::steady_clock::now() - start);
  for (auto& out : job.Outcomes()) (out.ok ? r.copied : r.failed)++;
  return r;
}

}  // namespace twinbay::bench
