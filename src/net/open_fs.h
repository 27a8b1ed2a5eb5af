// Opening the file system a FileSystemTarget names: a local folder, an FTP
// server (plain, or over explicit or implicit TLS), an SFTP server. The one
// place that knows which class stands behind each protocol; the controller
// opens its file systems here and the front ends never name these classes.
#pragma once

#include <atomic>
#include <memory>

#include "fs/file_system.h"
#include "net/server_time.h"

namespace twinbay {

// Connects and signs in. Null, with `failure` saying why, when that failed:
// an unknown SFTP host key or an FTP certificate that is not trusted carries
// its fingerprint for the user to judge; a changed host key stops the connect
// before anything of the user's is offered. While `cancel` (if any) is set, a
// connect to a silent server ends at once (Cancelled); the file system keeps
// it: over FTP it ends any later command of its connections and of those
// OpenAnother makes, over SFTP it is the abort flag until another is set.
// `offset` is the
// FTP server's time offset (automatic by default); other protocols give times
// in UTC.
std::unique_ptr<IFileSystem> OpenFileSystem(const FileSystemTarget& target, const std::atomic<bool>* cancel,
                                            OpenFailure& failure, const ServerTimeOffset& offset = ServerTimeOffset());

}  // namespace twinbay
