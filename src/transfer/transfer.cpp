// The transfer job: the run over a pool of connections, progress, finishing
// files and folders, re-reading uploads; folders and deletes.
#include "transfer/transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "fs/local_scan.h"
#include "fs/paths.h"
#include "engine/state_rules.h"
#include "transfer/transfer_impl.h"

namespace twinbay {
namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(50);

}  // namespace

std::string SysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Random letters and digits (or lower-case hex digits) for temporary names.
std::string RandomText(size_t n, bool hex) {
  static const char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, hex ? 15 : sizeof kChars - 2);
  std::string out(n, '0');
  for (char& c : out) c = kChars[pick(random)];
  return out;
}

namespace {

void AddWarning(TransferOutcome& outcome, const std::string& text) {
  outcome.warning += (outcome.warning.empty() ? "" : "; ") + text;
}

}  // namespace

void RemoteFolderMaker::Know(const CFolderRecord& record) {
  std::lock_guard g(mutex_);
  missing_[RemoteFolderKey(record.remotePath)] = record.folderClass == FolderLocalOnly || record.remoteMissing;
}

bool RemoteFolderMaker::Make(IFileSystem& remote, const std::string& path) {
  // One at a time: a folder is made once, before any file goes into it.
  std::lock_guard g(mutex_);
  std::string p = RemoteFolderKey(path);
  // The missing folders from this one up to the first that exists (or that
  // the compare did not see), made from the top down.
  std::vector<std::string> chain;
  for (;;) {
    auto it = missing_.find(p);
    if (it == missing_.end() || !it->second) break;
    chain.push_back(p);
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    p.erase(slash);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!remote.MakeFolder(*it)) return false;
    missing_[*it] = false;
  }
  return true;
}

CTransferJob::CTransferJob(CFolderCollection& collection, const IFileSystem& local, FileSystemPool& remote,
                           SyncTotals& totals, TransferOptions options, ITransferListener* listener)
    : collection_(collection),
      local_(local.OpenAnother()),
      pool_(remote),
      totals_(totals),
      options_(options),
      listener_(listener),
      runTag_(RandomText(12, true)) {
  if (options_.bytesPerSecond > 0) limit_ = std::make_unique<RateLimit>(options_.bytesPerSecond);
}

CTransferJob::CTransferJob(CFolderCollection& collection, const IFileSystem& local, IFileSystem& remote,
                           SyncTotals& totals, TransferOptions options, ITransferListener* listener)
    : collection_(collection),
      local_(local.OpenAnother()),
      ownPool_(std::make_unique<FileSystemPool>(remote, options.connections)),
      pool_(*ownPool_),
      totals_(totals),
      options_(options),
      listener_(listener),
      runTag_(RandomText(12, true)) {
  if (options_.bytesPerSecond > 0) limit_ = std::make_unique<RateLimit>(options_.bytesPerSecond);
}

CTransferJob::~CTransferJob() = default;

bool CTransferJob::Selected(const CFileEntry& e, const TransferOptions& o) {
  if (!e.tagged || !MatchesFilter(e, o.filter)) return false;
  if (IsDeleteState(e.state) && !o.deleteFollowing) return false;
  if (!IsActionState(e.state)) return false;
  return IsUpState(e.state) ? o.localToRemote : o.remoteToLocal;
}

bool CTransferJob::SelectedIn(const CFolderRecord& record, const CFileEntry& e, const TransferOptions& o) {
  if (DeletesThroughLink(record, e)) return false;
  return !record.UnderIncomplete() && Selected(e, o);
}

bool CTransferJob::DeletesThroughLink(const CFolderRecord& record, const CFileEntry& e) {
  return IsDeleteState(e.state) && record.ThroughLink(e.state == DeleteRemote);
}

SyncTotals CTransferJob::Totals() const {
  std::lock_guard g(totalsMutex_);
  SyncTotals t = totals_;
  const Copying* largest = nullptr;
  for (const Copying& c : copying_)
    if (!largest || c.size > largest->size) largest = &c;
  if (largest) {
    t.text = largest->name;
    t.currentFileSize = largest->size;
    t.currentFileDone = static_cast<double>(items_[largest->item].counted);
  }
  return t;
}

CTransferJob::Progress CTransferJob::GetProgress() const {
  Progress p;
  p.filesStarted = filesStarted_.load();
  p.filesDone = filesDone_.load();
  std::lock_guard g(totalsMutex_);
  p.filesTotal = items_.size();
  p.filesCopying = copying_.size();
  p.bytesDone = totals_.allDone;
  p.bytesTotal = bytesTotal_;
  return p;
}

