// One run of the program, without a window: the remote side (an FTP or SFTP
// server, or a local folder standing in for one) opened from a connection
// record or a FileSystemTarget, the listing pool, the compare on its thread,
// the transfer on its thread and the delete, with their options and outcome.
// The desktop program and twinbay-cli both drive it; neither wires up a file
// system, a lister, a comparer or a transfer job itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/pair_lock.h"
#include "core/sync_state.h"
#include "engine/comparer.h"
#include "fs/fs_pool.h"
#include "engine/parallel_lister.h"
#include "engine/totals.h"
#include "fs/file_system.h"
#include "fs/place.h"
#include "transfer/transfer.h"

namespace twinbay {

// What a compare is asked to do.
struct CompareOptions {
  std::string localPath;   // a full path
  std::string remotePath;  // as given: relative paths and "" are taken from the login folder
  std::string fileTypes = "*.*";
  bool includeSubFolders = true;
  // Paths to leave out (fs/patterns.h), one pattern a line: from the command
  // line or the stored connection. The local top folder's ".twinbayignore"
  // adds its own when the walk begins.
  std::string exclude;
  bool tagAfterCompare = true;
  bool ignoreSeconds = true;
  // Files of equal size are compared by a hash of their contents where the
  // server gives one.
  bool checksum = false;
  int connections = 8;  // listing connections, 1 to 16 (the session's own is one of them)
  // Remove the stale temporary files of interrupted transfers (only before a
  // real sync: a compare changes nothing).
  bool removeStaleTemps = false;
  // The last synchronised state of the folder pair: On classes each pair by
  // what changed since it was last in step (deletions follow, edits on both
  // sides are conflicts) and records what is in step; RecordOnly records but
  // classes by the times (a one-way mirror); Off neither reads nor writes it.
  enum class Memory { On, RecordOnly, Off };
  Memory memory = Memory::On;
  // A one-way mirror and its direction: the times decide (the source wins
  // where it is newer), what is on the destination only becomes a deletion
  // there (tagged), a file newer on the destination is untagged (left as it
  // is).
  MirrorPolicy mirror = MirrorPolicy::None;
  // The stored connection's name (empty: none), only a label: the records
  // are kept under the place (Place() and the two folders). Records that
  // earlier versions kept under the name are taken over.
  std::string connectionName;
  // The sync's backup folder on the server (TransferOptions::backupDir):
  // never listed nor paired where it lies below the top folder.
  std::string backupDir;
};

// The deletions a sync would make, and whether the guard lets them.
struct DeletionCheck {
  long local = 0, remote = 0;          // files to delete on each side
  long localBase = 0, remoteBase = 0;  // what each side's share is taken of
  bool allowed = true;
  std::string problem;  // why not, for the user
};

// Told how a compare goes (folders added and finished, see ICompareListener)
// and when it has ended. Every call comes on the compare's thread and must
// not wait for another thread.
class ISyncListener : public ICompareListener {
 public:
  // The walk ended (stopped or not) and the helper connections are logged out.
  virtual void CompareDone() = 0;
};

// Work on the remote side that may wait on the server, done on the
// controller's session thread so that the caller never waits: connecting,
// making sure of the connection (a probe, and a new login when it fails),
// deleting, listing a folder's sub-folders (the remote folder browser),
// logging out.
enum class SessionWork { Connect, Check, Delete, Disconnect, Browse };

struct SessionOutcome {
  SessionWork work = SessionWork::Check;
  // Connected (Connect, Check), every chosen side deleted (Delete), the
  // folder listed whole (Browse).
  bool ok = false;
  bool cancelled = false;  // ended by CancelSessionWork
  std::string error;       // why not, for the user
  OpenFailure failure;     // Connect: why it failed (an unknown host key or certificate carries its fingerprint)
  DeleteCounts counts;     // Delete
  std::string path;                  // Browse: the folder listed
  std::vector<std::string> folders;  // Browse: the names of its sub-folders, as the server gave them
};

// Hears the end of one piece of session work, on the session thread; must
// not wait for another thread.
class ISessionListener {
 public:
  virtual ~ISessionListener() = default;
  virtual void SessionWorkDone(const SessionOutcome& outcome) = 0;
};

class CConnectionProperties;

class CSyncController {
 public:
  explicit CSyncController(CFolderCollection& collection);
  // Stops what runs and waits for it.
  ~CSyncController();
  CSyncController(const CSyncController&) = delete;
  CSyncController& operator=(const CSyncController&) = delete;

