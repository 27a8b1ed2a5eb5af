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

namespace twinbay {
namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(50);

std::string SysError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Random letters and digits (or lower-case hex digits) for temporary names.
std::string RandomText(size_t n, bool hex) {
  static const char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, hex ? 15 : sizeof kChars - 2);
  std::string out(n, '0');
  for (char& c : out) c = kChars[pick(random)];
  return out;
}

}  // namespace

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

// The size of a remote file: asked for where the file system can tell it,
// else taken from its entry.
bool RemoteSize(IRemoteFileSystem& remote, const std::string& path, uint64_t& size) {
  if (remote.Capabilities().sizeQuery && remote.Size(path, size)) return true;
  FindData fd;
  if (!remote.Stat(path, fd) || !fd.sizeKnown) return false;
  size = fd.size;
  return true;
}

// Removes what a failed upload left on the server, logging in again when the
// failure (or an abort) cost the connection.
bool RemoveLeftover(IRemoteFileSystem& remote, const std::string& path) {
  if (remote.Remove(path)) return true;
  return remote.LostConnection() && remote.Reconnect() && remote.Remove(path);
}

void AddWarning(TransferOutcome& outcome, const std::string& text) {
  outcome.warning += (outcome.warning.empty() ? "" : "; ") + text;
}

}  // namespace

// One file to copy, in the order of the entries in the collection.
struct CTransferJob::Item {
  CFolderRecord* record = nullptr;
  CFileEntry* entry = nullptr;
  size_t folder = 0;  // index into folders_
  bool down = false;
  bool started = false;
  bool retried = false;  // tried again after its connection broke
  bool lost = false;     // the connection broke under the copy
  uint64_t counted = 0;  // bytes of this copy added to the totals
  uint64_t sent = 0;     // bytes the server was given (uploads)
};

// A folder record with files to copy.
struct CTransferJob::Folder {
  CFolderRecord* record = nullptr;
  size_t count = 0;  // items in all
  size_t left = 0;   // items not finished yet
  bool localReady = false;
  bool finished = false;
  std::vector<size_t> uploaded;  // items uploaded, for the re-listing
};

void RemoteFolderMaker::Know(const CFolderRecord& record) {
  std::lock_guard g(mutex_);
  missing_[RemoteFolderKey(record.remotePath)] = record.folderClass == FolderLocalOnly || record.remoteMissing;
}

