// The last synchronised state of folder pairs, kept in one SQLite database in
// the user's data folder (never beside the user's files).
//
//   pairs(id, place, local_root, remote_root)   one row per folder pair; place
//                                                is the server's address (see
//                                                CSyncController::PlaceOf),
//                                                never a connection's name
//   folders(id, pair, path)                      one row per folder of a pair
//                                                holding records; path below
//                                                the top folders ("" for them)
//   files(folder, name, local_size, local_time, remote_size, remote_time)
//                                                one row per file pair that was
//                                                in step on both sides; path
//                                                and name folded as names pair
//
// A row is written only for a pair that exists on both sides and is in step
// (after a copy, or found so by a compare), in one transaction with nothing
// else, so that a run killed at any moment leaves rows that are each true. A
// row is removed when its file is gone from both sides (or deleted on purpose).
// The one other row: a new file being stored directly on the server, its
// remote size kStoreUnderWay (state_rules.h), from just before the store
// until the pair is recorded or what the store left is removed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/state_rules.h"
#include "transfer/transfer.h"

struct sqlite3;
struct sqlite3_stmt;

namespace twinbay {

class SyncStateStore {
 public:
  SyncStateStore() = default;
  ~SyncStateStore();
  SyncStateStore(const SyncStateStore&) = delete;
  SyncStateStore& operator=(const SyncStateStore&) = delete;

  // $XDG_DATA_HOME/Kestrion/twinbay-state.sqlite (XDG_DATA_HOME defaulting to
  // ~/.local/share); empty when neither is set.
  static std::string DefaultFile();

  // Opens the database, making it (and its folder) when missing. False, with
  // a message, when it cannot be opened or written, is not ours, or (with
  // `check`) a file of ours does not read whole (Damaged()).
  bool Open(const std::string& file, std::string& error, bool check = true);
  // Set before Open: a wait for another program's write ends (fails) as soon
  // as the flag is set.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  bool IsOpen() const { return db_ != nullptr; }
  const std::string& LastError() const { return error_; }
  // The file failed its check, or a read found a page that is not what it
  // should be: no record of it can be trusted.
  bool Damaged() const { return damaged_; }
  // The first read that failed since the last ClearReadError (empty: none).
  // A read that fails gives no rows, so this must be asked after each use.
  std::string ReadError() const;
  void ClearReadError() {
    std::lock_guard g(readErrorMutex_);
    readError_.clear();
  }

  // The id of a folder pair; 0 when it has none (and `make` is false) or on
  // a failure. With `make`, a pair under one of `formerKeys` with the same
  // roots (a connection's name, under which earlier versions kept it)
  // becomes the place's when the place has no records of its own.
  int64_t Pair(const std::string& place, const std::string& localRoot, const std::string& remoteRoot, bool make,
               const std::vector<std::string>& formerKeys = {});
  // Whether anything is recorded for the pair, and how many file pairs (-1
  // when they cannot be read).
  bool HasRows(int64_t pair);
  int64_t Count(int64_t pair);
  // The folders the pair has records in, and dropping all of one's.
  std::vector<std::string> Folders(int64_t pair);
  bool RemoveFolder(int64_t pair, const std::string& folder);

  // The records of one folder of the pair (its path relative to the roots,
  // "" for the top folder), keyed by name. Folders and names are given
  // folded (RecordedFolder, FoldedName), as they are kept.
  RecordedFolderList Folder(int64_t pair, const std::string& folder);
  // Records one pair in step, or removes its record; each is one transaction.
  bool Record(int64_t pair, const std::string& folder, const std::string& name, const RecordedPair& sides);
  bool Remove(int64_t pair, const std::string& folder, const std::string& name);
  // Records many pairs of one folder, as Record each.
  bool RecordMany(int64_t pair, const std::string& folder, const RecordedFile* const* files, size_t count);

  // Many changes as one transaction (a compare's in-step pairs).
  bool Begin();
  bool Commit();

  // Drops every pair (and its records) of a place; the number dropped.
  int ForgetPlace(const std::string& place);