  // The network libraries' global set-up, once per process (thread-safe);
  // a program calls it before its threads start.
  static void InitNetworking();

  // ---- the remote side
  // Opens it on the caller's thread (twinbay-cli): an FTP or SFTP server, or
  // a local folder standing in for one (FsProtocol::Local). What was open
  // before is closed first. `offset`: an FTP server's time offset. False,
  // with `failure`, when it could not be opened.
  bool Connect(const FileSystemTarget& target, OpenFailure& failure,
               const ServerTimeOffset& offset = ServerTimeOffset());
  // Makes sure the remote side's connection works, on the caller's thread (a
  // new login when it broke); false with the reason.
  bool EnsureConnected(std::string& error);
  // What the last connect that succeeded opened (read them once its outcome
  // is heard): the server's name (empty for a local folder), the folder the
  // login starts in, whether the login and files travel encrypted.
  bool Opened() const { return opened_; }
  const std::string& Host() const { return host_; }
  const std::string& LoginFolder() const { return loginFolder_; }
  bool Encrypted() const { return encrypted_; }
  // What the user is to hear of an FTP server's clock: what the test file
  // that finds its offset did, and that the offset could not be found, each
  // told once; and the second every time (for a status line). Empty when
  // nothing is to be said.
  std::string TakeClockProbeReport();
  std::string TakeClockNotice();
  std::string ClockNotice() const;
  // Drops the pool of connections the compare and the sync share (logging
  // out those it opened; the remote side's own connection stays): for a new
  // connect or a disconnect. Only while no compare, sync or delete runs; it
  // may wait on the network (the session thread calls it).
  void ResetConnections();
  // The pool the compare and the sync share (null before the first needs
  // it): its figures, for tests and benchmarks.
  const FileSystemPool* Pool() const { return pool_.get(); }

  // ---- compare
  // The top paths a compare would use: the local path without a trailing "/",
  // the remote path resolved against the login folder. Empty when the local
  // path cannot be used, with a message for the user in `problem`.
  bool ResolvePaths(const CompareOptions& options, std::string& local, std::string& remote, std::string& problem) const;
  // Compares on the caller's thread. The collection is emptied first.
  // False (with `problem`) when the paths cannot be used.
  bool RunCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem);
  // The same on the compare's own thread; the listener hears CompareDone at
  // the end. False (with `problem`) when it did not start. The folder pair's
  // lock and the state (whose database may wait for another program's
  // write) are taken on that thread, never the caller's: when they cannot be
  // had, CompareDone comes with StartProblem() saying why.
  bool StartCompare(const CompareOptions& options, ISyncListener* listener, std::string& problem);
  // Why the last StartCompare did not begin its walk (the text RunCompare
  // gives); empty when it did, or when it was stopped first. Read it after
  // CompareDone.
  const std::string& StartProblem() const { return startProblem_; }
  // Stops the walk soon, or the wait for the state's database before it.
  // Only stores to lock-free atomics (a signal handler may call it).
  void StopCompare() {
    stateWaitStop_.store(true);
    comparer_.Abort();
  }
  // Waits for the compare's thread (after CompareDone).
  void WaitForCompare();
  bool CompareStopped() const { return comparer_.IsAborted(); }
  // The last compare's top paths and outcome.
  const std::string& LocalRoot() const { return localRoot_; }
  const std::string& RemoteRoot() const { return remoteRoot_; }
  int StaleTempsRemoved() const { return comparer_.StaleTempsRemoved(); }
  std::vector<std::string> StaleTempsKept() const { return comparer_.StaleTempsKept(); }
  std::string ChecksumNote() const { return comparer_.ChecksumNote(); }
  // The folders that could not be read whole, in collection order.
  std::vector<const CFolderRecord*> IncompleteFolders() const;