void CTransferJob::AddDone(Item& item, uint64_t bytes) {
  {
    std::lock_guard g(totalsMutex_);
    totals_.AddDone(static_cast<double>(bytes));
    item.counted += bytes;
  }
  Post(false);
}

void CTransferJob::Throttle(uint64_t bytes) {
  if (!limit_) return;
  const auto until = std::chrono::steady_clock::now() + limit_->Reserve(bytes);
  while (!abort_ && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - std::chrono::steady_clock::now(),
                                                                               std::chrono::milliseconds(50)));
}

// Takes back what a copy that starts over had added to the totals.
void CTransferJob::Undo(Item& item) {
  std::lock_guard g(totalsMutex_);
  totals_.allDone -= static_cast<double>(item.counted);
  totals_.currentFileDone = std::max(0.0, totals_.currentFileDone - static_cast<double>(item.counted));
  item.counted = 0;
  std::erase_if(copying_, [&](const Copying& c) { return &items_[c.item] == &item; });  // under way again once retried
}

void CTransferJob::Post(bool force) {
  if (!listener_) return;
  std::lock_guard g(postMutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastPost_ < kProgressInterval) return;
  lastPost_ = now;
  listener_->TransferProgress();
}

void CTransferJob::PostFolder(CFolderRecord* record) {
  if (!listener_) return;
  std::lock_guard g(postMutex_);
  listener_->TransferFolderChanged(record);
}

void CTransferJob::RunTransfer() {
  {
    std::lock_guard g(totalsMutex_);
    totals_.SetDirections(options_.localToRemote, options_.remoteToLocal);
  }
  // What is to be copied, in the order of the collection. Which remote
  // folders exist, as the compare found them: only those it found missing are
  // made, so no command is sent that the server must refuse.
  {
    auto guard = collection_.Lock();
    for (size_t f = 0; f < collection_.GetCount(); ++f) {
      CFolderRecord* record = collection_.GetAt(f);
      maker_.Know(*record);
      // Entries are addressed directly: nothing else changes the records while
      // the transfer runs (the window is held modal).
      for (auto& e : record->entries) {
        if (!SelectedIn(*record, *e, options_)) continue;
        if (folders_.empty() || folders_.back().record != record) {
          folders_.emplace_back();
          folders_.back().record = record;
        }
        Item item;
        item.record = record;
        item.entry = e.get();
        item.folder = folders_.size() - 1;
        item.down = !IsUpState(e->state);
        item.remove = IsDeleteState(e->state);
        item.small = item.down && !item.remove && e->remote && e->remote->sizeKnown && e->remote->size <= kSmallFile;
        // Uploads that keep the old version or are checked by hash go alone.
        item.smallUp = !item.down && !item.remove && e->local && e->local->sizeKnown &&
                       e->local->size <= kSmallFile && !options_.verify && options_.backupDir.empty();
        item.listed = item.smallUp ? e->local->size : 0;
        ++folders_.back().count;
        ++folders_.back().left;
        if (!item.remove) bytesTotal_ += SideSize(item.down ? e->remote : e->local);
        items_.push_back(item);
      }
    }
  }
  outcomes_.resize(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) queue_.push_back(i);

  // One connection of the pool copies on this thread; more join in (each on a
  // thread of its own) while files wait, and one the server refuses just
  // leaves the pool smaller.
  pool_.SetAbortFlag(&abort_);
  local_->SetAbortFlag(&abort_);
  if (!items_.empty()) {
    if (FileSystemPool::Lease first = pool_.Acquire()) Work(std::move(first));
  }
  for (size_t t = 0;; ++t) {
    std::thread helper;
    {
      std::lock_guard g(workMutex_);
      if (t >= threads_.size()) break;
      helper = std::move(threads_[t]);
    }
    helper.join();
  }
  FinishLeftovers();
  if (!abort_) RemoveEmptiedFolders();
  pool_.SetAbortFlag(nullptr);
  local_->SetAbortFlag(nullptr);
  // The outcomes of the files tried, in the collection's order, then of the
  // folders removed.
  std::vector<TransferOutcome> tried;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].started) tried.push_back(std::move(outcomes_[i]));
  for (TransferOutcome& o : folderOutcomes_) tried.push_back(std::move(o));
  outcomes_ = std::move(tried);
  if (listener_) listener_->TransferFinished();
}