bool RemoteFolderMaker::Make(IRemoteFileSystem& remote, const std::string& path) {
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

CTransferJob::CTransferJob(CFolderCollection& collection, IRemoteFileSystem& remote, SyncTotals& totals,
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
      std::unique_ptr<IRemoteFileSystem> own = remote_.OpenAnother();
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

void CTransferJob::Work(IRemoteFileSystem& remote) {
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

bool CTransferJob::Copy(IRemoteFileSystem& remote, size_t index) {
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

void CTransferJob::Finish(IRemoteFileSystem& remote, size_t index, bool ok) {
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

void CTransferJob::FinishFolder(IRemoteFileSystem& remote, Folder& folder) {
  folder.finished = true;
  if (!folder.uploaded.empty()) {
    std::sort(folder.uploaded.begin(), folder.uploaded.end());
    RefreshUploads(remote, folder);
  }
  PostFolder(folder.record);
}

bool CTransferJob::CopyDown(IRemoteFileSystem& remote, Item& item, TransferOutcome& outcome) {
  const std::string& dst = outcome.localPath;
  const std::string folder = dst.substr(0, dst.find_last_of('/'));
  int64_t srcTime;
  uint64_t listedSize;
  bool listedKnown;
  {
    auto guard = collection_.Lock();
    srcTime = item.entry->remote->lastWrite;
    listedSize = item.entry->remote->size;
    listedKnown = item.entry->remote->sizeKnown;
  }
  // A read-only destination is left alone, as a read-only file would be.
  struct stat old;
  const bool exists = stat(dst.c_str(), &old) == 0;
  if (exists && !(old.st_mode & S_IWUSR)) {
    outcome.error = dst + " is read-only";
    return false;
  }
  // Write beside the destination and rename over it only when the whole file
  // arrived, so a failed copy never costs the old version. The copy keeps the
  // old file's permissions; a new file gets what the umask leaves of 0666.
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = folder + "/.twinbay-" + TempNameBase(PathName(dst)) + ".part" + RandomText(6, false);
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    outcome.error = SysError("cannot write in " + folder);
    return false;
  }
  if (exists) fchmod(fd, old.st_mode & 07777);
  bool writeFailed = false;
  uint64_t received = 0;
  const bool got = remote.Read(outcome.remotePath, [&](const char* data, size_t size) {
    if (abort_) return false;
    if (!WriteAll(fd, data, size)) {
      writeFailed = true;
      return false;
    }
    received += size;
    AddDone(item, size);
    return true;
  });
  bool ok = got && !writeFailed;
  item.lost = !got && remote.LostConnection();
  if (writeFailed) outcome.error = SysError("cannot write " + dst);
  else if (!got) outcome.error = remote.LastError();
  if (close(fd) != 0 && ok) {
    ok = false;
    outcome.error = SysError("cannot write " + dst);
  }
  // The server's "transfer complete" is not enough: a data connection that
  // ended early looks the same. The file is complete only with every byte the
  // listing promised. Where the listing disagrees (it gave no size, the size of
  // a link, or the file changed since), the server's size of the file decides.
  if (ok && (!listedKnown || received != listedSize)) {
    uint64_t serverSize = 0;
    const bool asked = remote.Capabilities().sizeQuery && remote.Size(outcome.remotePath, serverSize);
    if (!asked || serverSize != received) {
      ok = false;
      outcome.error = !listedKnown && !asked
                          ? "the download could not be checked: the listing gives no byte count for the file and "
                            "the server does not tell its size"
                          : "incomplete download: " + std::to_string(received) + " of " +
                                std::to_string(listedKnown ? listedSize : serverSize) +
                                " bytes arrived although the server reported the transfer complete";
    }
  }
  if (ok) {
    FindData times;
    times.lastWrite = srcTime;
    if (!SetLocalTimes(tmp, times)) outcome.warning = SysError("the time could not be set");
    if (rename(tmp.c_str(), dst.c_str()) != 0) {
      ok = false;
      outcome.error = SysError("cannot replace " + dst);
    }
  }
  if (!ok) {
    unlink(tmp.c_str());
    outcome.warning.clear();
    return false;
  }
  FindData fresh;
  if (StatLocalFile(dst, fresh)) {
    auto guard = collection_.Lock();
    item.entry->local = std::move(fresh);
  }
  return true;
}

bool CTransferJob::CopyUp(IRemoteFileSystem& remote, Item& item, TransferOutcome& outcome) {
  const std::string& src = outcome.localPath;
  const std::string& dst = outcome.remotePath;
  const int fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    outcome.error = SysError("cannot read " + src);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    outcome.error = src + " is not a regular file";
    return false;
  }
  bool readFailed = false;
  uint64_t& sent = item.sent;
  auto store = [&](const std::string& path) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    readFailed = false;
    sent = 0;
    return remote.Write(
        path,
        [&](char* buffer, size_t size) -> long {
          if (abort_) return -1;
          for (;;) {
            const ssize_t n = read(fd, buffer, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
              readFailed = true;
              return -1;
            }
            sent += static_cast<uint64_t>(n);
            AddDone(item, static_cast<size_t>(n));
            return static_cast<long>(n);  // 0 only at the real end of the file
          }
        },
        static_cast<uint64_t>(st.st_size));
  };
  auto failure = [&] { return readFailed ? SysError("cannot read " + src) : remote.LastError(); };

  bool ok = false;
  // Temporary names of this run's own, so that two programs uploading the
  // same file never share one.
  const std::string base = ".twinbay-" + TempNameBase(PathName(dst));
  const std::string tmp = JoinRemotePath(item.record->remotePath, base + ".part-" + runTag_);
  const std::string tmp2 = JoinRemotePath(item.record->remotePath, base + ".part2-" + runTag_);
  std::optional<FindData> old;
  {
    auto guard = collection_.Lock();
    old = item.entry->remote;
  }
  if (renames_ != Renames::Refused) {
    // Store under a temporary name and rename it to the destination only
    // when the whole file was stored; a new file too, so that a link of its
    // name on the server is replaced, never written through.
    if (!store(tmp)) {
      outcome.error = failure();
      item.lost = remote.LostConnection();
      RemoveLeftover(remote, tmp);
      close(fd);
      return false;
    }
    // The server's "transfer complete" is not enough: it must hold every byte.
    uint64_t stored = 0;
    if (!RemoteSize(remote, tmp, stored) || stored != sent) {
      outcome.error = "incomplete upload: the server holds " +
                      (stored != sent ? std::to_string(stored) + " of " + std::to_string(sent) + " bytes"
                                      : "a file whose size it does not tell") +
                      " although it reported the transfer complete" + (old ? "; the old version was kept" : "");
      remote.Remove(tmp);
      close(fd);
      return false;
    }
    bool refused = false;
    if (remote.Rename(tmp, dst)) {
      ok = true;
    } else if (remote.Rename(tmp, tmp2)) {
      // Renames work, but not over an existing file: delete the old one just
      // before the rename. A file that was not there at the compare is
      // someone else's: it is left alone and the copy fails.
      ok = old && remote.Remove(dst) && remote.Rename(tmp2, dst);
      if (!ok) {
        outcome.error = old ? remote.LastError() : dst + " appeared on the server since the compare; it was left as it is";
        remote.Remove(tmp2);
      }
      if (!old) renames_ = Renames::Works;
    } else {
      refused = true;
      remote.Remove(tmp);
    }
    Renames unknown = Renames::Unknown;
    if (ok) renames_ = Renames::Works;
    else if (refused) renames_.compare_exchange_strong(unknown, Renames::Refused);
    if (!ok && renames_ != Renames::Refused) {
      if (outcome.error.empty()) outcome.error = remote.LastError();
      close(fd);
      return false;
    }
  }
  if (!ok && renames_ == Renames::Refused) {
    // The server renames nothing: store directly, as older clients do.
    Undo(item);
    ok = store(dst);
    if (!ok) {
      outcome.error = failure();
      item.lost = remote.LostConnection();
      // What a broken store left would look newer than the local file: it
      // goes, as after the other uploads (the old version, if any, was
      // overwritten by the store already). A file that still is the old
      // version (the store was refused before it began) stays.
      if (remote.LostConnection()) remote.Reconnect();
      FindData now;
      const bool there = remote.Stat(dst, now);
      if (there && (!old || now.size != old->size || now.lastWrite != old->lastWrite)) {
        if (RemoveLeftover(remote, dst)) {
          outcome.error += "; the partial copy was removed";
          auto guard = collection_.Lock();
          item.entry->remote.reset();
        } else {
          outcome.error += "; the partial copy could not be removed";
        }
      }
    }
  }
  close(fd);
  if (!ok) return false;

  // Give the server's copy the local file's time, so that it is in step.
  const int64_t localTime = TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  if (!remote.Capabilities().setTime) {
    outcome.warning = "the time could not be set: the server offers no way to set file times";
  } else if (!remote.SetTime(dst, localTime)) {
    outcome.warning = "the time could not be set: " + remote.LastError();
  }
  return true;
}

void CTransferJob::RefreshUploads(IRemoteFileSystem& remote, Folder& folder) {
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
                           IRemoteFileSystem* remote, bool ignoreSeconds, IFolderNotify* notify) {
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
