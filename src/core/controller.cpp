#include "core/controller.h"

#include <algorithm>
#include <system_error>

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
  if (!Primary()) {
    problem = "Not connected.";
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
  return DeleteEntries(collection_, record, entries, local, remote, local_.get(), Primary(), ignoreSeconds, nullptr);
}

}  // namespace twinbay