  // ---- the last synchronised state
  // The state file (SyncStateStore::DefaultFile() unless set before the
  // first compare).
  void SetStateFile(const std::string& file) { stateFile_ = file; }
  // The address the remote side's pairs are kept under (empty before a
  // connect), whatever stored connection was used to get there.
  std::string Place() const;
  // The address a target's pairs are kept under (what Place() is once it
  // is open): "ftp://user@host:port", "sftp://...", "file:///root"; the host
  // in lower case, FTP's anonymous login by its name, FTP over TLS as FTP
  // (the same server folder).
  static std::string PlaceOf(const FileSystemTarget& target);
  // How many file pairs were recorded for the last compare's folder pair
  // when it began (0 without a state), and why the state could not be read
  // or written (empty when it could).
  long RecordedFiles() const;
  std::string StateError() const;
  // Why the last compare must not be carried out (its state could not be
  // read whole; the sync refuses): empty when it may.
  const std::string& CompareProblem() const { return stateProblem_; }
  // Drops everything recorded of a target's folder pairs (and what earlier
  // versions kept of them under `connectionName`): the number of pairs, -1
  // with `error`. A damaged state file (no record of it can be trusted) is
  // set aside whole, every pair starting over, and `note` says so.
  static int ForgetState(const FileSystemTarget& target, const std::string& connectionName, std::string& error,
                         std::string& note, const std::string& file = std::string());
  // The deletions a sync with these options would make (in its directions,
  // those chosen by hand included). More than `maxShare` percent of the files
  // recorded in step on either side (of the destination's files for a
  // mirror), or more than maxDelete in all when it is 0 or more, refuses the
  // run.
  DeletionCheck CheckDeletions(const TransferOptions& options, long maxDelete = -1, int maxShare = 50) const;

