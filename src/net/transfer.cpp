// The transfer job: the run over a pool of connections, progress, finishing
// files and folders, re-reading uploads; local file helpers and deletes.
#include "net/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>

#include "engine/local_scan.h"
#include "engine/paths.h"
#include "net/transfer_impl.h"

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

std::string TempNameBase(const std::string& name) {
  // The longest temporary name adds 28 bytes, and a name may have 255.
  constexpr size_t kKeep = 200, kCut = kKeep - 17;
  if (name.size() <= kKeep) return name;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  size_t cut = kCut;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
  char hex[20];
  std::snprintf(hex, sizeof hex, "~%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, cut) + hex;
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

CTransferJob::CTransferJob(CFolderCollection& collection, IFileSystem& remote, SyncTotals& totals,
                           TransferOptions options, ITransferListener* listener)
    : collection_(collection),
      remote_(remote),
      totals_(totals),
      options_(options),
      listener_(listener),
      runTag_(RandomText(12, true)) {}

CTransferJob::~CTransferJob() = default;

bool CTransferJob::Selected(const CFileEntry& e, const TransferOptions& o) {
  if (!IsCopyState(e.state) || !e.tagged || !MatchesFilter(e, o.filter)) return false;
  if (e.state == CopyRemoteToLocal) return o.remoteToLocal;
  return o.localToRemote;
}

SyncTotals CTransferJob::Totals() const {
  std::lock_guard g(totalsMutex_);
  return totals_;
}

CTransferJob::Progress CTransferJob::GetProgress() const {
  Progress p;
  p.filesStarted = filesStarted_.load();
  p.filesDone = filesDone_.load();
  std::lock_guard g(totalsMutex_);
  p.filesTotal = items_.size();
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

// Takes back what a copy that starts over had added to the totals.
void CTransferJob::Undo(Item& item) {
  std::lock_guard g(totalsMutex_);
  totals_.allDone -= static_cast<double>(item.counted);
  totals_.currentFileDone = std::max(0.0, totals_.currentFileDone - static_cast<double>(item.counted));
  item.counted = 0;
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
  if (!remote_.Capabilities().rename) renames_ = Renames::Refused;
  // What is to be copied, in the order of the collection. Which remote
  // folders exist, as the compare found them: only those it found missing are
  // made, so no command is sent that the server must refuse.
  {
    auto guard = collection_.Lock();
    for (size_t f = 0; f < collection_.GetCount(); ++f) {
      CFolderRecord* record = collection_.GetAt(f);
      maker_.Know(*record);
      // Nothing in a folder that could not be read whole is copied.
      if (record->incomplete) continue;
      // Entries are addressed directly: nothing else changes the records while
      // the transfer runs (the window is held modal).
      for (auto& e : record->entries) {
        if (!Selected(*e, options_)) continue;
        if (folders_.empty() || folders_.back().record != record) {
          folders_.emplace_back();
          folders_.back().record = record;
        }
        Item item;
        item.record = record;
        item.entry = e.get();
        item.folder = folders_.size() - 1;
        item.down = e->state == CopyRemoteToLocal;
        ++folders_.back().count;
        ++folders_.back().left;
        bytesTotal_ += SideSize(item.down ? e->remote : e->local);
        items_.push_back(item);
      }
    }
  }
  outcomes_.resize(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) queue_.push_back(i);

  // The caller's connection copies on this thread; each other one logs in on
  // a thread of its own, and one the server refuses just leaves the pool.
  const size_t helpers = std::min(items_.size(), static_cast<size_t>(std::clamp(options_.connections, 1, 16))) -
                         (items_.empty() ? 0 : 1);
  std::vector<std::thread> threads;
  for (size_t h = 0; h < helpers; ++h)
    threads.emplace_back([this] {
      if (stop_) return;
      std::unique_ptr<IFileSystem> own = remote_.OpenAnother();
      if (own) Work(*own);
    });
  if (!items_.empty()) Work(remote_);
  for (std::thread& t : threads) t.join();

  // Files that no connection was left to copy fail (a file put back by a
  // connection that broke under it was tried: it fails even after a stop).
  for (size_t i : queue_) {
    if (stop_ && !items_[i].started) continue;
    items_[i].started = true;
    outcomes_[i].upload = !items_[i].down;
    if (outcomes_[i].error.empty()) outcomes_[i].error = "no connection was left to copy it: " + remote_.LastError();
    Finish(remote_, i, false);
  }
  queue_.clear();
  // Folders with copies are finished even when a stop left some of their files.
  for (Folder& folder : folders_)
    if (!folder.finished && folder.left < folder.count) FinishFolder(remote_, folder);
  // The outcomes of the files tried, in the collection's order.
  std::vector<TransferOutcome> tried;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].started) tried.push_back(std::move(outcomes_[i]));
  outcomes_ = std::move(tried);
  if (listener_) listener_->TransferFinished();
}

bool CTransferJob::Take(size_t& item) {
  std::lock_guard g(workMutex_);
  if (stop_ || queue_.empty()) return false;
  item = queue_.front();
  queue_.pop_front();
  if (!items_[item].started) ++filesStarted_;
  items_[item].started = true;
  return true;
}

void CTransferJob::Work(IFileSystem& remote) {
  ++connectionsUsed_;
  remote.SetAbortFlag(&abort_);
  size_t i;
  while (Take(i)) {
    bool ok = Copy(remote, i);
    if (!ok && !abort_ && items_[i].lost) {
      // The connection broke under the copy: log in again and try the file
      // once more. When the login fails, this connection leaves the pool and
      // another one takes the file.
      Undo(items_[i]);
      if (!remote.Reconnect()) {
        bool putBack = false;
        {
          std::lock_guard g(workMutex_);
          if (!items_[i].retried) {
            items_[i].retried = putBack = true;
            queue_.push_front(i);
          }
        }
        if (!putBack) Finish(remote, i, false);
        break;
      }
      if (!items_[i].retried) {
        items_[i].retried = true;
        ok = Copy(remote, i);
      }
    }
    Finish(remote, i, ok);
  }
  remote.SetAbortFlag(nullptr);
}

bool CTransferJob::Copy(IFileSystem& remote, size_t index) {
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
  // Destination folders are made before the first file goes into them.
  bool ready;
  if (item.down) {
    std::lock_guard g(localFoldersMutex_);
    if (!folder.localReady) folder.localReady = MakeLocalFolders(item.record->localPath);
    ready = folder.localReady;
  } else {
    ready = maker_.Make(remote, item.record->remotePath);
  }
  {
    std::lock_guard g(totalsMutex_);
    totals_.StartFile(size);
    totals_.text = item.entry->Name();
  }
  Post(true);
  if (!ready && !item.down) {
    outcome.error = "the folder " + item.record->remotePath + " could not be made: " + remote.LastError();
    item.lost = remote.LostConnection();
    return false;
  }
  const bool ok = item.down ? CopyDown(remote, item, outcome) : CopyUp(remote, item, outcome);
  if (!ok && remote.LostConnection()) item.lost = true;
  return ok;
}

void CTransferJob::Finish(IFileSystem& remote, size_t index, bool ok) {
  Item& item = items_[index];
  TransferOutcome& outcome = outcomes_[index];
  if (!ok && abort_) {
    outcome.cancelled = true;
    outcome.error = "cancelled; the copy was abandoned and the old version kept";
  }
  outcome.ok = ok;
  if (ok) {
    auto guard = collection_.Lock();
    item.record->folderClass = item.record->folderClass == FolderRoot ? FolderRoot : FolderOnBoth;
    if (item.down) item.entry->Reclassify(options_.ignoreSeconds);
  }
  ++filesDone_;
  Post(true);
  Folder& folder = folders_[item.folder];
  bool last;
  {
    std::lock_guard g(workMutex_);
    if (ok && !item.down) folder.uploaded.push_back(index);
    last = --folder.left == 0;
  }
  if (last) FinishFolder(remote, folder);
}

void CTransferJob::FinishFolder(IFileSystem& remote, Folder& folder) {
  folder.finished = true;
  if (!folder.uploaded.empty()) {
    std::sort(folder.uploaded.begin(), folder.uploaded.end());
    RefreshUploads(remote, folder);
  }
  PostFolder(folder.record);
}

void CTransferJob::RefreshUploads(IFileSystem& remote, Folder& folder) {
  CFolderRecord& record = *folder.record;
  ScanList listing;
  const bool listed = remote.List(RemoteFolderKey(record.remotePath), listing);
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
      FindData local;
      bool haveLocal = false;
      if (options_.setLocalTimestamps) {
        if (!SetLocalTimes(localPath, *it)) AddWarning(outcome, SysError("the local time could not be set"));
        else haveLocal = StatLocalFile(localPath, local);
      }
      auto guard = collection_.Lock();
      entry->remote = *it;
      if (haveLocal) entry->local = std::move(local);
    }
    auto guard = collection_.Lock();
    entry->Reclassify(options_.ignoreSeconds);
  }
}

