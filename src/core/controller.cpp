#include "core/controller.h"

#include <algorithm>
#include <system_error>

#include "engine/parallel_lister.h"
#include "net/connections.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"

namespace twinbay {

CSyncController::CSyncController(CFolderCollection& collection)
    : collection_(collection), local_(std::make_unique<LocalFileSystem>("/")) {}

CSyncController::~CSyncController() {
  StopCompare();
  StopSync();
  session_.Cancel();
  WaitForSession();
  WaitForCompare();
  WaitForSync();
  ResetConnections();
}

// ---- connections ----------------------------------------------------------------

IFileSystem* CSyncController::Primary() {
  std::lock_guard g(poolMutex_);
  if (!primary_) {
    if (!localRemoteRoot_.empty()) primary_ = std::make_unique<LocalFileSystem>(localRemoteRoot_);
    else primary_ = std::make_unique<FtpFileSystem>(session_);
  }
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
  std::unique_ptr<IFileSystem> primary;
  {
    std::lock_guard g(poolMutex_);
    pool = std::move(pool_);
    primary = std::move(primary_);
  }
  pool.reset();  // before the file system it is built over
}

// ---- compare ------------------------------------------------------------------

bool CSyncController::ResolvePaths(const CompareOptions& options, std::string& local, std::string& remote,
                                   std::string& problem) const {
  problem = CFolderComparer::CheckPaths(options.localPath);
  if (!problem.empty()) return false;
  local = options.localPath;
  while (local.size() > 1 && local.back() == '/') local.pop_back();
  remote = localRemoteRoot_.empty() ? ResolveRemotePath(options.remotePath, session_.LoginFolder()) : "/";
  return true;
}

bool CSyncController::PrepareCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem) {
  WaitForCompare();
  if (!ResolvePaths(options, localRoot_, remoteRoot_, problem)) return false;
  compareOptions_ = options;
  if (compareOptions_.fileTypes.empty()) compareOptions_.fileTypes = "*.*";
  lister_.reset();
  // The walk lists on the first connection; the pool's others (opened when
  // there is work for them, kept for the sync) list ahead of it.
  const int connections = std::clamp(options.connections, 1, FileSystemPool::kMaxMembers);
  FileSystemPool& pool = RemotePool(connections);
  walkLease_ = pool.LeaseFirst();
  if (!walkLease_) {
    problem = "The connection is busy.";
    return false;
  }
  lister_ = std::make_unique<CParallelLister>(*walkLease_, pool, connections - 1);
  comparer_.SetRemoveStaleTemps(options.removeStaleTemps);
  staleSwept_ = false;
  comparer_.BeginCompare(listener, local_.get(), lister_.get(), &collection_, localRoot_, remoteRoot_,
                         options.tagAfterCompare, options.ignoreSeconds, lister_.get());
  return true;
}

void CSyncController::Compare() {
  comparer_.Run(localRoot_, remoteRoot_, compareOptions_.fileTypes, compareOptions_.includeSubFolders);
  // The helpers end here; their connections stay in the pool for the sync.
  lister_.reset();
  walkLease_.Return();
}

bool CSyncController::RunCompare(const CompareOptions& options, ICompareListener* listener, std::string& problem) {
  if (!PrepareCompare(options, listener, problem)) return false;
  Compare();
  return true;
}

bool CSyncController::StartCompare(const CompareOptions& options, ISyncListener* listener, std::string& problem) {
  session_.ArmCancel();
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

void CSyncController::RunSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener) {
  PrepareSync(options, totals, listener);
  RemoveStaleTemps();
  job_->RunTransfer();
}

bool CSyncController::StartSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener,
                                std::string& problem) {
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
  return DeleteEntries(collection_, record, entries, local, remote, local_.get(), Primary(), ignoreSeconds, nullptr);
}

}  // namespace twinbay

namespace twinbay {

// ---- session work ---------------------------------------------------------------

bool CSyncController::StartSessionWork(SessionWork work, std::function<void(SessionOutcome&)> run,
                                       ISessionListener* listener) {
  if (sessionRunning_.load()) return false;
  WaitForSession();  // the last one has told its outcome: it is ending
  sessionRunning_.store(true);
  session_.ArmCancel();
  try {
    sessionThread_ = std::thread([this, work, run = std::move(run), listener] {
      SessionOutcome outcome;
      outcome.work = work;
      run(outcome);
      outcome.cancelled = session_.Cancelled();
      // A command ended half-way leaves the connection in no known state.
      if (outcome.cancelled) session_.CloseConnection();
      sessionRunning_.store(false);
      if (listener) listener->SessionWorkDone(outcome);
    });
  } catch (const std::system_error&) {
    sessionRunning_.store(false);
    return false;
  }
  return true;
}

void CSyncController::WaitForSession() {
  if (sessionThread_.joinable()) sessionThread_.join();
}

bool CSyncController::StartConnect(const CConnectionProperties& record, const std::string& promptedPassword,
                                   ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Connect,
      [this, record, promptedPassword](SessionOutcome& o) {
        ResetConnections();
        o.ok = RunConnect(session_, record, promptedPassword);
      },
      listener);
}

bool CSyncController::StartCheck(ISessionListener* listener) {
  return StartSessionWork(SessionWork::Check, [this](SessionOutcome& o) { o.ok = session_.EnsureConnected(); },
                          listener);
}

bool CSyncController::StartDelete(CFolderRecord& record, std::vector<CFileEntry*> entries, bool local, bool remote,
                                  bool ignoreSeconds, ISessionListener* listener) {
  return StartSessionWork(
      SessionWork::Delete,
      [this, &record, entries = std::move(entries), local, remote, ignoreSeconds](SessionOutcome& o) {
        IFileSystem* const fs = Primary();
        // One entry at a time, so that a cancel stops before the next.
        for (CFileEntry* e : entries) {
          if (session_.Cancelled()) {
            ++o.counts.failed;
            continue;
          }
          const DeleteCounts c = DeleteEntries(collection_, record, {e}, local, remote, local_.get(), fs, ignoreSeconds,
                                                nullptr);
          o.counts.localDeleted += c.localDeleted;
          o.counts.remoteDeleted += c.remoteDeleted;
          o.counts.failed += c.failed;
        }
        o.ok = o.counts.failed == 0;
      },
      listener);
}

bool CSyncController::StartDisconnect(ISessionListener* listener) {
  return StartSessionWork(SessionWork::Disconnect,
                          [this](SessionOutcome& o) {
                            ResetConnections();
                            session_.CloseConnection();
                            o.ok = true;
                          },
                          listener);
}

}  // namespace twinbay
