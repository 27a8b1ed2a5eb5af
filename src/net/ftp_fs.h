// An FTP server as a remote file system, over a session's connection.
#pragma once

#include <memory>

#include "net/ftp_session.h"
#include "fs/file_system.h"

namespace twinbay {

class FtpFileSystem : public IFileSystem, public IRemoteSession {
 public:
  // Over a session that stays the caller's (the program's own connection).
  explicit FtpFileSystem(CFtpSession& session);
  // Over a session of its own: the remote side's own connection, or (helper)
  // one more of a pool, opened by OpenAnother.
  explicit FtpFileSystem(std::unique_ptr<CFtpSession> session, bool helper = false);

  FsCapabilities Capabilities() const override;
  // A relative path is taken from the login folder. A helper connection
  // (one of its own session) lists nothing until the first connection has
  // found the server's time offset: two connections must not each go
  // looking for it.
  bool List(const std::string& path, ScanList& out) override;
  // The folders' requests go out together where the connection can send
  // them so (IFtpConnection::ListAhead).
  void ListInTurn(const std::vector<std::string>& paths,
                  const std::function<void(size_t, bool, ScanList&)>& listed) override;
  size_t ListsAtOnce() const override;
  std::vector<std::string> TakeSkipped() override;
  std::vector<std::string> TakeLeftOut() override;
  // No "/", control byte (NUL, a tab, line breaks...) or byte 0xFF: what a
  // command can name and a listing show safely on every server.
  bool TakesName(const std::string& name) const override;
  bool MakeFolder(const std::string& path) override;
  bool Remove(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool Read(const std::string& path, const FsSink& sink) override;
  bool Write(const std::string& path, const FsSource& source, uint64_t size) override;
  bool ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) override;
  bool Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) override;
  bool SetTime(const std::string& path, int64_t ticks) override;
  bool Stat(const std::string& path, FindData& out) override;
  bool Size(const std::string& path, uint64_t& size) override;
  unsigned HashKinds() override;
  bool Hash(const std::string& path, HashKind kind, std::string& hex) override;
  std::string LastError() const override;
  void SetAbortFlag(const std::atomic<bool>* flag) override;
  bool LostConnection() const override;
  bool Reconnect() override;
  std::unique_ptr<IFileSystem> OpenAnother() const override;
  // ---- the server session
  std::string Host() const override { return session_.GetHost(); }
  std::string LoginFolder() const override { return session_.LoginFolder(); }
  bool Encrypted() const override { return session_.Encrypted(); }
  bool EnsureConnected() override;
  void Disconnect() override { session_.CloseConnection(); }
  IRemoteSession* Session() override { return this; }
  std::string TakeClockProbeReport() override { return session_.Clock().TakeProbeReport(); }
  std::string TakeClockNotice() override { return session_.Clock().TakeNotice(); }
  std::string ClockNotice() const override { return session_.Clock().Notice(); }

 private:
  // The connection, or null (with the error set) when there is none.
  IFtpConnection* Connection();

  std::unique_ptr<CFtpSession> own_;
  CFtpSession& session_;
  // The login as it was when this file system was made, for OpenAnother
  // (which may run on another thread than this one's user).
  std::shared_ptr<const CFtpSession> login_;
  bool helper_ = false;
  const std::atomic<bool>* abortFlag_ = nullptr;
  std::string error_;
};

}  // namespace twinbay
