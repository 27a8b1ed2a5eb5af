#include "core/controller.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

#include "engine/parallel_lister.h"
#include "core/connections.h"
#include "fs/paths.h"
#include "fs/patterns.h"
#include "engine/tags.h"
#include "net/ftp_fs.h"
#include "fs/local_fs.h"

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

bool CSyncController::PrepareCompare(const CompareOptions& options, std::string& problem) {
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
  return true;
}

bool CSyncController::BeginWalk(ICompareListener* listener, std::string& problem) {
  const CompareOptions& options = compareOptions_;
  // The exclusions: those given, then the local top folder's file. One that
  // cannot be read or used stops the compare (an empty list would copy and
  // record what the user meant to leave out).
  ExcludeList exclusions;
  std::string why;
  if (!exclusions.AddLines(options.exclude, why) ||
      !ReadExcludeFile(JoinLocalPath(localRoot_, kExcludeFileName), exclusions, why)) {
    problem = "Not compared: the exclusions cannot be used: " + why + ".";
    lister_.reset();
    walkLease_.Return();
    return false;
  }
  comparer_.SetExclusions(std::move(exclusions));
  if (!OpenState(options, problem)) {
    lister_.reset();
    walkLease_.Return();
    return false;
  }
  comparer_.SetRemoveStaleTemps(options.removeStaleTemps);
  comparer_.SetMirror(options.mirror);
  comparer_.SetRemoteLeftOut(options.backupDir.empty()      ? std::string()
                             : options.backupDir[0] == '/' ? options.backupDir
                                                           : JoinRemotePath(remoteRoot_, options.backupDir));
  comparer_.SetChecksum(options.checksum);
  mirrored_ = options.mirror != MirrorPolicy::None;
  staleSwept_ = false;
  comparer_.BeginCompare(listener, local_.get(), lister_.get(), &collection_, localRoot_, remoteRoot_,
                         options.tagAfterCompare, options.ignoreSeconds, lister_.get(), state_.get());
  // A stop that came while the state was opened (BeginCompare has just
  // cleared the comparer's own flag).
  if (stateWaitStop_.load()) comparer_.Abort();
  return true;
}

// ---- the last synchronised state ------------------------------------------------

std::string CSyncController::Place() const { return place_; }

bool CSyncController::OpenState(const CompareOptions& options, std::string& problem) {
  state_.reset();
  mirrored_ = false;
  stateProblem_.clear();
  const std::string file = stateFile_.empty() ? SyncStateStore::DefaultFile() : stateFile_;
  if (file.empty()) {
    problem = "No folder for the last synchronised state and the folders' lock: set HOME or XDG_DATA_HOME.";
    return false;
  }
  // One run per folder pair, with or without the state: two runs would
  // interleave their copies and deletions. The lock names the local folder
  // as it is on the disk, whichever way it was written.
  std::error_code ec;
  const std::string localReal = std::filesystem::weakly_canonical(localRoot_, ec).string();
  if (std::string why; !pairLock_.Take(std::filesystem::path(file).parent_path().string(),
                                       place_ + "\n" + (ec ? localRoot_ : localReal) + "\n" + remoteRoot_, why)) {
    problem = "Not compared: " + why + ".";
    return false;
  }
  if (options.memory == CompareOptions::Memory::Off) return true;
  // Without the state a deletion would be undone and an edit on both sides
  // decided by the clock: a state that cannot be used stops the compare.
  if (!store_) {
    auto store = std::make_unique<SyncStateStore>();
    store->SetStopFlag(&stateWaitStop_);
    std::string error;
    if (!store->Open(file, error)) {
      problem = store->Damaged() ? StateReadProblem(options, error, true)
                                 : "The last synchronised state cannot be used: " + error;
      return false;
    }
    store_ = std::move(store);
  }
  store_->ClearReadError();
  // The records are the place's (server, login, folders); a connection's
  // name is only a label. Records kept under the name (or the address as
  // written before) by earlier versions are taken over.
  const int64_t pair = store_->Pair(place_, localRoot_, remoteRoot_, true, {options.connectionName, formerPlace_});
  if (pair != 0) {
    state_ = std::make_unique<StateSession>(*store_, pair, options.memory == CompareOptions::Memory::On);
    // A read that fails ends the compare at once: a folder read as having no
    // records would be copied back where the user deleted.
    state_->SetOnReadFailure([this] { comparer_.Abort(); });
  }
  if (const std::string why = store_->ReadError(); !why.empty() || pair == 0) {
    problem = why.empty() ? "The last synchronised state cannot be used: " + store_->LastError()
                          : StateReadProblem(options, why, store_->Damaged());
    state_.reset();
    return false;
  }
  return true;
}