 private:
  bool Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  bool Fail(const std::string& what);
  // PRAGMA quick_check: false (and damaged_) unless it says "ok".
  bool Check();
  // Whether a read's last step `rc` failed (neither a row nor the end): the
  // failure is kept as the read error.
  bool ReadFailed(int rc, const char* what);
  // The pair kept under `key`; 0: none, -1: cannot be read.
  int64_t FindPair(const std::string& key, const std::string& localRoot, const std::string& remoteRoot);
  // The number of a folder of the pair; 0 when it has none (and `make` is
  // false) or on a failure.
  int64_t FolderId(int64_t pair, const std::string& folder, bool make);

  sqlite3* db_ = nullptr;
  const std::atomic<bool>* stop_ = nullptr;
  std::map<const char*, sqlite3_stmt*> statements_;  // by the address of their text
  std::string error_;
  std::atomic<bool> damaged_{false};  // a read on any thread may find it
  mutable std::mutex readErrorMutex_;
  std::string readError_;
  bool inTransaction_ = false;
  struct {
    int64_t pair = 0;
    std::string path;
    int64_t id = 0;
  } lastFolder_;
};

// One compare's and the sync's after it use of the state of one folder pair:
// the compare reads each folder's records and tells what is in step or gone
// (written in batches, each one transaction, by a thread of the session's);
// the sync records each copy and deletion as it ends (each one transaction).
// Folders and names come folded. Safe to share between threads.
class StateSession : public IRecordedState, public ISyncRecorder {
 public:
  // `classify`: the compare classes by the records (else it only writes).
  // `batch`: a compare's changes are written this many to a transaction: few
  // commits, and little lost to a crash (which loses only rows not yet true
  // anyway).
  StateSession(SyncStateStore& store, int64_t pair, bool classify, size_t batch = 4096);
  ~StateSession() override;

  bool Any() override { return recorded_ > 0; }
  bool Classify() override { return classify_; }
  RecordedFolderList Folder(const std::string& folder) override;
  void InStep(const std::string& folder, const std::string& name, const RecordedPair& now) override;
  void Gone(const std::string& folder, const std::string& name) override;
  void Walked(const std::string& folder) override;
  void Excluded(const std::string& folder) override;
  void Finish(bool whole) override;

  void Copied(const CFolderRecord& record, const FileSide& local, const FileSide& remote) override;
  void CopiedMany(const CFolderRecord& record, const std::vector<std::pair<FileSide, FileSide>>& pairs) override;
  void Deleted(const CFolderRecord& record, const std::string& name) override;
  bool StoreBegins(const CFolderRecord& record, const FileSide& local) override;

  // Called (on the compare's thread) when a folder's records cannot be read:
  // the compare must end, since what it classes would rest on rows missing.
  void SetOnReadFailure(std::function<void()> f) { onReadFailure_ = std::move(f); }
  // The file pairs recorded when the compare began.
  int64_t Recorded() const { return recorded_; }
  // The first failure to write (empty while none): the compare goes on, and
  // the user is told that the state may lag behind.
  std::string Error() const;

 private:
  struct Change {
    std::string folder;
    RecordedFile file;
    bool remove;  // else: record
  };
  void Add(Change change);
  void Hand(std::vector<Change>&& batch);  // to the writer thread
  void WriteQueued();                      // the writer thread
  void Write(const std::vector<Change>& batch);
  void Drain();  // writes what is pending and queued, and ends the writer
  void Note(bool ok);

  SyncStateStore& store_;
  std::function<void()> onReadFailure_;
  const int64_t pair_;
  const bool classify_;
  const size_t batch_;
  const int64_t recorded_;
  std::mutex mutex_;  // pending_, walked_, excluded_
  std::vector<Change> pending_;
  std::set<std::string> walked_;
  std::set<std::string> excluded_;  // folders left out, kept with all below them
  std::mutex storeMutex_;  // every use of store_ after the start
  std::mutex queueMutex_;  // queue_, stop_, starting writer_
  std::condition_variable queueChanged_;
  std::deque<std::vector<Change>> queue_;
  bool stop_ = false;
  std::thread writer_;
  mutable std::mutex errorMutex_;
  std::string error_;
};

}  // namespace twinbay
