// The transfer engine: copies the tagged files of a compare in the chosen
// directions between the local file system and a pool of connections to the
// remote one (one copy routine for both directions), creates destination
// folders, carries times over, re-reads what it wrote and re-classifies every
// copied entry. Runs on a worker thread (and its own).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/file_entry.h"
#include "engine/filters.h"
#include "fs/fs_pool.h"
#include "engine/totals.h"
#include "fs/file_system.h"
#include "transfer/rate_limit.h"

namespace twinbay {

struct TransferOptions {
  bool localToRemote = false;
  bool remoteToLocal = false;
  bool setLocalTimestamps = false;
  bool ignoreSeconds = true;
  int filter = FilterAll;
  // Deletions that follow one on the other side (entries in the state
  // DeleteRemote or DeleteLocal, tagged, in a chosen direction: DeleteRemote
  // goes with localToRemote) are carried out too; else they are left.
  bool deleteFollowing = false;
  // Folders on the deleting side only, left empty by this run's deletions,
  // are removed; with `mirror` every such folder is (the destination is made
  // equal to the source).
  bool mirror = false;
  // How many files are copied at once, each over a connection of its own
  // from the pool: one more is taken only while files wait and none is idle
  // (a server that takes fewer logins is used with as many as it takes).
  int connections = 8;
  // The copies of the run together send and receive at most this many bytes
  // a second (0: no limit).
  uint64_t bytesPerSecond = 0;
  // The safety net: a local file the run deletes or replaces goes to the
  // desktop's trash; a server file is moved (renamed) into a folder named for
  // the run's time below `backupDir` (relative to the remote top folder, or
  // absolute; empty: deleted and overwritten). A file that cannot be kept so
  // is neither deleted nor replaced: its deletion or copy fails.
  bool localTrash = false;
  std::string backupDir;
  // Every copy's hash is checked against its source's once it is stored
  // (where both sides give one of the same kind): a copy under a temporary
  // name before it takes the file's place, a direct one where it landed.
  bool verify = false;
};

// Told about progress on the transfer's threads, one call at a time. Progress
// comes at most about 20 times a second (and at the start and end of every
// file); FolderChanged (once a folder's copies are all over) and Finished
// always come.
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
  bool upload = false;     // for a deletion: the server's copy was to go
  bool deletion = false;   // a deletion, not a copy
  bool ok = false;
  bool cancelled = false;  // abandoned by Abort while it was being copied
  std::string error;
  // A copy that continued the temporary file a broken one left: the bytes
  // that were there already (not sent again).
  uint64_t resumedFrom = 0;
  // Set when the copy went through but something after it did not, such as
  // giving the copy its time; the file is copied all the same.
  std::string warning;
  // Where the deleted file, or the version a copy replaced, was kept (the
  // trash's or the backup folder's path; empty when it was not kept).
  std::string keptAt;
};

// Told of each pair a sync leaves in step (after a copy) or removes (a
// deletion), on the transfer's threads; must not wait for another thread.
class ISyncRecorder {
 public:
  virtual ~ISyncRecorder() = default;
  // The entry is in step after a copy: both sides as they are now.
  virtual void Copied(const CFolderRecord& record, const FileSide& local, const FileSide& remote) = 0;
  // Several pairs of one folder in step after their copies (each as Copied).
  virtual void CopiedMany(const CFolderRecord& record, const std::vector<std::pair<FileSide, FileSide>>& pairs) {
    for (const auto& [local, remote] : pairs) Copied(record, local, remote);
  }
  // The entry (named `name`) was deleted on the side that was left.
  virtual void Deleted(const CFolderRecord& record, const std::string& name) = 0;
  // A new file is about to be stored directly under its own name: the mark
  // (kStoreUnderWay) is kept until Copied records the pair or StoreUndone
  // takes it back (nothing of the store is left on the server). True only
  // once the mark is written; a recorder that keeps none says false and the
  // file goes through a temporary name.
  virtual bool StoreBegins(const CFolderRecord& record, const FileSide& local) {
    (void)record, (void)local;
    return false;
  }
  virtual void StoreUndone(const CFolderRecord& record, const std::string& name) { Deleted(record, name); }
};

