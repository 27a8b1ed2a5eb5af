#include "core/controller.h"

#include <algorithm>
#include <system_error>
#include <tuple>

#include "engine/parallel_lister.h"
#include "core/connections.h"
#include "engine/paths.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"

namespace twinbay {

CSyncController::CSyncController(CFolderCollection& collection)
    : collection_(collection), local_(std::make_unique<LocalFileSystem>("/")) {}

CSyncController::~CSyncController() {
  StopCompare();
  StopSync();
  cancel_.store(true);
  WaitForSession();
  WaitForCompare();
  WaitForSync();
  // What works over the remote side goes before it does.
  lister_.reset();
  walkLease_.Return();
  runningJob_.store(nullptr);
  job_.reset();
  ResetConnections();
}

// ---- connections ----------------------------------------------------------------

IFileSystem* CSyncController::Primary() {
  std::lock_guard g(primaryMutex_);
  return primary_.get();
}

FileSystemPool& CSyncController::RemotePool(int connections) {
  IFileSystem* primary = Primary();
  std::lock_guard g(poolMutex_);
  if (!pool_) pool_ = std::make_unique<FileSystemPool>(*primary, connections);
  else pool_->SetMaximum(connections);
  return *pool_;
}

void CSyncController::ResetConnections() {
  std::unique_ptr<FileSystemPool> pool;
  {
    std::lock_guard g(poolMutex_);
    pool = std::move(pool_);
  }
  pool.reset();  // logs out the connections it opened; the primary stays
}

// ---- compare ------------------------------------------------------------------

bool CSyncController::ResolvePaths(const CompareOptions& options, std::string& local, std::string& remote,
                                   std::string& problem) const {
  problem = CFolderComparer::CheckPaths(options.localPath);
  if (!problem.empty()) return false;
  local = options.localPath;
  while (local.size() > 1 && local.back() == '/') local.pop_back();
  remote = localRemoteRoot_.empty() ? ResolveRemotePath(options.remotePath, loginFolder_) : "/";
  return true;
}

bool CSyncController::PrepareCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem) {
  WaitForCompare();
  if (!ResolvePaths(options, localRoot_, remoteRoot_, problem)) return false;
  compareOptions_ = options;
  if (compareOptions_.fileTypes.empty()) compareOptions_.fileTypes = "*.*";
  lister_.reset();
  if (!Primary()) {
    problem = "Not connected.";
    return false;
  }
  // The walk lists on the first connection; the pool's others (opened when
  // there is work for them, kept for the sync) list ahead of it.
  const int connections = std::clamp(options.connections, 1, FileSystemPool::kMaxMembers);
  FileSystemPool& pool = RemotePool(connections);
  // Cancel ends a listing or a login of the compare's connections at once.
  pool.SetAbortFlag(&cancel_);
  walkLease_ = pool.LeaseFirst();
  if (!walkLease_) {
    problem = "The connection is busy.";
    return false;
  }
  lister_ = std::make_unique<CParallelLister>(*walkLease_, pool, connections - 1);
  if (!OpenState(options, problem)) {
    lister_.reset();
    walkLease_.Return();
    return false;
  }
  comparer_.SetRemoveStaleTemps(options.removeStaleTemps);
  staleSwept_ = false;
  comparer_.BeginCompare(listener, local_.get(), lister_.get(), &collection_, localRoot_, remoteRoot_,
                         options.tagAfterCompare, options.ignoreSeconds, lister_.get(), state_.get());
  return true;
}

// ---- the last synchronised state ------------------------------------------------

std::string CSyncController::Place() const { return place_; }

bool CSyncController::OpenState(const CompareOptions& options, std::string& problem) {
  state_.reset();
  mirrored_ = false;
  if (options.memory == CompareOptions::Memory::Off) return true;
  // Without the state a deletion would be undone and an edit on both sides
  // decided by the clock: a state that cannot be used stops the compare.
  if (!store_) {
    const std::string file = stateFile_.empty() ? SyncStateStore::DefaultFile() : stateFile_;
    auto store = std::make_unique<SyncStateStore>();
    std::string error = "no data folder (set HOME or XDG_DATA_HOME)";
    if (file.empty() || !store->Open(file, error)) {
      problem = "The last synchronised state cannot be used: " + error;
      return false;
    }
    store_ = std::move(store);
  }
  const std::string place = options.place.empty() ? place_ : options.place;
  const int64_t pair = store_->Pair(place, localRoot_, remoteRoot_, true);
  if (pair == 0) {
    problem = "The last synchronised state cannot be used: " + store_->LastError();
    return false;
  }
  state_ = std::make_unique<StateSession>(*store_, pair, options.memory == CompareOptions::Memory::On);
  return true;
}

