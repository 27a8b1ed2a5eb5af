#include "core/controller.h"

#include <algorithm>
#include <system_error>

#include "core/connections.h"
#include "engine/parallel_lister.h"
#include "engine/paths.h"
#include "net/ftp_fs.h"
#include "net/local_fs.h"
#include "net/open_fs.h"

namespace twinbay {
namespace {

// The remote side of a compare listed through a file system (an SFTP server):
// the walk's own, or one more opened for the parallel listing (owned).
class FsLister : public IRemoteLister {
 public:
  explicit FsLister(IFileSystem& fs) : fs_(fs) {}
  explicit FsLister(std::unique_ptr<IFileSystem> fs) : own_(std::move(fs)), fs_(*own_) {}
  bool ListFolder(const std::string& path, ScanList& out) override {
    out.clear();
    return fs_.List(path, out);
  }
  std::string ListingError() const override { return fs_.LastError(); }
  std::vector<std::string> TakeSkipped() override { return fs_.TakeSkipped(); }
  bool RemoveFile(const std::string& folder, const std::string& name) override {
    return fs_.Remove(JoinRemotePath(folder, name));
  }
  bool Recover() override { return fs_.EnsureConnected(); }

 private:
  std::unique_ptr<IFileSystem> own_;
  IFileSystem& fs_;
};

}  // namespace

CSyncController::CSyncController(CFolderCollection& collection) : collection_(collection) {}

CSyncController::~CSyncController() {
  StopCompare();
  StopSync();
  cancel_.store(true);
  WaitForSession();
  WaitForCompare();
  WaitForSync();
  // What works over the remote side goes before it does.
  lister_.reset();
  ownLister_.reset();
  runningJob_.store(nullptr);
  job_.reset();
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
  ownLister_.reset();
  IFileSystem* remote = Primary();
  const int helpers = std::clamp(options.connections, 1, 16) - 1;
  if (!remote) {
    problem = "Not connected.";
    return false;
  } else if (!localRemoteRoot_.empty()) {
    lister_ = std::make_unique<LocalFolderLister>(localRemoteRoot_);
  } else if (auto* ftp = dynamic_cast<FtpFileSystem*>(remote)) {
    // The walk lists on the session's connection; the others list ahead of it.
    ownLister_ = std::make_unique<FtpRemoteLister>(ftp->Session());
    lister_ = std::make_unique<CParallelLister>(*ownLister_, FtpListerFactory(ftp->Session()), helpers);
  } else {
    ownLister_ = std::make_unique<FsLister>(*remote);
    auto more = [remote]() -> std::unique_ptr<IRemoteLister> {
      std::unique_ptr<IFileSystem> fs = remote->OpenAnother();
      return fs ? std::make_unique<FsLister>(std::move(fs)) : nullptr;
    };
    lister_ = std::make_unique<CParallelLister>(*ownLister_, more, helpers);
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
  cancel_.store(false);
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

void CSyncController::PrepareSync(const TransferOptions& options, SyncTotals& totals, ITransferListener* listener) {
  WaitForSync();
  runningJob_.store(nullptr);
  job_.reset();
  job_ = std::make_unique<CTransferJob>(collection_, *Primary(), totals, options, listener);
  runningJob_.store(job_.get());
  if (syncAborted_.load()) job_->Abort();
}

void CSyncController::RemoveStaleTemps() {
  if (staleSwept_) return;
  staleSwept_ = true;
  for (const CFolderComparer::StaleTemp& t : comparer_.StaleTempsFound()) {
    if (syncAborted_.load()) return;
    if (t.remote) Primary()->Remove(t.path);
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
  return DeleteEntries(collection_, record, entries, local, remote, Primary(), ignoreSeconds, nullptr);
}

}  // namespace twinbay

