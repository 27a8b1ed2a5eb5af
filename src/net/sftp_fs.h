// An SFTP server as a remote file system (libssh). Times are the attributes'
// seconds (UTC); symbolic links are followed; a replacing rename uses
// posix-rename@openssh.com where the server offers it.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "fs/file_system.h"
#include "net/sftp_extension.h"
#include "net/sftp_hash_channel.h"
#include "net/ssh_session.h"

namespace twinbay {

// The most one folder's entries may take (their names and records): a
// listing beyond it is cut there, the folder incomplete, as an FTP listing
// is. The tests lower it.
void SetSftpListingCap(size_t bytes);

class SftpFileSystem : public IFileSystem, public IRemoteSession {
 public:
  explicit SftpFileSystem(SftpSettings settings);
  ~SftpFileSystem() override;

  // Connects and signs in; false with Failure() and LastError() set (an
  // unknown or changed host key stops it before anything is offered).
  bool Connect();
  SshFailure Failure() const { return failure_; }
  // The server's host key ("SHA256:..."), once a connect got that far.
  std::string Fingerprint() const { return conn_.Fingerprint(); }
  // Entries the listings left out on purpose, each as "path: why" (a link
  // that leads nowhere), each told once.
  std::vector<std::string> TakeSkipped() override;
  std::vector<std::string> TakeLeftOut() override { return std::exchange(leftOut_, {}); }
  bool TakesName(const std::string& name) const override;
  // How many requests the server refused on this connection so far (a
  // failing status reply, expected or not): a normal run draws none.
  uint64_t RefusedRequests() const { return refused_; }
  // How many reads were served from files read ahead together (Prefetch).
  uint64_t ServedAhead() const { return servedAhead_; }

  FsCapabilities Capabilities() const override;
  bool List(const std::string& path, ScanList& out) override;
  bool MakeFolder(const std::string& path) override;
  bool Remove(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool Read(const std::string& path, const FsSink& sink) override;
  // Small files (up to 64 KiB) are read all at once over the second channel:
  // their opens in one round trip, their reads (each with one more that sees
  // the end) in the next, their closes not waited for.
  void Prefetch(const std::vector<FsPrefetch>& files) override;
  bool ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) override;
  bool Write(const std::string& path, const FsSource& source, uint64_t size) override;
  // Adds to a temporary file of ours (lstat: a regular file, 0600, `offset`
  // bytes long), written at its offsets.
  bool Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) override;
  bool SetMode(const std::string& path, uint32_t mode) override;
  // Over the second channel (sftp_fs_batch.cpp), in two round trips: the
  // opens; then each file's write, its time and mode (after the write, on
  // its handle), its size and its close. A server that opens no second
  // channel has each file written, timed and given its mode in turn.
  void WriteBatch(std::vector<FsBatchFile>& files) override;
  // The replacing renames in one round trip.
  void RenameBatch(std::vector<FsBatchRename>& renames) override;
  bool SetTime(const std::string& path, int64_t ticks) override;
  bool Stat(const std::string& path, FindData& out) override;
  bool Size(const std::string& path, uint64_t& size) override;
  // The check-file or md5-hash extension where the server lists it, else
  // sha256sum (or md5sum) over an exec channel where the account may run it
  // (sftp_hash.cpp).
  unsigned HashKinds() override;
  bool Hash(const std::string& path, HashKind kind, std::string& hex) override;
  std::string LastError() const override { return error_; }
  void SetAbortFlag(const std::atomic<bool>* flag) override { abortFlag_ = flag; }
  bool LostConnection() const override { return failure_ == SshFailure::Lost || !conn_.IsOpen(); }
  bool Reconnect() override { return Connect(); }
  std::unique_ptr<IFileSystem> OpenAnother() const override;
  IRemoteSession* Session() override { return this; }
  // ---- the server session
  std::string Host() const override { return settings_.host; }
  std::string LoginFolder() const override { return loginFolder_; }
  bool Encrypted() const override { return true; }
  bool EnsureConnected() override { return !LostConnection() || Reconnect(); }
  void Disconnect() override;

