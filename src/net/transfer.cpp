#include "net/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine/comparer.h"
#include "engine/local_scan.h"

namespace twinbay {
namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(50);

std::string RemoteJoin(const std::string& folder, const std::string& name) {
  std::string p = folder;
  CFolderComparer::AppendSeparator(p, true);
  if (p.empty()) p.push_back('/');
  return p + name;
}

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

// A temporary name beside the destination, hidden and recognisable.
std::string TempName(const std::string& name) { return ".twinbay-" + name + ".part"; }

// The size of a file on the server: SIZE where offered, else its entry (MLST
// or the folder's listing).
bool RemoteSize(IFtpConnection& c, const std::string& path, uint64_t& size) {
  if (c.Features().size && c.GetSize(path, size)) return true;
  FindData fd;
  if (!c.StatFile(path, fd)) return false;
  size = fd.size;
  return true;
}

void AddWarning(TransferOutcome& outcome, const std::string& text) {
  outcome.warning += (outcome.warning.empty() ? "" : "; ") + text;
}

}  // namespace

void RemoteFolderMaker::Know(const CFolderRecord& record) {
  std::string p = record.remotePath;
  CFolderComparer::NormalizeRemotePath(p);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  missing_[p] = record.folderClass == FolderLocalOnly || record.remoteMissing;
}

bool RemoteFolderMaker::Make(IFtpConnection& connection, const std::string& path) {
  std::string p = path;
  CFolderComparer::NormalizeRemotePath(p);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
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
    if (!connection.CreateDirectory(*it)) return false;
    missing_[*it] = false;
  }
  return true;
}

CTransferJob::CTransferJob(CFolderCollection& collection, CFtpSession& session, SyncTotals& totals,
                           TransferOptions options, ITransferListener* listener)
    : collection_(collection), session_(session), totals_(totals), options_(options), listener_(listener) {}

bool CTransferJob::Selected(const CFileEntry& e, const TransferOptions& o) {
  if (e.state == InStep || !e.tagged || !MatchesFilter(e, o.filter)) return false;
  if (e.state == CopyRemoteToLocal) return o.remoteToLocal;
  return o.localToRemote;
}

SyncTotals CTransferJob::Totals() const {
  std::lock_guard g(totalsMutex_);
  return totals_;
}

void CTransferJob::AddDone(size_t bytes) {
  {
    std::lock_guard g(totalsMutex_);
    totals_.AddDone(static_cast<double>(bytes));
  }
  Post(false);
}

void CTransferJob::Post(bool force) {
  if (!listener_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastPost_ < kProgressInterval) return;
  lastPost_ = now;
  listener_->TransferProgress();
}

int CTransferJob::RunTransfer() {
  {
    std::lock_guard g(totalsMutex_);
    totals_.SetDirections(options_.localToRemote, options_.remoteToLocal);
  }
  const size_t folders = collection_.GetCount();
  // Which remote folders exist, as the compare found them: only those it
  // found missing are made, so no command is sent that the server must refuse.
  RemoteFolderMaker maker;
  {
    auto guard = collection_.Lock();
    for (size_t f = 0; f < folders; ++f) maker.Know(*collection_.GetAt(f));
  }
  for (size_t f = 0; f < folders && !stop_; ++f) {
    CFolderRecord* record = collection_.GetAt(f);
    {
      // Nothing in a folder that could not be read whole is copied.
      auto guard = collection_.Lock();
      if (record->incomplete) continue;
    }
    bool remoteReady = false, localReady = false, anyCopied = false;
    std::vector<Uploaded> uploaded;
    // Entries are addressed by position: nothing else changes the record while
    // the transfer runs (the window is held modal).
    size_t count;
    {
      auto guard = collection_.Lock();
      count = record->entries.size();
    }
    for (size_t i = 0; i < count && !stop_; ++i) {
      CFileEntry* entry;
      bool selected, down;
      {
        auto guard = collection_.Lock();
        entry = record->entries[i].get();
        selected = Selected(*entry, options_);
        down = entry->state == CopyRemoteToLocal;
      }
      if (!selected) continue;
      anyCopied = true;
      TransferOutcome outcome;
      outcome.upload = !down;
      outcome.localPath = JoinLocalPath(record->localPath, entry->local ? entry->local->name : entry->remote->name);
      outcome.remotePath = RemoteJoin(record->remotePath, entry->remote ? entry->remote->name : entry->local->name);
      IFtpConnection* connection = session_.GetConnection();
      // Destination folders are made once per folder record.
      if (down && !localReady) localReady = MakeLocalFolders(record->localPath);
      if (!down && !remoteReady && connection) remoteReady = maker.Make(*connection, record->remotePath);
      {
        std::lock_guard g(totalsMutex_);
        totals_.StartFile(SideSize(down ? entry->remote : entry->local));
        totals_.text = entry->Name();
      }
      Post(true);
      bool ok;
      uint64_t sent = 0;
      if (!connection) {
        outcome.error = "not connected";
        ok = false;
      } else {
        connection->SetAbortFlag(&abort_);
        ok = down ? CopyDown(*entry, *record, outcome) : CopyUp(*entry, *record, outcome, sent);
        connection->SetAbortFlag(nullptr);
      }
      if (!ok && abort_) {
        outcome.cancelled = true;
        outcome.error = "cancelled; the copy was abandoned and the old version kept";
      }
      outcome.ok = ok;
      if (ok) {
        auto guard = collection_.Lock();
        record->folderClass = record->folderClass == FolderRoot ? FolderRoot : FolderOnBoth;
        if (down) entry->Reclassify(options_.ignoreSeconds);
        else uploaded.push_back({entry, outcomes_.size(), sent});
      }
      outcomes_.push_back(std::move(outcome));
      Post(true);
    }
    if (!uploaded.empty()) RefreshUploads(*record, uploaded);
    if (anyCopied && listener_) listener_->TransferFolderChanged(record);
  }
  if (listener_) listener_->TransferFinished();
  return 1;
}