long CSyncController::RecordedFiles() const { return state_ ? static_cast<long>(state_->Recorded()) : 0; }

std::string CSyncController::StateError() const { return state_ ? state_->Error() : std::string(); }

int CSyncController::ForgetState(const std::string& place, std::string& error, const std::string& file) {
  SyncStateStore store;
  const std::string path = file.empty() ? SyncStateStore::DefaultFile() : file;
  if (path.empty()) {
    error = "no data folder (set HOME or XDG_DATA_HOME)";
    return -1;
  }
  if (!store.Open(path, error)) return -1;
  const int n = store.ForgetPlace(place);
  if (n < 0) error = store.LastError();
  return n;
}

void CSyncController::MakeMirror(bool up) {
  mirrored_ = true;
  auto guard = collection_.Lock();
  for (size_t i = 0; i < collection_.GetCount(); ++i) {
    CFolderRecord* record = collection_.GetAt(i);
    if (record->UnderIncomplete()) continue;
    for (auto& e : record->entries) {
      const bool onSource = up ? e->local.has_value() : e->remote.has_value();
      if (!onSource && IsCopyState(e->state)) {
        e->state = up ? DeleteRemote : DeleteLocal;
        e->tagged = true;
      } else if (e->state == (up ? CopyRemoteToLocal : CopyLocalToRemote) || e->state == Conflict ||
                 IsDeleteState(e->state)) {
        // Newer on the destination (or changed there since the last sync):
        // left as it is.
        e->tagged = false;
      }
    }
  }
}

DeletionCheck CSyncController::CheckDeletions(const TransferOptions& options, long maxDelete, int maxShare) const {
  DeletionCheck check;
  if (!options.deleteFollowing) return check;
  long localFiles = 0, remoteFiles = 0;
  {
    auto guard = collection_.Lock();
    for (size_t i = 0; i < collection_.GetCount(); ++i) {
      const CFolderRecord* record = collection_.GetAt(i);
      for (const auto& e : record->entries) {
        localFiles += e->local.has_value();
        remoteFiles += e->remote.has_value();
        if (IsDeleteState(e->state) && CTransferJob::SelectedIn(*record, *e, options))
          ++(e->state == DeleteRemote ? check.remote : check.local);
      }
    }
  }
  const long total = check.local + check.remote;
  if (total == 0) return check;
  // Each side's deletions are measured alone against the files recorded in
  // step at the last sync: files new since then, on either side, never
  // dilute the share. A mirror's are measured against the destination's
  // files; with nothing recorded (a first run, or no state) the only
  // deletions are those chosen by hand, measured against that side's files.
  const long recorded = mirrored_ ? 0 : RecordedFiles();
  auto baseOf = [recorded](long listed) { return recorded > 0 ? recorded : listed; };
  check.localBase = baseOf(localFiles);
  check.remoteBase = baseOf(remoteFiles);
  auto plural = [](long n) { return std::to_string(n) + (n == 1 ? " file" : " files"); };
  if (maxDelete >= 0) {
    if (total > maxDelete) {
      check.allowed = false;
      check.problem = "This run would delete " + plural(total) + ", more than the " + std::to_string(maxDelete) +
                      " allowed: nothing was copied or deleted.";
    }
    return check;
  }
  std::string over;
  for (const auto& [deletions, base, where] : {std::tuple{check.remote, check.remoteBase, "on the server"},
                                               std::tuple{check.local, check.localBase, "here"}}) {
    if (deletions * 100 <= static_cast<long>(maxShare) * base) continue;
    over += std::string(over.empty() ? "" : " and ") + where + " " + std::to_string(deletions) + " of the " +
            plural(base) + (recorded > 0 ? " in step at the last sync" : " there");
  }
  if (!over.empty()) {
    check.allowed = false;
    check.problem = "This run would delete " + over + " (more than " + std::to_string(maxShare) +
                    " %): nothing was copied or deleted. Is a folder missing or emptied by mistake? Allow it "
                    "with a count of deletions to make.";
  }
  return check;
}