// Makes the remote folders that a compare found missing, with their missing
// parents, by making folders only: a folder that the compare found (or did not
// see) is taken to exist and never probed. Safe to share between threads.
class RemoteFolderMaker {
 public:
  void Know(const CFolderRecord& record);
  // True when the folder exists now (as far as the compare knows).
  bool Make(IFileSystem& remote, const std::string& path);

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, bool> missing_;  // remote path -> still missing
};

class CTransferJob {
 public:
  // `local` is the local disk (local paths as they are; the job copies it
  // for each of its threads). `remote` is the pool the copies take their
  // connections from and give back (the compare's, kept for the run).
  CTransferJob(CFolderCollection& collection, const IFileSystem& local, FileSystemPool& remote, SyncTotals& totals,
               TransferOptions options, ITransferListener* listener = nullptr);
  // The same over a pool of its own, built over `remote` (the caller's
  // connection; the others are opened from it when needed and closed with
  // the job).
  CTransferJob(CFolderCollection& collection, const IFileSystem& local, IFileSystem& remote, SyncTotals& totals,
               TransferOptions options, ITransferListener* listener = nullptr);
  ~CTransferJob();

  // Hears each pair left in step or deleted (set before RunTransfer).
  void SetRecorder(ISyncRecorder* recorder) { recorder_ = recorder; }
  // The whole transfer.
  void RunTransfer();
  // Asks the transfer to stop once the files being copied are done.
  void Stop() { stop_.store(true); }
  bool Stopped() const { return stop_.load(); }
  // Stops at once: the copies in flight are abandoned; their temporary files
  // are removed, but for those a later run may continue. Only stores to
  // lock-free atomics, so a signal handler may call it.
  void Abort() {
    abort_.store(true);
    stop_.store(true);
  }
  bool Aborted() const { return abort_.load(); }

  // A consistent copy of the progress figures, for another thread. With
  // several copies under way the current file is the largest of them, with
  // its own bytes done.
  SyncTotals Totals() const;
  struct Progress {
    size_t filesStarted = 0, filesDone = 0, filesTotal = 0;
    size_t filesCopying = 0;  // copies under way now
    double bytesDone = 0, bytesTotal = 0;
  };
  Progress GetProgress() const;
  // What happened to every file the transfer tried, in the order of the
  // entries in the collection (after RunTransfer).
  const std::vector<TransferOutcome>& Outcomes() const { return outcomes_; }
  // How many connections copied files (after RunTransfer).
  int ConnectionsUsed() const { return connectionsUsed_.load(); }
  // The most connections the job may use (its options').
  int Connections() const { return options_.connections; }

  // Whether an entry would be copied (or deleted) with these options; the
  // record is the entry's (nothing in or under a folder that could not be
  // read whole is deleted, nor on a side where the folder is reached through
  // a link).
  static bool Selected(const CFileEntry& entry, const TransferOptions& options);
  static bool SelectedIn(const CFolderRecord& record, const CFileEntry& entry, const TransferOptions& options);
  // Whether the entry is a deletion on a side where its folder is reached
  // through a link: never carried out.
  static bool DeletesThroughLink(const CFolderRecord& record, const CFileEntry& entry);

 private:
  struct Item;
  struct Folder;
  struct Ends;
  enum class Renames { Unknown, Works, Refused };