bool CTransferJob::CopyDown(CFileEntry& entry, const CFolderRecord& record, TransferOutcome& outcome) {
  IFtpConnection& c = *session_.GetConnection();
  const std::string& dst = outcome.localPath;
  const std::string folder = dst.substr(0, dst.find_last_of('/'));
  const std::string name = dst.substr(dst.find_last_of('/') + 1);
  int64_t srcTime;
  uint64_t listedSize;
  {
    auto guard = collection_.Lock();
    srcTime = entry.remote->lastWrite;
    listedSize = entry.remote->size;
  }
  // A read-only destination is left alone, as a read-only file would be.
  struct stat old;
  const bool exists = stat(dst.c_str(), &old) == 0;
  if (exists && !(old.st_mode & S_IWUSR)) {
    outcome.error = dst + " is read-only";
    return false;
  }
  // Write beside the destination and rename over it only when the whole file
  // arrived, so a failed copy never costs the old version.
  std::string tmp = folder + "/" + TempName(name) + "XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    outcome.error = SysError("cannot write in " + folder);
    return false;
  }
  fchmod(fd, exists ? (old.st_mode & 07777) : 0644);
  bool writeFailed = false;
  uint64_t received = 0;
  const bool got = c.Retrieve(outcome.remotePath, [&](const char* data, size_t size) {
    if (abort_) return false;
    if (!WriteAll(fd, data, size)) {
      writeFailed = true;
      return false;
    }
    received += size;
    AddDone(size);
    return true;
  });
  bool ok = got && !writeFailed;
  if (writeFailed) outcome.error = SysError("cannot write " + dst);
  else if (!got) outcome.error = c.LastError();
  if (close(fd) != 0 && ok) {
    ok = false;
    outcome.error = SysError("cannot write " + dst);
  }
  // The server's "transfer complete" is not enough: a data connection that
  // ended early looks the same. The file is complete only with every byte the
  // listing promised. Where the listing disagrees (it gave no size, the size of
  // a link, or the file changed since), SIZE decides.
  if (ok && received != listedSize) {
    uint64_t serverSize = 0;
    const bool confirmed =
        c.Features().size && c.GetSize(outcome.remotePath, serverSize) && serverSize == received;
    if (!confirmed) {
      ok = false;
      outcome.error = "incomplete download: " + std::to_string(received) + " of " + std::to_string(listedSize) +
                      " bytes arrived although the server reported the transfer complete";
    }
  }
  if (ok) {
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(UnixFromTicks(srcTime)),
                                       static_cast<long>((srcTime % kTicksPerSecond + kTicksPerSecond) % kTicksPerSecond * 100)}};
    if (utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0) outcome.warning = SysError("the time could not be set");
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
    entry.local = std::move(fresh);
  }
  (void)record;
  return true;
}