std::string CSyncController::StateReadProblem(const CompareOptions& options, const std::string& why,
                                              bool damaged) const {
  auto quoted = [](const std::string& s) {
    if (s.find_first_of(" \t'\"\\$`!*?;&|<>(){}[]#~") == std::string::npos) return s;
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  const std::string how = !options.connectionName.empty() ? "--connection " + quoted(options.connectionName)
                          : !localRemoteRoot_.empty()     ? "--remote-dir " + quoted(localRemoteRoot_)
                                                          : "--remote " + quoted(place_);
  return "The last synchronised state cannot be read (" + why + "): nothing was copied or deleted. " +
         "`twinbay-cli state forget " + how + "` " +
         (damaged ? "sets the damaged file aside: every folder pair then starts over"
                  : "starts its folder pairs over") +
         " (what was deleted on one side since the last sync is then copied back).";
}

long CSyncController::RecordedFiles() const { return state_ ? static_cast<long>(state_->Recorded()) : 0; }

std::string CSyncController::StateError() const { return state_ ? state_->Error() : std::string(); }

int CSyncController::ForgetState(const FileSystemTarget& target, const std::string& connectionName,
                                 std::string& error, std::string& note, const std::string& file) {
  SyncStateStore store;
  const std::string path = file.empty() ? SyncStateStore::DefaultFile() : file;
  if (path.empty()) {
    error = "no data folder (set HOME or XDG_DATA_HOME)";
    return -1;
  }
  int n = -1;
  const bool opened = store.Open(path, error);
  if (opened) {
    n = 0;
    const std::set<std::string> keys{PlaceOf(target), FormerPlaceOf(target), connectionName};
    for (const std::string& key : keys) {
      const int one = key.empty() ? 0 : store.ForgetPlace(key);
      if (one < 0) {
        n = -1;
        error = store.LastError();
        break;
      }
      n += one;
    }
  }
  if (n >= 0 || !store.Damaged()) return n;
  // No record of a damaged file can be trusted, nor can it be changed
  // safely: it is kept aside (for a look, or a rescue) and every pair starts
  // over.
  std::error_code ec;
  const std::string aside = path + ".damaged";
  std::filesystem::rename(path, aside, ec);
  if (!ec) std::filesystem::rename(path + "-wal", aside + "-wal", ec), ec.clear();
  std::filesystem::remove(path + "-shm", ec);
  if (std::filesystem::exists(path)) {
    error = "the state file " + path + " is damaged and cannot be set aside";
    return -1;
  }
  note = "the state file " + path + " is damaged: it is kept as " + aside + ", and every folder pair starts over";
  error.clear();
  return 0;
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
  if (const std::string why = state_ ? store_->ReadError() : std::string(); !why.empty()) {
    // What was classed before the failure may rest on records read short:
    // nothing of this compare is carried out.
    stateProblem_ = StateReadProblem(compareOptions_, why, store_->Damaged());
    UntagAllFiles(collection_);
    auto guard = collection_.Lock();
    if (collection_.GetCount() > 0) collection_.GetAt(0)->MarkIncomplete(stateProblem_);
  }
  // The helpers end here; their connections stay in the pool for the sync.
  lister_.reset();
  walkLease_.Return();
}

bool CSyncController::RunCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem) {
  collection_.Clear();
  stateWaitStop_.store(false);
  if (!PrepareCompare(options, problem) || !BeginWalk(listener, problem)) return false;
  Compare();
  problem = stateProblem_;
  return problem.empty();
}

bool CSyncController::StartCompare(const CompareOptions& options, ISyncListener* listener, std::string& problem) {
  cancel_.store(false);
  stateWaitStop_.store(false);
  startProblem_.clear();
  if (!PrepareCompare(options, problem)) return false;
  try {
    compareThread_ = std::thread([this, listener] {
      std::string why;
      if (BeginWalk(listener, why)) Compare();
      else if (!stateWaitStop_.load()) startProblem_ = why;
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
  stateWaitStop_.store(syncAborted_.load());
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
  if (!stateProblem_.empty()) {  // the compare did not read the state whole
    if (problem) *problem = stateProblem_;
    return false;
  }
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
  if (!stateProblem_.empty()) {  // the compare did not read the state whole
    problem = stateProblem_;
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
  stateWaitStop_.store(true);
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