 private:
  class Op;
  SftpFileSystem(SftpSettings settings, std::shared_ptr<SshKeyCache> keys);
  // Whether there is a connection to use (else the error says so).
  bool Ready();
  // Records why the last library call failed (its SFTP status `code`, or the
  // session's last one) and returns false; a lost connection is let go.
  bool Failed(const std::string& what, int code = -1);
  bool Ok();
  // Whether the abort flag is set (the error then says so).
  bool Stopped();
  // Lists one folder's entries as the server gives them (links unresolved);
  // entries whose names cannot be used are left out, told, and named in `bad`.
  bool ReadFolder(const std::string& path, ScanList& out, std::vector<size_t>& links, std::string& bad);
  bool ReadFolderEach(const std::string& path, std::vector<SftpExtensionChannel::DirEntry>& entries, Op& op,
                      std::string& bad);
  // A link becomes what it leads to (Found). It leads nowhere when its
  // target is missing or a loop; it is Unread when the server will not say
  // what it leads to (its folder is then incomplete); Lost sets the error.
  enum class LinkEnd { Found, Nowhere, Unread, Lost };
  LinkEnd FollowLink(const std::string& path, FindData& entry, std::string& why);
  // Reads over the second channel (sftp_fs_read.cpp): every file of `files`
  // at once; false when the channel failed or the reading was stopped.
  struct Reading;
  bool ReadFiles(std::vector<Reading>& files, Op& op);
  bool ReadOverChannel(const std::string& path, uint64_t from, const FsSink& sink, Op& op);
  bool SendBlock(Reading& r, uint64_t offset, uint32_t length, uint32_t shortOf, bool front);
  bool TopUp(Reading& r);
  bool Deliver(Reading& r);
  void KeepBlock(std::vector<char>&& bytes);
  // A file's bytes read ahead, handed to the sink and forgotten (nullopt:
  // none were read ahead).
  std::optional<bool> TakePrefetched(const std::string& path, const FsSink& sink);
  // libssh's own reads, for a server that opens no second channel.
  bool ReadBlocks(void* file, const FsSink& sink, Op& op, uint64_t from);
  bool DropReads(void* file, std::deque<std::pair<int, uint64_t>>& ahead, bool& more);
  struct WriteState;
  bool Settle(WriteState& w, Op& op);
  bool WriteBlocks(const std::string& handle, const FsSource& source, WriteState& w, Op& op);
  bool WriteEach(const std::string& path, const FsSource& source, uint64_t size, Op& op, uint64_t from = 0);
  // Opens the file for writing: made new, or (`from` > 0) one of ours to add to.
  bool WriteFrom(const std::string& path, const FsSource& source, uint64_t size, uint64_t from);
  bool WroteAll(const std::string& path, uint64_t written, uint64_t size);
  bool RunCommand(const std::string& command, std::string& out);
  // The batches over the second channel (sftp_fs_batch.cpp).
  void WriteTogether(std::vector<FsBatchFile>& files, Op& op);
  void BatchBroke(std::vector<FsBatchFile>& files, const std::string& what);
  void RenameTogether(std::vector<FsBatchRename>& renames, Op& op);
  // Counts a refusal of the server's and returns what the user is told.
  std::string Refusal(const std::string& what, int code);
  // The second channel (or the connection under it) broke: let go of it all.
  bool ChannelFailed(const std::string& what);

  const SftpSettings settings_;
  std::shared_ptr<SshKeyCache> keys_;
  SshConnection conn_;
  // Declared after the connection: its channel goes before the session does.
  SftpExtensionChannel ext_;
  SftpHashChannel hashExt_;  // where the server lists a hash extension
  SocketWatch watch_;
  const std::atomic<bool>* abortFlag_ = nullptr;
  SshFailure failure_ = SshFailure::None;
  std::string error_;
  uint64_t refused_ = 0;
  uint64_t servedAhead_ = 0;
  std::string loginFolder_ = "/";  // where the server put the login (realpath ".")
  std::set<std::string> told_;
  std::vector<std::string> skipped_;
  std::vector<std::string> leftOut_;  // of the last listing
  std::map<std::string, std::string> prefetched_;  // path -> the whole file, read ahead
  // The size the server held of the file the last operation wrote, for a
  // Size of it right after (the next operation forgets it).
  std::optional<std::pair<std::string, uint64_t>> heldAfterWrite_;
  bool hashProbed_ = false;  // hash extensions read, else programs tried (once per login)
  unsigned hashKinds_ = 0;
  std::vector<std::vector<char>> spare_;  // read blocks kept for the next reads
};

}  // namespace twinbay