bool CTransferJob::CopyUp(CFileEntry& entry, const CFolderRecord& record, TransferOutcome& outcome,
                          uint64_t& sent) {
  IFtpConnection& c = *session_.GetConnection();
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
  auto store = [&](const std::string& path) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    readFailed = false;
    sent = 0;
    return c.Store(
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
            AddDone(static_cast<size_t>(n));
            return static_cast<long>(n);  // 0 only at the real end of the file
          }
        },
        static_cast<uint64_t>(st.st_size));
  };

  bool ok = false;
  const std::string base = TempName(dst.substr(dst.find_last_of('/') + 1));
  const std::string tmp = RemoteJoin(record.remotePath, base);
  const std::string tmp2 = RemoteJoin(record.remotePath, base + "2");
  using Renames = CFtpSession::RenameSupport;
  const bool replacing = entry.remote.has_value();
  if (!replacing) {
    // Nothing to protect: store straight under the final name, and remove
    // the partial file if the upload fails. The stored size is checked in the
    // folder's re-listing.
    ok = store(dst);
    if (!ok) {
      outcome.error = readFailed ? SysError("cannot read " + src) : c.LastError();
      c.Remove(dst);
      close(fd);
      return false;
    }
  } else if (session_.UploadRenames() != Renames::Refused) {
    // Store under a temporary name and rename it over the destination only
    // when the whole file was stored.
    if (!store(tmp)) {
      outcome.error = readFailed ? SysError("cannot read " + src) : c.LastError();
      c.Remove(tmp);
      close(fd);
      return false;
    }
    // The server's "transfer complete" is not enough: it must hold every byte.
    uint64_t stored = 0;
    if (!RemoteSize(c, tmp, stored) || stored != sent) {
      outcome.error = "incomplete upload: the server holds " +
                      (stored != sent ? std::to_string(stored) + " of " + std::to_string(sent) + " bytes"
                                      : "a file whose size it does not tell") +
                      " although it reported the transfer complete; the old version was kept";
      c.Remove(tmp);
      close(fd);
      return false;
    }
    bool refused = false;
    if (c.Rename(tmp, dst)) {
      ok = true;
    } else if (c.Rename(tmp, tmp2)) {
      // Renames work, but not over an existing file: delete the old one
      // just before the rename.
      ok = c.Remove(dst) && c.Rename(tmp2, dst);
      if (!ok) {
        outcome.error = c.LastError();
        c.Remove(tmp2);
      }
    } else {
      refused = true;
      c.Remove(tmp);
    }
    if (ok) session_.SetUploadRenames(Renames::Works);
    else if (refused && session_.UploadRenames() == Renames::Unknown) session_.SetUploadRenames(Renames::Refused);
    if (!ok && session_.UploadRenames() != Renames::Refused) {
      if (outcome.error.empty()) outcome.error = c.LastError();
      close(fd);
      return false;
    }
  }
  if (!ok && session_.UploadRenames() == Renames::Refused) {
    // The server renames nothing: store directly, as older clients do.
    {
      std::lock_guard g(totalsMutex_);
      totals_.allDone -= totals_.currentFileDone;
      totals_.currentFileDone = 0;
    }
    ok = store(dst);
    if (!ok) outcome.error = readFailed ? SysError("cannot read " + src) : c.LastError();
  }
  close(fd);
  if (!ok) return false;

  // Give the server's copy the local file's time, so that it is in step.
  const int64_t localTime = TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  if (!c.Features().mfmt && !c.Features().mdtm) {
    outcome.warning = "the time could not be set: the server offers no way to set file times";
  } else if (!c.SetModificationTime(dst, localTime)) {
    outcome.warning = "the time could not be set: " + c.LastError();
  }
  return true;
}

void CTransferJob::RefreshUploads(CFolderRecord& record, const std::vector<Uploaded>& uploaded) {
  IFtpConnection* c = session_.GetConnection();
  ScanList listing;
  const bool listed = c && c->ListDirectory(record.remotePath, listing);
  for (const Uploaded& u : uploaded) {
    CFileEntry* entry = u.entry;
    TransferOutcome& outcome = outcomes_[u.outcome];
    std::string remoteName, localPath;
    {
      auto guard = collection_.Lock();
      remoteName = entry->remote ? entry->remote->name : entry->local->name;
      localPath = JoinLocalPath(record.localPath, entry->local->name);
    }
    auto it = std::find_if(listing.begin(), listing.end(),
                           [&](const FindData& f) { return f.name == remoteName && !f.IsDirectory(); });
    if (!listed) {
      AddWarning(outcome, "the upload could not be checked: the folder could not be listed again");
    } else if (it == listing.end()) {
      outcome.ok = false;
      outcome.warning.clear();
      outcome.error = "the file is not on the server after the upload";
    } else if (it->size != u.size) {
      // Stored under its own name and the server kept less (or more) than was
      // sent: the copy is not kept, so that it never passes for complete.
      outcome.ok = false;
      outcome.warning.clear();
      outcome.error = "incomplete upload: the server holds " + std::to_string(it->size) + " of " +
                      std::to_string(u.size) + " bytes although it reported the transfer complete";
      if (c->Remove(outcome.remotePath)) {
        outcome.error += "; the incomplete copy was removed";
        auto guard = collection_.Lock();
        entry->remote.reset();
      }
    } else {
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

bool MakeRemoteFolders(IFtpConnection& c, const std::string& path) {
  std::string p = path;
  CFolderComparer::NormalizeRemotePath(p);
  if (p.empty() || p[0] != '/') return false;
  size_t pos = 1;
  while (pos <= p.size()) {
    const size_t slash = p.find('/', pos);
    const std::string prefix = p.substr(0, slash);
    if (prefix.size() > 1) c.CreateDirectory(prefix);  // an existing one fails harmlessly
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return c.SetCurrentDirectory(p);
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
                           CFtpSession* session, bool ignoreSeconds, IFolderNotify* notify) {
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
      if (session && session->EnsureConnected() &&
          session->GetConnection()->Remove(RemoteJoin(record.remotePath, entry->remote->name))) {
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
