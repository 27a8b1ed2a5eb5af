#include "net/open_fs.h"

#include <sys/stat.h>

#include "net/ftp_fs.h"
#include "net/ftp_session.h"
#include "net/ftp_tls.h"
#include "fs/local_fs.h"
#include "net/sftp_fs.h"

namespace twinbay {
namespace {

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

std::unique_ptr<IFileSystem> Refuse(OpenFailure& failure, OpenFailureKind kind, std::string message,
                                    std::string fingerprint = {}) {
  failure.kind = kind;
  failure.message = std::move(message);
  failure.fingerprint = std::move(fingerprint);
  return nullptr;
}

std::unique_ptr<IFileSystem> OpenLocal(const FileSystemTarget& target, OpenFailure& failure) {
  struct stat st {};
  if (target.localRoot.empty() || target.localRoot[0] != '/')
    return Refuse(failure, OpenFailureKind::Other, "The folder standing in for the server needs a full path.");
  if (stat(target.localRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Refuse(failure, OpenFailureKind::Unreachable, "The folder " + target.localRoot + " does not exist.");
  return std::make_unique<LocalFileSystem>(target.localRoot);
}

std::unique_ptr<IFileSystem> OpenFtp(const FileSystemTarget& target, const std::atomic<bool>* cancel,
                                     OpenFailure& failure, const ServerTimeOffset& offset) {
  const FtpTls tls = target.protocol == FsProtocol::FtpTlsExplicit   ? FtpTls::Explicit
                     : target.protocol == FsProtocol::FtpTlsImplicit ? FtpTls::Implicit
                                                                     : FtpTls::None;
  auto session = std::make_unique<CFtpSession>();
  // The caller's flag ends this login and every later command of the file
  // system and of those it opens for a pool.
  if (cancel) session->SetCancelFlag(cancel);
  session->SetServerOffset(offset);
  session->SetTls(tls, target.pin);
  // No user name: anonymous, and no password goes with it.
  const std::string password = target.user.empty() ? std::string() : target.password;
  if (session->Connect(target.host, target.user, password, target.port))
    return std::make_unique<FtpFileSystem>(std::move(session));
  const std::string error = session->LastError();
  if (Cancelled(cancel)) return Refuse(failure, OpenFailureKind::Cancelled, "Stopped before the server answered.");
  if (!session->RefusedCertificate().empty())
    return Refuse(failure, OpenFailureKind::UntrustedCertificate, error, session->RefusedCertificate());
  if (error.rfind("The server refused the login", 0) == 0) return Refuse(failure, OpenFailureKind::SignIn, error);
  return Refuse(failure, OpenFailureKind::Unreachable, error);
}

OpenFailureKind KindOf(SshFailure f) {
  switch (f) {
    case SshFailure::UnknownHostKey: return OpenFailureKind::UnknownHostKey;
    case SshFailure::ChangedHostKey: return OpenFailureKind::ChangedHostKey;
    case SshFailure::SignIn: return OpenFailureKind::SignIn;
    case SshFailure::Connect:
    case SshFailure::Lost: return OpenFailureKind::Unreachable;
    default: return OpenFailureKind::Other;
  }
}

std::unique_ptr<IFileSystem> OpenSftp(const FileSystemTarget& target, const std::atomic<bool>* cancel,
                                      OpenFailure& failure) {
  SftpSettings s;
  s.host = target.host;
  s.port = target.port;
  s.user = target.user;
  s.password = target.password;
  s.keyFile = target.keyFile;
  s.askPassphrase = target.askPassphrase;
  s.pinnedFingerprint = target.pin;
  auto fs = std::make_unique<SftpFileSystem>(std::move(s));
  // Kept as the abort flag (until the caller sets another): it ends a copy
  // in flight too.
  fs->SetAbortFlag(cancel);
  if (fs->Connect()) return fs;
  if (Cancelled(cancel)) return Refuse(failure, OpenFailureKind::Cancelled, "Stopped before the server answered.");
  const OpenFailureKind kind = KindOf(fs->Failure());
  const bool key = kind == OpenFailureKind::UnknownHostKey || kind == OpenFailureKind::ChangedHostKey;
  return Refuse(failure, kind, fs->LastError(), key ? fs->Fingerprint() : std::string());
}

}  // namespace

std::unique_ptr<IFileSystem> OpenFileSystem(const FileSystemTarget& target, const std::atomic<bool>* cancel,
                                            OpenFailure& failure, const ServerTimeOffset& offset) {
  failure = OpenFailure();
  if (Cancelled(cancel)) return Refuse(failure, OpenFailureKind::Cancelled, "Stopped.");
  if (target.protocol == FsProtocol::Local) return OpenLocal(target, failure);
  if (target.host.empty()) return Refuse(failure, OpenFailureKind::Other, "No server was given.");
  if (target.port < 1 || target.port > 65535)
    return Refuse(failure, OpenFailureKind::Other,
                  "The port " + std::to_string(target.port) + " is not between 1 and 65535.");
  if (target.protocol == FsProtocol::Sftp) return OpenSftp(target, cancel, failure);
  return OpenFtp(target, cancel, failure, offset);
}

}  // namespace twinbay
