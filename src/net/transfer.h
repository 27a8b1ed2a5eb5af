// The transfer engine: copies the tagged files of a compare in the chosen
// directions, creates destination folders, carries times over, re-reads what
// it wrote and re-classifies every copied entry. Runs on a worker thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_entry.h"
#include "engine/filters.h"
#include "net/ftp_session.h"

namespace twinbay {

struct TransferOptions {
  bool localToRemote = false;
  bool remoteToLocal = false;
  bool setLocalTimestamps = false;
  bool ignoreSeconds = true;
  int filter = FilterAll;
};

// Told about progress on the worker thread. Progress comes at most about 20
// times a second (and at the start and end of every file); FolderChanged and
// Finished always come.
class ITransferListener {
 public:
  virtual ~ITransferListener() = default;
  virtual void TransferProgress() = 0;
  virtual void TransferFolderChanged(CFolderRecord* record) = 0;
  virtual void TransferFinished() = 0;
};

struct TransferOutcome {
  std::string localPath;   // the local side's full path
  std::string remotePath;  // the remote side's full path
  bool upload = false;
  bool ok = false;
  bool cancelled = false;  // abandoned by Abort while it was being copied
  std::string error;
  // Set when the copy went through but something after it did not, such as
  // giving the copy its time; the file is copied all the same.
  std::string warning;
};

// Makes the remote folders that a compare found missing, with their missing
// parents, by MKD only: a folder that the compare found (or did not see) is
// taken to exist and never probed.
class RemoteFolderMaker {
 public:
  void Know(const CFolderRecord& record);
  // True when the folder exists now (as far as the compare knows).
  bool Make(IFtpConnection& connection, const std::string& path);

 private:
  std::unordered_map<std::string, bool> missing_;  // remote path -> still missing
};

class CTransferJob {
 public:
  CTransferJob(CFolderCollection& collection, CFtpSession& session, SyncTotals& totals, TransferOptions options,
               ITransferListener* listener = nullptr);

  // The whole transfer; returns 1.
  int RunTransfer();
  // Asks the transfer to stop after the file being copied.
  void Stop() { stop_.store(true); }
  bool Stopped() const { return stop_.load(); }
  // Stops at once: the copy in flight is abandoned and its temporary file
  // removed. Only stores to lock-free atomics, so a signal handler may call it.
  void Abort() {
    abort_.store(true);
    stop_.store(true);
  }
  bool Aborted() const { return abort_.load(); }

  // A consistent copy of the progress figures, for another thread.
  SyncTotals Totals() const;
  // What happened to every file the transfer tried (after RunTransfer).
  const std::vector<TransferOutcome>& Outcomes() const { return outcomes_; }

  // Whether an entry would be copied with these options.
  static bool Selected(const CFileEntry& entry, const TransferOptions& options);

 private:
  bool CopyDown(CFileEntry& entry, const CFolderRecord& record, TransferOutcome& outcome);
  // `sent` is the number of bytes the server was given.
  bool CopyUp(CFileEntry& entry, const CFolderRecord& record, TransferOutcome& outcome, uint64_t& sent);
  // Re-reads the server's side of the entries uploaded into one folder (one
  // listing for all of them) and re-classifies them.
  struct Uploaded {
    CFileEntry* entry;
    size_t outcome;  // index into outcomes_
    uint64_t size;   // bytes sent
  };
  void RefreshUploads(CFolderRecord& record, const std::vector<Uploaded>& uploaded);
  void AddDone(size_t bytes);
  void Post(bool force);

  CFolderCollection& collection_;
  CFtpSession& session_;
  SyncTotals& totals_;
  TransferOptions options_;
  ITransferListener* listener_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> abort_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
  mutable std::mutex totalsMutex_;
  std::chrono::steady_clock::time_point lastPost_{};
  std::vector<TransferOutcome> outcomes_;
};

// Creates a local folder and its missing parents; true when it exists after.
bool MakeLocalFolders(const std::string& path);
// Creates a remote folder and its missing parents, one level at a time from
// the root; true when the server can change into it afterwards.
bool MakeRemoteFolders(IFtpConnection& connection, const std::string& path);
// Gives a local file the modification time of the find data (nothing else).
bool SetLocalTimes(const std::string& path, const FindData& findData);

// Removes a local file; true when it is gone.
bool DeleteLocalFile(const std::string& path);

struct DeleteCounts {
  int localDeleted = 0;
  int remoteDeleted = 0;
  int failed = 0;
};

// Deletes the chosen sides of the given entries of one folder record. A side
// that was deleted is cleared; an entry with a side left is re-classified, one
// with none is removed from the record and destroyed. The notifier hears of the
// record after each entry. Runs on the user-interface thread.
DeleteCounts DeleteEntries(CFolderCollection& collection, CFolderRecord& record,
                           const std::vector<CFileEntry*>& entries, bool deleteLocal, bool deleteRemote,
                           CFtpSession* session, bool ignoreSeconds, IFolderNotify* notify);

}  // namespace twinbay
