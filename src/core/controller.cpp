#include "core/controller.h"

#include <algorithm>
#include <system_error>

#include "engine/parallel_lister.h"
#include "net/connections.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"

namespace twinbay {

CSyncController::CSyncController(CFolderCollection& collection) : collection_(collection) {}

CSyncController::~CSyncController() {
  StopCompare();
  StopSync();
  session_.Cancel();
  WaitForSession();
  WaitForCompare();
  WaitForSync();
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
  if (!localRemoteRoot_.empty()) {
    ownLister_.reset();
    lister_ = std::make_unique<LocalFolderLister>(localRemoteRoot_);
  } else {
    // The walk lists on the session's connection; the others (logged in
    // early, when asked for) list ahead of it.
    ownLister_ = std::make_unique<FtpRemoteLister>(session_);
    lister_ = std::make_unique<CParallelLister>(*ownLister_, FtpListerFactory(session_, session_.TakeEarlyLogins()),
                                                std::clamp(options.connections, 1, 16) - 1);
  }
  comparer_.SetRemoveStaleTemps(options.removeStaleTemps);
  staleSwept_ = false;
  comparer_.BeginCompare(listener, lister_.get(), &collection_, localRoot_, remoteRoot_, options.tagAfterCompare,
                         options.ignoreSeconds);
  return true;
}

void CSyncController::Compare() {
  comparer_.Run(localRoot_, remoteRoot_, compareOptions_.fileTypes, compareOptions_.includeSubFolders);
  // The helper connections are logged out here, before anything is copied.
  lister_.reset();
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

std::unique_ptr<IFileSystem> CSyncController::RemoteFileSystem() {
  if (!localRemoteRoot_.empty()) return std::make_unique<LocalFileSystem>(localRemoteRoot_);
  return std::make_unique<FtpFileSystem>(session_);
}

void CSyncController::PrepareSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener) {
  WaitForSync();
  runningJob_.store(nullptr);
  job_.reset();
  remoteFs_ = RemoteFileSystem();
  job_ = std::make_unique<CTransferJob>(collection_, *remoteFs_, totals, options, listener);
  runningJob_.store(job_.get());
  if (syncAborted_.load()) job_->Abort();
}

void CSyncController::RemoveStaleTemps() {
  if (staleSwept_) return;
  staleSwept_ = true;
  for (const CFolderComparer::StaleTemp& t : comparer_.StaleTempsFound()) {
    if (syncAborted_.load()) return;
    if (t.remote) remoteFs_->Remove(t.path);
    else RemoveLocalRegularFile(t.path);
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
  const std::unique_ptr<IFileSystem> fs = RemoteFileSystem();
  return DeleteEntries(collection_, record, entries, local, remote, fs.get(), ignoreSeconds, nullptr);
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
      [this, record, promptedPassword](SessionOutcome& o) { o.ok = RunConnect(session_, record, promptedPassword); },
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
        const std::unique_ptr<IFileSystem> fs = RemoteFileSystem();
        // One entry at a time, so that a cancel stops before the next.
        for (CFileEntry* e : entries) {
          if (session_.Cancelled()) {
            ++o.counts.failed;
            continue;
          }
          const DeleteCounts c = DeleteEntries(collection_, record, {e}, local, remote, fs.get(), ignoreSeconds, nullptr);
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
                            session_.CloseConnection();
                            o.ok = true;
                          },
                          listener);
}

}  // namespace twinbay