bool MakeLocalFolders(const std::string& path) {
  if (!IsUsableLocalPath(path)) return false;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

bool SetLocalTimes(const std::string& path, const FindData& findData) {
  const int64_t t = findData.lastWrite;
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {static_cast<time_t>(UnixFromTicks(t)), static_cast<long>((t % kTicksPerSecond + kTicksPerSecond) % kTicksPerSecond * 100)}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool DeleteLocalFile(const std::string& path) { return IsUsableLocalPath(path) && unlink(path.c_str()) == 0; }

DeleteCounts DeleteEntries(CFolderCollection& collection, CFolderRecord& record,
                           const std::vector<CFileEntry*>& entries, bool deleteLocal, bool deleteRemote,
                           IFileSystem* remote, bool ignoreSeconds, IFolderNotify* notify) {
  DeleteCounts counts;
  {
    // What is known of a folder that could not be read whole may be wrong:
    // nothing in it is deleted.
    auto guard = collection.Lock();
    if (record.incomplete) {
      counts.failed = static_cast<int>(entries.size());
      return counts;
    }
  }
  for (CFileEntry* entry : entries) {
    if (deleteLocal && entry->local) {
      // Each side's own name: "a.txt" here may be "A.TXT" on the server.
      if (DeleteLocalFile(JoinLocalPath(record.localPath, entry->local->name))) {
        auto guard = collection.Lock();
        entry->local.reset();
        ++counts.localDeleted;
      } else {
        ++counts.failed;
      }
    }
    if (deleteRemote && entry->remote) {
      const std::string path = JoinRemotePath(record.remotePath, entry->remote->name);
      if (remote && (remote->Remove(path) || (remote->LostConnection() && remote->Reconnect() && remote->Remove(path)))) {
        auto guard = collection.Lock();
        entry->remote.reset();
        ++counts.remoteDeleted;
      } else {
        ++counts.failed;
      }
    }
    {
      auto guard = collection.Lock();
      if (entry->local || entry->remote) {
        entry->Reclassify(ignoreSeconds);
      } else {
        for (auto it = record.entries.begin(); it != record.entries.end(); ++it)
          if (it->get() == entry) {
            record.entries.erase(it);
            break;
          }
      }
    }
    if (notify) notify->FolderChanged(&record);
  }
  return counts;
}

}  // namespace twinbay