  // Copies files over one connection of the pool until none is left.
  void Work(FileSystemPool::Lease remote);
  // The next file for a connection: one it took along before (`mine`), else
  // the queue's next. A small download takes the small downloads queued
  // behind it along, and the connection is told to read them all ahead.
  // A small upload takes the small uploads behind it along into `uploads`
  // (with itself first), where the connection writes batches.
  bool Take(size_t& item, std::deque<size_t>& mine, IFileSystem& remote, std::vector<size_t>& uploads);
  // After a copy (`ok` how it went): one that lost its connection is tried
  // once more after a login again; where that login fails (or the
  // connection left already: `dropped`), the file goes back to the queue
  // for another connection and false says this one leaves the pool.
  bool Settle(IFileSystem& remote, IFileSystem& local, size_t item, bool ok, bool dropped);
  // Puts the files a connection took along and did not begin back in front.
  void GiveBack(std::deque<size_t>& mine);
  void FinishLeftovers();
  // One more copying thread, when files wait and none is starting (with
  // workMutex_ held).
  void StartHelper();
  bool Copy(IFileSystem& remote, IFileSystem& local, size_t item);
  // The start of a copy or deletion: the outcome's paths, the destination's
  // folder made, the totals told; the ends of a copy into `e`. False when
  // it is over already (`ok`: a deletion done).
  bool Begin(IFileSystem& remote, IFileSystem& local, size_t item, std::optional<Ends>& e, bool& ok);
  // Small uploads together (transfer_batch.cpp): read whole, written,
  // timed and given their modes, checked and renamed into place a step for
  // all at a time; what came of each, in order.
  std::vector<bool> CopyBatch(IFileSystem& remote, IFileSystem& local, const std::vector<size_t>& items);
  // Deletes one side of an entry, unless it changed since the compare.
  bool DeleteSide(IFileSystem& fs, Item& item, TransferOutcome& outcome);
  // Removes the folders on one side only that the run's deletions left
  // empty (every such folder for a mirror), deepest first.
  void RemoveEmptiedFolders();
  void Finish(IFileSystem& remote, IFileSystem& local, size_t item, bool ok);
  void FinishFolder(IFileSystem& remote, IFileSystem& local, Folder& folder);
  // The copy of one file, either way (transfer_copy.cpp).
  bool CopyFile(Ends& e, Item& item, TransferOutcome& outcome);
  bool Pump(Ends& e, Item& item, const std::string& path, uint64_t from, std::string& error);
  // Where a copy under a resumable temporary name starts: at the length of
  // the temporary file a broken copy of the same source left (it is known
  // to be there: the disk's, one this run began, or one the compare listed),
  // else at 0 (a temporary file that cannot be continued is removed first;
  // false when it could not be).
  bool ResumeFrom(Ends& e, Item& item, const std::string& tmp, uint64_t& from);
  bool SourceComplete(Ends& e, Item& item, TransferOutcome& outcome);
  void SetTimeOf(Ends& e, Item& item, const std::string& path, TransferOutcome& outcome);
  static void SetModeOf(Ends& e, const std::string& path, TransferOutcome& outcome);
  // The mode a copy is given where the destination has modes.
  static uint32_t ModeFor(const Ends& e);
  // Whether the destination is still as the compare saw it (absent, or the
  // same size and time); else the error says how it changed. `listed`: seen
  // in a listing of its folder even where one file could be asked after.
  bool StillAsCompared(Ends& e, Item& item, TransferOutcome& outcome, bool listed = false);
  // Looks for `name` in a listing of the item's server folder begun no
  // earlier than `since` (one another copy made, or waits for, or one of its
  // own), into `found`; false when the folder could not be listed.
  bool ListedNow(IFileSystem& fs, Item& item, std::chrono::steady_clock::time_point since, const std::string& name,
                 bool& there, FindData& found);
  bool StoreNew(Ends& e, Item& item, TransferOutcome& outcome, bool& ok);
  bool StoreAndRename(Ends& e, Item& item, TransferOutcome& outcome, bool& ok);
  // Whether the copy at `tmp` is whole (removed when not): the source's
  // bytes all read, the destination holding as many (`told`: the size it
  // told already), the hashes alike with verify.
  bool StoredWhole(Ends& e, Item& item, const std::string& tmp, TransferOutcome& outcome,
                   std::optional<uint64_t> told = std::nullopt);
  // With verify: whether the copy stored at `path` hashes as its source does
  // (true, and told once a run, where the two sides give no common hash).
  bool SameContents(Ends& e, const std::string& path, TransferOutcome& outcome);
  bool TakePlace(Ends& e, Item& item, const std::string& tmp, const std::string& tmp2, TransferOutcome& outcome,
                 bool& ok);
  bool StoreDirectly(Ends& e, Item& item, TransferOutcome& outcome);
  // The safety net (transfer_keep.cpp): keeps the file at `path` on the
  // item's destination side before it is deleted or replaced: in the trash
  // (a local file; hard-linked there when `link`, so that the new version
  // still replaces it in one rename) or the run's backup folder (a server
  // file, moved). True with `keptAt` empty when no net is on; false with
  // `error` when the file could not be kept (it is then left as it is).
  bool KeepOld(IFileSystem& fs, Item& item, const std::string& path, bool link, std::string& keptAt, bool& moved,
               std::string& error);
  // Undoes KeepOld after the replacement failed: the old version back in its
  // place (or its extra link in the trash dropped).
  void PutBack(IFileSystem& fs, Item& item, const std::string& path, const std::string& keptAt, bool moved);
  bool BackupFolders(IFileSystem& fs, const std::string& folder, std::string& error);
  std::mutex backupMutex_;
  std::string backupRun_;               // the run's dated backup folder (made at first need)
  std::string backupRoot_;              // the remote top folder (it and its parents are there)
  std::set<std::string> backupFolders_;  // the folders below it made so far
  // Re-reads the server's side of the entries uploaded into one folder (one
  // listing for all of them) and re-classifies them.
  void RefreshUploads(IFileSystem& remote, IFileSystem& local, Folder& folder);
  void AddDone(Item& item, uint64_t bytes);
  // Waits as the bandwidth limit asks before `bytes` more go (at once after
  // an abort).
  void Throttle(uint64_t bytes);
  void Undo(Item& item);
  void Post(bool force);
  void PostFolder(CFolderRecord* record);