// Files that no connection was left to copy fail (a file put back by a
// connection that broke under it was tried: it fails even after a stop), and
// folders with copies are finished even when a stop left some of their files.
void CTransferJob::FinishLeftovers() {
  FileSystemPool::Lease remote = pool_.Acquire();
  IFileSystem& fs = remote ? *remote : *local_;  // never without one: the first member is never dropped
  for (size_t i : queue_) {
    if (stop_ && !items_[i].started) continue;
    items_[i].started = true;
    outcomes_[i].upload = !items_[i].down;
    if (outcomes_[i].error.empty()) outcomes_[i].error = "no connection was left to copy it: " + fs.LastError();
    Finish(fs, *local_, i, false);
  }
  queue_.clear();
  for (Folder& folder : folders_)
    if (!folder.finished && folder.left < folder.count) FinishFolder(fs, *local_, folder);
}

void CTransferJob::GiveBack(std::deque<size_t>& mine) {
  std::lock_guard g(workMutex_);
  queue_.insert(queue_.begin(), mine.begin(), mine.end());
  mine.clear();
  StartHelper();
}

void CTransferJob::StartHelper() {
  const size_t helpers = static_cast<size_t>(std::clamp(options_.connections, 1, FileSystemPool::kMaxMembers)) - 1;
  if (queue_.empty() || starting_ > 0 || poolFull_ || threads_.size() >= helpers) return;
  ++starting_;
  try {
    threads_.emplace_back([this] {
      FileSystemPool::Lease remote = stop_ ? FileSystemPool::Lease() : pool_.Acquire();
      {
        std::lock_guard g(workMutex_);
        --starting_;
        if (!remote && !stop_) poolFull_ = true;
      }
      if (remote) Work(std::move(remote));
    });
  } catch (const std::system_error&) {
    --starting_;
    poolFull_ = true;
  }
}

void CTransferJob::Work(FileSystemPool::Lease remote) {
  ++connectionsUsed_;
  {
    std::lock_guard g(workMutex_);
    ++working_;
  }
  const std::unique_ptr<IFileSystem> local = local_->OpenAnother();
  local->SetAbortFlag(&abort_);
  bool dropped = false;
  size_t i;
  std::deque<size_t> mine;  // files taken along with the one being copied
  std::vector<size_t> uploads;  // small uploads taken together
  while (!dropped && Take(i, mine, *remote, uploads)) {
    if (uploads.empty()) {
      dropped = !Settle(*remote, *local, i, Copy(*remote, *local, i), false);
      continue;
    }
    const std::vector<bool> oks = CopyBatch(*remote, *local, uploads);
    for (size_t k = 0; k < uploads.size(); ++k)
      dropped = !Settle(*remote, *local, uploads[k], oks[k], dropped) || dropped;
  }
  GiveBack(mine);
  {
    std::lock_guard g(workMutex_);
    --working_;
  }
  if (dropped) remote.Drop();
}

bool CTransferJob::Settle(IFileSystem& remote, IFileSystem& local, size_t i, bool ok, bool dropped) {
  if (!ok && !abort_ && items_[i].lost) {
    // The connection broke under the copy: log in again and try the file
    // once more. When the login fails, this connection leaves the pool and
    // another one takes the file.
    Undo(items_[i]);
    if (dropped || !remote.Reconnect()) {
      bool putBack = false;
      {
        std::lock_guard g(workMutex_);
        if (!items_[i].retried) {
          items_[i].retried = putBack = true;
          queue_.push_front(i);
          StartHelper();
        }
      }
      if (!putBack) Finish(remote, local, i, false);
      return false;
    }
    if (!items_[i].retried) {
      items_[i].retried = true;
      ok = Copy(remote, local, i);
    }
  }
  Finish(remote, local, i, ok);
  return true;
}

bool CTransferJob::Copy(IFileSystem& remote, IFileSystem& local, size_t index) {
  std::optional<Ends> e;
  bool ok = false;
  if (!Begin(remote, local, index, e, ok)) return ok;
  ok = CopyFile(*e, items_[index], outcomes_[index]);
  if (!ok && remote.LostConnection()) items_[index].lost = true;
  return ok;
}