void CSyncController::Compare() {
  comparer_.Run(localRoot_, remoteRoot_, compareOptions_.fileTypes, compareOptions_.includeSubFolders);
  // The helpers end here; their connections stay in the pool for the sync.
  lister_.reset();
  walkLease_.Return();
}

bool CSyncController::RunCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem) {
  collection_.Clear();
  if (!PrepareCompare(options, listener, problem)) return false;
  Compare();
  return true;
}

bool CSyncController::StartCompare(const CompareOptions& options, ISyncListener* listener, std::string& problem) {
  cancel_.store(false);
  if (!PrepareCompare(options, listener, problem)) return false;
  try {
    compareThread_ = std::thread([this, listener] {
      Compare();
      if (listener) listener->CompareDone();
    });
  } catch (const std::system_error& e) {
    lister_.reset();
    walkLease_.Return();
    problem = std::string("The compare could not be started: ") + e.what();
    return false;
  }
  return true;
}

void CSyncController::WaitForCompare() {
  if (compareThread_.joinable()) compareThread_.join();
}

std::vector<const CFolderRecord*> CSyncController::IncompleteFolders() const {
  std::vector<const CFolderRecord*> out;
  auto guard = collection_.Lock();
  for (size_t i = 0; i < collection_.GetCount(); ++i)
    if (collection_.GetAt(i)->incomplete) out.push_back(collection_.GetAt(i));
  return out;
}

// ---- sync ---------------------------------------------------------------------

void CSyncController::PrepareSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener) {
  WaitForSync();
  runningJob_.store(nullptr);
  job_.reset();
  job_ = std::make_unique<CTransferJob>(collection_, *local_, RemotePool(options.connections), totals, options,
                                        listener);
  job_->SetRecorder(state_.get());
  runningJob_.store(job_.get());
  if (syncAborted_.load()) job_->Abort();
}

void CSyncController::RemoveStaleTemps() {
  if (staleSwept_) return;
  staleSwept_ = true;
  FileSystemPool::Lease remote = RemotePool(job_->Connections()).Acquire();
  for (const CFolderComparer::StaleTemp& t : comparer_.StaleTempsFound()) {
    if (syncAborted_.load()) return;
    if (t.remote && remote) remote->Remove(t.path);
    else if (!t.remote) local_->Remove(t.path);
  }
}

bool CSyncController::RunSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener,
                              std::string* problem, long maxDelete) {
  if (const DeletionCheck check = CheckDeletions(options, maxDelete); !check.allowed) {
    if (problem) *problem = check.problem;
    return false;
  }
  PrepareSync(options, totals, listener);
  RemoveStaleTemps();
  job_->RunTransfer();
  return true;
}

bool CSyncController::StartSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener,
                                std::string& problem, long maxDelete) {
  if (!Primary()) {
    problem = "Not connected.";
    return false;
  }
  if (const DeletionCheck check = CheckDeletions(options, maxDelete); !check.allowed) {
    problem = check.problem;
    return false;
  }
  PrepareSync(options, totals, listener);
  try {
    syncThread_ = std::thread([this] {
      RemoveStaleTemps();
      job_->RunTransfer();
    });
  } catch (const std::system_error& e) {
    runningJob_.store(nullptr);
    job_.reset();
    problem = std::string("The transfer could not be started: ") + e.what();
    return false;
  }
  return true;
}

void CSyncController::StopSync() {
  if (CTransferJob* job = runningJob_.load()) job->Stop();
}

void CSyncController::AbortSync() {
  syncAborted_.store(true);
  if (CTransferJob* job = runningJob_.load()) job->Abort();
}

void CSyncController::WaitForSync() {
  if (syncThread_.joinable()) syncThread_.join();
}

// ---- delete -------------------------------------------------------------------

DeleteCounts CSyncController::Delete(CFolderRecord& record, const std::vector<CFileEntry*>& entries, bool local,
                                     bool remote, bool ignoreSeconds) {
  return DeleteEntries(collection_, record, entries, local, remote, local_.get(), Primary(), ignoreSeconds, nullptr,
                       state_.get());
}

}  // namespace twinbay
