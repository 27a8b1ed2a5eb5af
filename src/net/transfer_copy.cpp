// The copy of one file: a download into a temporary file renamed over the
// local one, an upload stored under a temporary name and renamed on the server.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "engine/local_scan.h"
#include "engine/paths.h"
#include "net/transfer_impl.h"

namespace twinbay {
namespace {

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

// The size of a remote file: asked for where the file system can tell it,
// else taken from its entry.
bool RemoteSize(IFileSystem& remote, const std::string& path, uint64_t& size) {
  if (remote.Capabilities().sizeQuery && remote.Size(path, size)) return true;
  FindData fd;
  if (!remote.Stat(path, fd) || !fd.sizeKnown) return false;
  size = fd.size;
  return true;
}

// Removes what a failed upload left on the server, logging in again when the
// failure (or an abort) cost the connection.
bool RemoveLeftover(IFileSystem& remote, const std::string& path) {
  if (remote.Remove(path)) return true;
  return remote.LostConnection() && remote.Reconnect() && remote.Remove(path);
}

// Creates the temporary file of a download beside its destination, under a
// name not taken yet; -1 (errno set) when none could be made.
int OpenTempBeside(const std::string& folder, const std::string& dst, bool exists, std::string& tmp) {
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = folder + "/.twinbay-" + TempNameBase(PathName(dst)) + ".part" + RandomText(6, false);
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

// The server's "transfer complete" is not enough: a data connection that
// ended early looks the same. The file is complete only with every byte the
// listing promised. Where the listing disagrees (it gave no size, the size of
// a link, or the file changed since), the server's size of the file decides.
// False (with the error set) when it does not confirm the bytes received.
bool ServerSizeConfirms(IFileSystem& remote, TransferOutcome& outcome, uint64_t received, bool listedKnown,
                        uint64_t listedSize) {
  uint64_t serverSize = 0;
  const bool asked = remote.Capabilities().sizeQuery && remote.Size(outcome.remotePath, serverSize);
  if (!asked || serverSize != received) {
    outcome.error = !listedKnown && !asked
                        ? "the download could not be checked: the listing gives no byte count for the file and "
                          "the server does not tell its size"
                        : "incomplete download: " + std::to_string(received) + " of " +
                              std::to_string(listedKnown ? listedSize : serverSize) +
                              " bytes arrived although the server reported the transfer complete";
    return false;
  }
  return true;
}

}  // namespace

bool CTransferJob::CopyDown(IFileSystem& remote, Item& item, TransferOutcome& outcome) {
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
  int fd = OpenTempBeside(folder, dst, exists, tmp);
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
  if (ok && (!listedKnown || received != listedSize))
    ok = ServerSizeConfirms(remote, outcome, received, listedKnown, listedSize);
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

bool CTransferJob::CopyUp(IFileSystem& remote, Item& item, TransferOutcome& outcome) {
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
  std::optional<FindData> old;
  {
    auto guard = collection_.Lock();
    old = item.entry->remote;
  }
  if (renames_ != Renames::Refused && !StoreAndRename(remote, item, outcome, store, failure, old, ok)) {
    close(fd);
    return false;
  }
  if (!ok && renames_ == Renames::Refused) ok = StoreDirectly(remote, item, outcome, store, failure, old);
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

// One upload under a temporary name, renamed to the destination on the server.
// False when the copy failed; else `ok` tells whether it is done (it is not
// where the server turned out to rename nothing).
bool CTransferJob::StoreAndRename(IFileSystem& remote, Item& item, TransferOutcome& outcome,
                                  const std::function<bool(const std::string&)>& store,
                                  const std::function<std::string()>& failure, const std::optional<FindData>& old,
                                  bool& ok) {
  const std::string& dst = outcome.remotePath;
  const uint64_t& sent = item.sent;
  // Temporary names of this run's own, so that two programs uploading the
  // same file never share one.
  const std::string base = ".twinbay-" + TempNameBase(PathName(dst));
  const std::string tmp = JoinRemotePath(item.record->remotePath, base + ".part-" + runTag_);
  const std::string tmp2 = JoinRemotePath(item.record->remotePath, base + ".part2-" + runTag_);
  // Store under a temporary name and rename it to the destination only
  // when the whole file was stored; a new file too, so that a link of its
  // name on the server is replaced, never written through.
  if (!store(tmp)) {
    outcome.error = failure();
    item.lost = remote.LostConnection();
    RemoveLeftover(remote, tmp);
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
    return false;
  }
  return true;
}

// The server renames nothing: stores directly, as older clients do. True
// when the file was stored.
bool CTransferJob::StoreDirectly(IFileSystem& remote, Item& item, TransferOutcome& outcome,
                                 const std::function<bool(const std::string&)>& store,
                                 const std::function<std::string()>& failure, const std::optional<FindData>& old) {
  const std::string& dst = outcome.remotePath;
  Undo(item);
  const bool ok = store(dst);
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
  return ok;
}

}  // namespace twinbay