bool CTransferJob::Begin(IFileSystem& remote, IFileSystem& local, size_t index, std::optional<Ends>& e, bool& ok) {
  Item& item = items_[index];
  TransferOutcome& outcome = outcomes_[index];
  Folder& folder = folders_[item.folder];
  std::string localName, remoteName;
  double size;
  {
    auto guard = collection_.Lock();
    localName = item.entry->local ? item.entry->local->name : item.entry->remote->name;
    remoteName = item.entry->remote ? item.entry->remote->name : item.entry->local->name;
    size = SideSize(item.down ? item.entry->remote : item.entry->local);
  }
  outcome = TransferOutcome();
  item.lost = false;
  outcome.upload = !item.down;
  outcome.localPath = JoinLocalPath(item.record->localPath, localName);
  outcome.remotePath = JoinRemotePath(item.record->remotePath, remoteName);
  if (item.remove) {
    ok = DeleteSide(item.down ? local : remote, item, outcome);
    item.lost = !ok && !item.down && remote.LostConnection();
    return false;
  }
  // Destination folders are made before the first file goes into them.
  bool ready;
  if (item.down) {
    std::lock_guard g(localFoldersMutex_);
    if (!folder.localReady) folder.localReady = MakeFolders(local, item.record->localPath);
    ready = folder.localReady;
  } else {
    ready = maker_.Make(remote, item.record->remotePath);
  }
  {
    std::lock_guard g(totalsMutex_);
    totals_.StartFile(size);
    totals_.text = item.entry->Name();
    if (std::none_of(copying_.begin(), copying_.end(), [&](const Copying& c) { return c.item == index; }))
      copying_.push_back({index, totals_.text, size});
  }
  Post(true);
  if (!ready) {
    outcome.error = item.down ? "the folder " + item.record->localPath + " could not be made: " + local.LastError()
                              : "the folder " + item.record->remotePath + " could not be made: " + remote.LastError();
    item.lost = !item.down && remote.LostConnection();
    ok = false;
    return false;
  }
  e.emplace(Ends{item.down ? remote : local, item.down ? local : remote, {}, {}, {}, 0, 0, true, {}, kNoMode});
  {
    auto guard = collection_.Lock();
    const FindData& from = item.down ? *item.entry->remote : *item.entry->local;
    e->time = from.lastWrite;
    e->size = from.size;
    e->sizeKnown = from.sizeKnown;
    e->srcMode = from.mode;
    e->old = item.down ? item.entry->local : item.entry->remote;
  }
  e->srcPath = item.down ? outcome.remotePath : outcome.localPath;
  e->dstPath = item.down ? outcome.localPath : outcome.remotePath;
  e->folder = item.down ? item.record->localPath : item.record->remotePath;
  return true;
}

void CTransferJob::Finish(IFileSystem& remote, IFileSystem& local, size_t index, bool ok) {
  Item& item = items_[index];
  TransferOutcome& outcome = outcomes_[index];
  if (!ok && abort_) {
    outcome.cancelled = true;
    outcome.error = "cancelled; the copy was abandoned and the old version kept";
    if (item.partKept) outcome.error += " (what arrived is kept for the next run to continue)";
  }
  outcome.ok = ok;
  {
    std::lock_guard g(totalsMutex_);
    std::erase_if(copying_, [&](const Copying& c) { return c.item == index; });
  }
  if (ok && item.remove) {
    std::string name;
    {
      auto guard = collection_.Lock();
      name = item.entry->Name();
      (item.down ? item.entry->local : item.entry->remote).reset();
      if (!item.entry->local && !item.entry->remote) {
        // Out of its folder, but kept alive until the job goes: what shows
        // the list may still hold it until it hears of the folder.
        auto& entries = item.record->entries;
        auto it = std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.get() == item.entry; });
        removedEntries_.push_back(std::move(*it));
        entries.erase(it);
        item.entry = nullptr;
      }
    }
    if (recorder_) recorder_->Deleted(*item.record, name);
  } else if (ok) {
    // A download is recorded as both sides now show it (the local side read
    // again after the copy), in step by their times or not: a time that did
    // not stick must not make the next run copy either way.
    FileSide l, r;
    {
      auto guard = collection_.Lock();
      item.record->folderClass = item.record->folderClass == FolderRoot ? FolderRoot : FolderOnBoth;
      if (item.down) {
        item.entry->Reclassify(options_.ignoreSeconds);
        l = item.entry->local, r = item.entry->remote;
      }
    }
    if (recorder_ && l && r) recorder_->Copied(*item.record, l, r);
  }
  ++filesDone_;
  Post(true);
  Folder& folder = folders_[item.folder];
  bool last;
  {
    std::lock_guard g(workMutex_);
    // Uploads are checked against the server's listing; a deletion of the
    // server's copy is not one (its entry may be gone already).
    if (ok && !item.down && !item.remove) folder.uploaded.push_back(index);
    last = --folder.left == 0;
  }
  if (last) FinishFolder(remote, local, folder);
}