  CFolderCollection& collection_;
  std::unique_ptr<IFileSystem> local_;
  std::unique_ptr<FileSystemPool> ownPool_;
  FileSystemPool& pool_;
  SyncTotals& totals_;
  TransferOptions options_;
  ITransferListener* listener_;
  ISyncRecorder* recorder_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<bool> unverifiedTold_{false};
  std::atomic<bool> abort_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
  std::atomic<Renames> renames_{Renames::Unknown};
  std::atomic<int> connectionsUsed_{0};
  std::atomic<size_t> filesStarted_{0}, filesDone_{0};
  RemoteFolderMaker maker_;
  std::unique_ptr<RateLimit> limit_;  // with a bandwidth limit
  // Twelve hex digits in this run's temporary upload names.
  const std::string runTag_;

  std::vector<Item> items_;
  std::vector<Folder> folders_;
  std::vector<TransferOutcome> outcomes_;
  std::vector<TransferOutcome> folderOutcomes_;  // emptied folders removed
  std::vector<std::unique_ptr<CFileEntry>> removedEntries_;  // deleted on both sides, under the collection's lock
  std::mutex workMutex_;  // the queue, the folders' counts and upload lists
  std::deque<size_t> queue_;
  std::vector<std::thread> threads_;  // the helpers, under workMutex_
  int starting_ = 0;                  // helpers waiting for a connection
  size_t working_ = 0;                // connections copying
  bool poolFull_ = false;             // the pool had none to give a helper
  std::mutex localFoldersMutex_;
  std::mutex listingsMutex_;  // the folders' latest listings
  std::condition_variable listingsChanged_;

  mutable std::mutex totalsMutex_;
  double bytesTotal_ = 0;
  struct Copying {
    size_t item;
    std::string name;
    double size;
  };
  std::vector<Copying> copying_;  // the copies under way, under totalsMutex_
  std::mutex postMutex_;
  std::chrono::steady_clock::time_point lastPost_{};
};

// Makes a folder and its missing parents on a file system that can be asked
// about a folder at no risk (the local disk); true when it exists after.
bool MakeFolders(IFileSystem& fs, const std::string& path);

// Deletes a file through its file system, unless it changed since it was
// listed (`listed`, as the compare saw it, judged at the side's own
// precision: SideChanged) or is a folder now; false with `error` when it was
// not deleted. `remove` (when given) takes the place of fs.Remove.
bool DeleteListedFile(IFileSystem& fs, const std::string& path, const FindData& listed, std::string& error,
                      const std::function<bool(std::string&)>& remove = {});

struct DeleteCounts {
  int localDeleted = 0;
  int remoteDeleted = 0;
  int failed = 0;
};

// Deletes the chosen sides of the given entries of one folder record, each
// through its own file system (`local` takes local paths as they are). A side
// that was deleted is cleared; an entry with a side left is re-classified, one
// with none is removed from the record and destroyed. The notifier hears of the
// record after each entry, the recorder of each entry with a side deleted
// (its record of the pair goes: what is left is new to the state).
DeleteCounts DeleteEntries(CFolderCollection& collection, CFolderRecord& record,
                           const std::vector<CFileEntry*>& entries, bool deleteLocal, bool deleteRemote,
                           IFileSystem* local, IFileSystem* remote, bool ignoreSeconds, IFolderNotify* notify,
                           ISyncRecorder* recorder = nullptr);

}  // namespace twinbay