  // ---- sync
  // Copies the tagged entries selected by the options over the pool the
  // compare used (over the session, which the caller connects, or the local
  // stand-in). `totals` carries the progress.
  // RunSync works on the caller's thread; StartSync on its own, the listener
  // hearing TransferFinished at the end (WaitForSync then joins it). Either
  // first removes the stale temporary files the last compare found and left
  // (a compare itself changes nothing).
  // Deletions (deleteFollowing) are made in the same run, after the guard of
  // CheckDeletions(options, maxDelete) lets them: else nothing is done and
  // RunSync returns false with the problem (so does StartSync).
  bool RunSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener,
               std::string* problem = nullptr, long maxDelete = -1);
  bool StartSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener, std::string& problem,
                 long maxDelete = -1);
  // Stop after the file in flight. Abort at once, and every later transfer
  // too: it is for ending the program (only atomic stores: a signal handler
  // may call it).
  void StopSync();
  void AbortSync();
  void WaitForSync();
  // The transfer under way or the last one (null before the first).
  const CTransferJob* Job() const { return job_.get(); }

  // Stops both at once (signal-safe).
  void Abort() {
    StopCompare();
    AbortSync();
  }

  // ---- delete
  // Deletes the chosen sides of entries of one folder (on the caller's thread).
  DeleteCounts Delete(CFolderRecord& record, const std::vector<CFileEntry*>& entries, bool local, bool remote,
                      bool ignoreSeconds);

  // ---- session work on the session thread (one piece at a time; false when
  // one is still under way or no thread could be started). The listener
  // hears the outcome; WaitForSession then joins the thread at once.
  // Connect: opens the remote side as Connect does, from the record
  // (promptedPassword stands in for a password the record does not keep, the
  // record's server time offset applies) or from a target.
  bool StartConnect(const CConnectionProperties& record, const std::string& promptedPassword,
                    ISessionListener* listener);
  bool StartConnect(const FileSystemTarget& target, const ServerTimeOffset& offset, ISessionListener* listener);
  // Check: makes sure the remote side's connection works (a new login when
  // it broke, also after Disconnect).
  bool StartCheck(ISessionListener* listener);
  // Delete: as Delete; the entries must not be touched by anyone else until
  // the outcome is heard (the deleted ones are destroyed). A cancel stops
  // before the next entry.
  bool StartDelete(CFolderRecord& record, std::vector<CFileEntry*> entries, bool local, bool remote,
                   bool ignoreSeconds, ISessionListener* listener);
  bool StartDisconnect(ISessionListener* listener);
  // Browse: lists one remote folder (an absolute path) for its sub-folders.
  bool StartBrowse(const std::string& path, ISessionListener* listener);
  bool SessionWorkRunning() const { return sessionRunning_.load(); }
  // Ends the session work, the compare's listings or logins in flight at
  // once, also while the server is silent (the command fails as a lost
  // connection, the connection is closed). Only an atomic store.
  void CancelSessionWork() { cancel_.store(true); }
  void WaitForSession();
  // Abandons the transfer under way at once (the file in flight too); the
  // next transfer is not affected.
  void CancelSync() {
    if (CTransferJob* job = runningJob_.load()) job->Abort();
  }

 private:
  // Makes the listers of one compare, on the caller's thread (nothing here
  // waits on the disk or a database); false with `problem`.
  bool PrepareCompare(const CompareOptions& options, std::string& problem);
  void Compare();
  void PrepareSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener);
  // Removes what StaleTempsKept names, each once; on the sync's thread.
  void RemoveStaleTemps();
  bool staleSwept_ = false;  // since the last compare
  // The connected remote file system (or the local stand-in); null before
  // the first connect that succeeded. The compare, the sync and the delete
  // work on it and on the pool opened from it.
  IFileSystem* Primary();
  // The pool over Primary() (which must be open), made at first need and
  // kept from a compare to the sync after it; its maximum set to
  // `connections`.
  FileSystemPool& RemotePool(int connections);

  // Takes the folder pair's lock and opens the state, then begins the walk
  // (on the compare's thread for StartCompare); false with `problem`.
  bool BeginWalk(ICompareListener* listener, std::string& problem);
  // Opens the state and the session of this compare's folder pair; false
  // with `problem` when it cannot be used.
  bool OpenState(const CompareOptions& options, std::string& problem);
  // The message of a state that cannot be read, with the way out.
  std::string StateReadProblem(const CompareOptions& options, const std::string& why, bool damaged) const;
  std::string stateFile_;
  std::string stateProblem_;  // the last compare could not read the state: no sync
  std::string startProblem_;  // StartProblem()
  // Ends a wait of the state's database for another program (set by
  // StopCompare and AbortSync; cleared as a compare or a sync begins).
  std::atomic<bool> stateWaitStop_{false};
  PairLock pairLock_;         // the last compare's folder pair, held until the next
  std::unique_ptr<SyncStateStore> store_;
  std::unique_ptr<StateSession> state_;  // the last compare's, for the sync after it
  bool mirrored_ = false;                // the last compare was a mirror's

  CFolderCollection& collection_;
  std::string localRemoteRoot_;  // the local stand-in's root, when that is the remote side
  std::unique_ptr<IFileSystem> local_;  // the local disk, local paths as they are
  std::mutex poolMutex_;
  std::unique_ptr<FileSystemPool> pool_;
  CFolderComparer comparer_;
  FileSystemPool::Lease walkLease_;           // the walk's own connection, during a compare
  std::unique_ptr<CParallelLister> lister_;  // what the walk lists with (with helpers)
  CompareOptions compareOptions_;
  std::string localRoot_, remoteRoot_;
  std::thread compareThread_;

  std::unique_ptr<CTransferJob> job_;
  // The job a signal handler may abort (the same as job_ while it runs).
  std::atomic<CTransferJob*> runningJob_{nullptr};
  std::atomic<bool> syncAborted_{false};
  static_assert(std::atomic<CTransferJob*>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
  std::thread syncThread_;

  bool StartSessionWork(SessionWork work, std::function<void(SessionOutcome&)> run, ISessionListener* listener);
  std::thread sessionThread_;
  std::atomic<bool> sessionRunning_{false};

  // ---- the remote side (its owner is the session thread, or the caller of Connect)
  bool Open(const FileSystemTarget& target, const ServerTimeOffset& offset, OpenFailure& failure);
  std::unique_ptr<IFileSystem> primary_;
  // Probes the connection and logs in again when it broke.
  bool PrimaryUp();
  IRemoteSession* session_ = nullptr;  // primary_'s server session; null for a local folder
  mutable std::mutex primaryMutex_;  // a new primary_ against the clock notices read from other threads
  // Ends session work and every FTP command of the remote side's connections.
  std::atomic<bool> cancel_{false};
  bool opened_ = false, encrypted_ = false;
  std::string host_, loginFolder_ = "/";
  // The address as earlier versions wrote it (the host as given, no name
  // for an anonymous login): the records kept under it are taken over.
  static std::string FormerPlaceOf(const FileSystemTarget& target);
  std::string place_;        // the remote side's address, for the state
  std::string formerPlace_;  // the same as earlier versions wrote it
};

}  // namespace twinbay