void CTransferJob::FinishFolder(IFileSystem& remote, IFileSystem& local, Folder& folder) {
  folder.finished = true;
  {
    std::lock_guard g(listingsMutex_);
    ScanList().swap(folder.listing);
    folder.listed = false;
  }
  if (!folder.uploaded.empty()) {
    std::sort(folder.uploaded.begin(), folder.uploaded.end());
    RefreshUploads(remote, local, folder);
  }
  PostFolder(folder.record);
}

void CTransferJob::RefreshUploads(IFileSystem& remote, IFileSystem& local, Folder& folder) {
  CFolderRecord& record = *folder.record;
  ScanList listing;
  const bool listed = remote.List(RemoteFolderKey(record.remotePath), listing);
  std::vector<std::pair<FileSide, FileSide>> inStep;
  for (size_t index : folder.uploaded) {
    CFileEntry* entry = items_[index].entry;
    const uint64_t sent = items_[index].sent;
    TransferOutcome& outcome = outcomes_[index];
    std::string remoteName, localPath;
    {
      auto guard = collection_.Lock();
      remoteName = entry->remote ? entry->remote->name : entry->local->name;
      localPath = JoinLocalPath(record.localPath, entry->local->name);
    }
    auto it = std::find_if(listing.begin(), listing.end(),
                           [&](const FindData& f) { return f.name == remoteName && !f.IsDirectory(); });
    // A listing without byte counts leaves the check to SIZE.
    uint64_t held = it != listing.end() ? it->size : 0;
    const bool heldKnown = it != listing.end() && (it->sizeKnown || (remote.Capabilities().sizeQuery &&
                                                                     remote.Size(outcome.remotePath, held)));
    if (!listed) {
      AddWarning(outcome, "the upload could not be checked: the folder could not be listed again");
    } else if (it == listing.end()) {
      outcome.ok = false;
      outcome.warning.clear();
      outcome.error = "the file is not on the server after the upload";
    } else if (heldKnown && held != sent) {
      // Stored under its own name and the server kept less (or more) than was
      // sent: the copy is not kept, so that it never passes for complete.
      outcome.ok = false;
      outcome.warning.clear();
      outcome.error = "incomplete upload: the server holds " + std::to_string(held) + " of " +
                      std::to_string(sent) + " bytes although it reported the transfer complete";
      if (remote.Remove(outcome.remotePath)) {
        outcome.error += "; the incomplete copy was removed";
        auto guard = collection_.Lock();
        entry->remote.reset();
      }
    } else {
      if (!heldKnown) AddWarning(outcome, "the stored size could not be checked: the server gives no byte count");
      if (!options_.setLocalTimestamps)
        WarnIfTimeNotKept(items_[index].timeSet, true, *it, items_[index].sourceTime, outcome);
      FindData fresh;
      bool haveLocal = false;
      if (options_.setLocalTimestamps) {
        if (!local.SetTime(localPath, it->lastWrite))
          AddWarning(outcome, "the local time could not be set: " + local.LastError());
        else haveLocal = local.Stat(localPath, fresh);
      }
      auto guard = collection_.Lock();
      entry->remote = *it;
      if (haveLocal) entry->local = std::move(fresh);
    }
    // Recorded as the server's listing shows it now, in step by the times or
    // not (a time the server ignored, or a clock of its own).
    FileSide l, r;
    {
      auto guard = collection_.Lock();
      entry->Reclassify(options_.ignoreSeconds);
      if (outcome.ok && listed && it != listing.end()) l = entry->local, r = entry->remote;
    }
    if (l && r) inStep.emplace_back(l, r);
  }
  if (recorder_ && !inStep.empty()) recorder_->CopiedMany(record, inStep);
}

bool MakeFolders(IFileSystem& fs, const std::string& path) {
  // The missing folders from this one up to the first that exists, made
  // from the top down.
  std::vector<std::string> chain;
  FindData fd;
  for (std::string p = RemoteFolderKey(path); !(fs.Stat(p, fd) && fd.IsDirectory());) {
    chain.push_back(p);
    const std::string parent = RemoteParent(p);
    if (parent.empty() || parent == p) break;
    p = parent;
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    if (!fs.MakeFolder(*it) && !(fs.Stat(*it, fd) && fd.IsDirectory())) return false;
  return true;
}

}  // namespace twinbay
