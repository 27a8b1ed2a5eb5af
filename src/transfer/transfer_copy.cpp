// The copy of one file from any file system to any other, used both ways: the
// bytes go to a temporary name beside the destination, are checked against
// both sides' sizes, get the source's time and are renamed into place (where
// the destination renames nothing, stored directly; a new small file on the
// server, stored directly under a mark in the sync state).

#include <algorithm>
#include <optional>

#include "fs/paths.h"
#include "fs/patterns.h"
#include "engine/state_rules.h"
#include "transfer/transfer_impl.h"

namespace twinbay {

// The size of a file: asked for where the file system can tell it, else taken
// from its entry.
bool HeldSize(IFileSystem& fs, const std::string& path, uint64_t& size) {
  if (fs.Capabilities().sizeQuery && fs.Size(path, size)) return true;
  FindData fd;
  if (!fs.Stat(path, fd) || fd.IsDirectory() || !fd.sizeKnown) return false;
  size = fd.size;
  return true;
}

// Removes what a failed copy left, logging in again when the failure (or an
// abort) cost the connection.
bool RemoveLeftover(IFileSystem& fs, const std::string& path) {
  if (fs.Remove(path)) return true;
  return fs.LostConnection() && fs.Reconnect() && fs.Remove(path);
}

void WarnIfTimeNotKept(bool set, bool server, const FindData& now, int64_t time, TransferOutcome& outcome) {
  // At the precision the destination shows, within the tolerance of a compare.
  if (!set || !SideChanged(now, {now.size, time})) return;
  outcome.warning += (outcome.warning.empty() ? "" : "; ") + std::string("the time did not stick: ") +
                     (server ? "the server" : "the disk") + " shows " + FormatUtc(now.lastWrite) + ", not " +
                     FormatUtc(time);
}

// The source's "transfer complete" is not enough: a data connection that
// ended early looks the same. The copy is complete only with every byte the
// listing promised. Where the listing disagrees (it gave no size, the size of
// a link, or the file changed since), the source's size of the file decides.
// False (with the error set) when it does not confirm the bytes read.
bool CTransferJob::SourceComplete(Ends& e, Item& item, TransferOutcome& outcome) {
  const uint64_t received = item.sent;
  if (e.sizeKnown && received == e.size) return true;
  uint64_t held = 0;
  const bool asked = e.src.Capabilities().sizeQuery && e.src.Size(e.srcPath, held);
  if (asked && held == received) return true;
  const std::string what = item.down ? "download" : "upload";
  outcome.error = !e.sizeKnown && !asked
                      ? "the " + what + " could not be checked: the listing gives no byte count for the file and " +
                            (item.down ? "the server" : "the source") + " does not tell its size"
                      : "incomplete " + what + ": " + std::to_string(received) + " of " +
                            std::to_string(e.sizeKnown ? e.size : held) + " bytes arrived although the " +
                            (item.down ? "server" : "source") + " reported the transfer complete";
  return false;
}

// Copies the source's bytes to `path` on the destination: pushed into the
// destination's writer where it offers one, else pulled by its Write from
// the source's reader. item.sent counts them.
bool CTransferJob::Pump(Ends& e, Item& item, const std::string& path, uint64_t from, std::string& error) {
  item.sent = from;
  item.resumedFrom = from;
  if (from > 0) AddDone(item, from);
  if (from > 0 && from == e.size) return true;  // every byte arrived before the copy broke
  if (e.dst.Capabilities().streams) {
    std::unique_ptr<IFsWriter> writer = from > 0 ? e.dst.OpenAppend(path, from) : e.dst.OpenWrite(path);
    if (!writer) {
      error = e.dst.LastError();
      return false;
    }
    bool writeFailed = false;
    const bool read = e.src.ReadFrom(e.srcPath, from, [&](const char* data, size_t size) {
      if (abort_) return false;
      if (!writer->Write(data, size)) {
        writeFailed = true;
        return false;
      }
      item.sent += size;
      AddDone(item, size);
      Throttle(size);
      return true;
    });
    const bool closed = writer->Close();
    if (read && closed && !writeFailed) return true;
    error = writeFailed || read ? SysError("cannot write " + path) : e.src.LastError();
    return false;
  }
  std::unique_ptr<IFsReader> reader = from > 0 ? e.src.OpenReadFrom(e.srcPath, from) : e.src.OpenRead(e.srcPath);
  if (!reader) {
    error = e.src.Capabilities().streams ? e.src.LastError() : "neither side of the copy can stream the file";
    return false;
  }
  bool readFailed = false;
  const FsSource source = [&](char* buffer, size_t size) -> long {
    if (abort_) return -1;
    const long n = reader->Read(buffer, size);
    if (n < 0) {
      readFailed = true;
      return -1;
    }
    item.sent += static_cast<uint64_t>(n);
    AddDone(item, static_cast<size_t>(n));
    Throttle(static_cast<uint64_t>(n));
    return n;  // 0 only at the real end of the file
  };
  const bool ok = from > 0 ? e.dst.Append(path, source, from, e.size - from) : e.dst.Write(path, source, e.size);
  if (!ok) error = readFailed ? SysError("cannot read " + e.srcPath) : e.dst.LastError();
  return ok;
}

bool CTransferJob::CopyFile(Ends& e, Item& item, TransferOutcome& outcome) {
  // A read-only destination is left alone.
  if (e.old && (e.old->attributes & kAttrReadOnly)) {
    outcome.error = e.dstPath + " is read-only";
    return false;
  }
  const FsCapabilities caps = e.dst.Capabilities();
  bool ok = false;
  if (!StoreNew(e, item, outcome, ok)) return false;
  const bool direct = !caps.atomicReplace && (!caps.rename || renames_ == Renames::Refused);
  if (!ok && !direct && !StoreAndRename(e, item, outcome, ok)) return false;
  if (!ok && !caps.atomicReplace && renames_ == Renames::Refused) {
    if (!StoreDirectly(e, item, outcome)) return false;
    SetTimeOf(e, item, e.dstPath, outcome);
    SetModeOf(e, e.dstPath, outcome);
    ok = true;
  }
  if (!ok) return false;
  if (item.down) {
    FindData fresh;
    if (e.dst.Stat(e.dstPath, fresh)) {
      WarnIfTimeNotKept(item.timeSet, false, fresh, e.time, outcome);
      auto guard = collection_.Lock();
      item.entry->local = std::move(fresh);
    }
  }
  return true;
}

// Gives the copy its mode where the destination has modes: a file replaced
// keeps the mode it had; a new one gets the destination's default, with the
// source's execute bits where the default lets read. One that cannot be set
// is a warning (the copy stays private).
void CTransferJob::SetModeOf(Ends& e, const std::string& path, TransferOutcome& outcome) {
  if (!e.dst.Capabilities().modes) return;
  if (!e.dst.SetMode(path, ModeFor(e)))
    outcome.warning += (outcome.warning.empty() ? "" : "; ") + std::string("the mode could not be set: ") +
                       e.dst.LastError();
}

uint32_t CTransferJob::ModeFor(const Ends& e) {
  uint32_t mode = e.dst.Capabilities().newFileMode;
  if (e.old && e.old->mode != kNoMode) mode = e.old->mode;
  else if (e.srcMode != kNoMode) mode |= e.srcMode & 0111 & (mode >> 2);
  return mode;
}

// Gives the copy the source's time; a time that cannot be set (refused, or
// outside what the destination can hold) is a warning.
void CTransferJob::SetTimeOf(Ends& e, Item& item, const std::string& path, TransferOutcome& outcome) {
  item.timeSet = false;
  item.sourceTime = e.time;
  if (!e.dst.Capabilities().setTime) {
    outcome.warning = "the time could not be set: the server offers no way to set file times";
  } else if (!e.dst.SetTime(path, e.time)) {
    outcome.warning = "the time could not be set: " + e.dst.LastError();
  } else {
    item.timeSet = true;
  }
}

bool CTransferJob::StillAsCompared(Ends& e, Item& item, TransferOutcome& outcome, bool listed) {
  FindData now;
  bool there = false;
  if (!listed && (item.down || (e.old && !e.old->link))) {
    there = e.dst.Stat(e.dstPath, now);
  } else {
    // A new file on the server (asking after a file that is not there would
    // draw a refusal), or a link the compare followed: its folder is listed,
    // as the compare did, once for the copies that wait for it: begun after
    // this copy's bytes began to go, and at most two seconds before now.
    const auto since = std::max(item.began, std::chrono::steady_clock::now() - std::chrono::seconds(2));
    if (!ListedNow(e.dst, item, since, PathName(e.dstPath), there, now)) {
      outcome.error = "the folder could not be listed again before the copy took its place: " + e.dst.LastError();
      return false;
    }
  }
  if (!there && e.dst.LostConnection()) {
    outcome.error = "the destination could not be looked at again: " + e.dst.LastError();
    return false;
  }
  std::string how;
  if (!e.old) {
    if (!there) return true;
    if (now.link) {
      // A local link that leads nowhere lists as nothing, yet it is there.
      outcome.error = e.dstPath + " is a link that leads nowhere; it was left as it is";
      return false;
    }
    how = "it appeared";
  } else if (!there) {
    how = "it is gone";
  } else if (now.IsDirectory() || SideChanged(now, {e.old->size, e.old->lastWrite})) {
    how = "now " + (now.sizeKnown ? std::to_string(now.size) + " bytes of " : std::string()) +
          FormatUtc(now.lastWrite);
  } else {
    return true;
  }
  outcome.error = std::string("not copied: the ") + (item.down ? "local file" : "file on the server") +
                  " changed since the compare (" + how + "); it was left as it is";
  return false;
}

bool CTransferJob::ListedNow(IFileSystem& fs, Item& item, std::chrono::steady_clock::time_point since,
                             const std::string& name, bool& there, FindData& found) {
  Folder& folder = folders_[item.folder];
  // The name itself, else one alike but for case (the compare would have
  // paired it).
  const auto find = [&](const ScanList& listing) {
    there = false;
    for (const FindData& f : listing)
      if (f.name == name || (!there && CompareNamesNoCase(f.name, name) == 0)) {
        there = true;
        found = f;
        if (f.name == name) break;
      }
  };
  std::unique_lock lock(listingsMutex_);
  for (;;) {
    if (folder.listed && folder.listingBegan >= since) {
      find(folder.listing);
      return true;
    }
    if (!folder.listingBusy || folder.listingUnderWay < since) break;
    listingsChanged_.wait(lock);
  }
  const auto began = std::chrono::steady_clock::now();
  folder.listingBusy = true;
  folder.listingUnderWay = began;
  lock.unlock();
  ScanList listing;
  const bool ok = fs.List(RemoteFolderKey(item.record->remotePath), listing);
  find(listing);
  lock.lock();
  if (ok && (!folder.listed || began >= folder.listingBegan)) {
    folder.listing = std::move(listing);
    folder.listingBegan = began;
    folder.listed = true;
  }
  if (folder.listingUnderWay == began) folder.listingBusy = false;
  listingsChanged_.notify_all();
  return ok;
}

bool CTransferJob::ResumeFrom(Ends& e, Item& item, const std::string& tmp, uint64_t& from) {
  from = 0;
  FindData held;
  bool there = false;
  if (item.down || item.partBegun) {
    there = e.dst.Stat(tmp, held);  // the disk, or a file this run made
  } else {
    auto guard = collection_.Lock();
    for (const FindData& f : item.record->remoteTemps)
      if (f.name == PathName(tmp)) there = true, held = f;
  }
  if (!there) return true;
  // Only a file no longer than the source is continued; the file system
  // makes sure as it opens it that it is still our own (a regular file, no
  // link, private where there are modes).
  if (!held.IsDirectory() && held.sizeKnown && held.size <= e.size) {
    from = held.size;
    return true;
  }
  return RemoveLeftover(e.dst, tmp);
}

// A new file on the server (nothing of its name there at the compare, and
// none since: a listing at most two seconds old) is stored directly under its
// own name, saving the rename and the size query (the folder's listing after
// its copies checks the size and the time). The sync state marks it first
// (StoreBegins), so that what a store killed midway leaves is never taken for
// newer than the local file nor recorded as in step; a store that fails has
// what it left removed and the mark taken back. Not for a file that replaces
// another, a large one (a broken copy of it is continued from its temporary
// file), a copy to be verified before it takes its place, a folder whose
// records the state does not keep by name, or without a state: those go
// through a temporary name; so does every copy to a file system that does
// not ask for this (storeNewDirectly). False when the copy failed; else `ok`
// tells whether it is done.
bool CTransferJob::StoreNew(Ends& e, Item& item, TransferOutcome& outcome, bool& ok) {
  ok = false;
  if (item.down || e.old || !recorder_ || options_.verify || !item.record->recordsKept ||
      !e.dst.Capabilities().storeNewDirectly)
    return true;
  if (!e.sizeKnown || (e.size >= kResumeMinimum && e.dst.Capabilities().resume)) return true;
  if (!StillAsCompared(e, item, outcome)) {
    outcome.warning.clear();
    return false;
  }
  FileSide local;
  {
    auto guard = collection_.Lock();
    local = item.entry->local;
  }
  if (!recorder_->StoreBegins(*item.record, local)) return true;
  item.began = std::chrono::steady_clock::now();
  ok = Pump(e, item, e.dstPath, 0, outcome.error);
  if (ok) {
    outcome.error.clear();
    ok = SourceComplete(e, item, outcome);
  }
  if (ok) {
    SetTimeOf(e, item, e.dstPath, outcome);
    return true;
  }
  // Whatever the store left goes (after a new login where the failure cost
  // the connection), and only then the mark.
  if (e.dst.LostConnection()) e.dst.Reconnect();
  FindData now;
  const bool there = e.dst.Stat(e.dstPath, now);
  if (there && !RemoveLeftover(e.dst, e.dstPath)) {
    outcome.error += "; the partial copy could not be removed";
    return false;
  }
  if (!there && e.dst.LostConnection()) return false;
  if (there) outcome.error += "; the partial copy was removed";
  recorder_->StoreUndone(*item.record, local->name);
  return false;
}

// One copy under a temporary name, renamed to the destination. False when the
// copy failed; else `ok` tells whether it is done (it is not where the
// destination turned out to rename nothing).
bool CTransferJob::StoreAndRename(Ends& e, Item& item, TransferOutcome& outcome, bool& ok) {
  // Temporary names of this run's own, so that two programs copying the same
  // file never share one.
  // A large file's copy goes to a name that tells its source's size and time
  // instead: a copy that breaks leaves it, and a later one continues it
  // while the source is still the same (a changed one has another name).
  const std::string name = PathName(e.dstPath), base = ".twinbay-" + TempNameBase(name);
  bool resumable = e.sizeKnown && e.size >= kResumeMinimum && e.src.Capabilities().resume &&
                   e.dst.Capabilities().resume;
  const std::string unique = JoinRemotePath(e.folder, base + ".part-" + runTag_);
  std::string tmp = resumable ? JoinRemotePath(e.folder, ResumableTempName(name, e.size, e.time)) : unique;
  // A temporary file there that can be neither continued nor removed (a
  // server that lets no file be deleted) is left: this copy takes a name of
  // its own.
  const auto aside = [&] { resumable = false, tmp = unique; };
  const std::string tmp2 = JoinRemotePath(e.folder, base + ".part2-" + runTag_);
  uint64_t from = 0;
  if (resumable && !ResumeFrom(e, item, tmp, from)) aside();
  // A new file too goes through a temporary name, so that a link of its name
  // is replaced, never written through; the old version stays until the
  // whole file is there.
  item.began = std::chrono::steady_clock::now();
  item.partBegun = item.partBegun || resumable;
  bool pumped = Pump(e, item, tmp, from, outcome.error);
  const auto broke = [&] { return abort_ || e.dst.LostConnection() || e.src.LostConnection(); };
  if (!pumped && from > 0 && !broke()) {
    // The temporary file could not be continued after all (it is no longer
    // ours as it was, or the server would not): the copy starts again.
    Undo(item);
    outcome.error.clear();
    if (!RemoveLeftover(e.dst, tmp)) aside();
    pumped = Pump(e, item, tmp, 0, outcome.error);
  }
  if (!pumped) {
    // What a broken copy of a large file left stays for the next try.
    item.partKept = resumable && broke();
    if (!item.partKept) RemoveLeftover(e.dst, tmp);
    return false;
  }
  outcome.resumedFrom = item.resumedFrom;
  if (!StoredWhole(e, item, tmp, outcome)) return false;
  return TakePlace(e, item, tmp, tmp2, outcome, ok);
}

// The destination's "transfer complete" is not enough: the temporary file
// must hold every byte (it is removed when it does not).
bool CTransferJob::StoredWhole(Ends& e, Item& item, const std::string& tmp, TransferOutcome& outcome,
                               std::optional<uint64_t> told) {
  uint64_t stored = told.value_or(0);
  if (!SourceComplete(e, item, outcome)) {
    e.dst.Remove(tmp);
    return false;
  }
  if (!(told || HeldSize(e.dst, tmp, stored)) || stored != item.sent) {
    outcome.error = "incomplete " + std::string(item.down ? "download" : "upload") + ": the " +
                    (item.down ? "disk" : "server") + " holds " +
                    (stored != item.sent ? std::to_string(stored) + " of " + std::to_string(item.sent) + " bytes"
                                         : "a file whose size it does not tell") +
                    " although it reported the transfer complete" + (e.old ? "; the old version was kept" : "");
    e.dst.Remove(tmp);
    return false;
  }
  if (options_.verify && !SameContents(e, tmp, outcome)) {
    outcome.error += "; the old version was kept";
    e.dst.Remove(tmp);
    return false;
  }
  return true;
}

bool CTransferJob::SameContents(Ends& e, const std::string& path, TransferOutcome& outcome) {
  std::optional<HashKind> kind = StrongestHash(e.src.HashKinds() & e.dst.HashKinds());
  if (!kind) {
    if (!unverifiedTold_.exchange(true))
      outcome.warning += (outcome.warning.empty() ? "" : "; ") +
                         std::string("not verified: the server offers no hash (nor is any copy of this run)");
    return true;
  }
  std::string source, copy;
  bool sourceOk = false;
  auto hashBoth = [&] { return (sourceOk = e.src.Hash(e.srcPath, *kind, source)) && e.dst.Hash(path, *kind, copy); };
  bool ok = hashBoth();
  // A server that hashed in a weaker kind than asked (it has not the
  // stronger) offers that one from then on: both are hashed again in it.
  if (const auto now = StrongestHash(e.src.HashKinds() & e.dst.HashKinds()); !ok && now && now != kind) {
    kind = now;
    ok = hashBoth();
  }
  if (!ok) {
    outcome.error = "the copy could not be verified: " + (sourceOk ? e.dst : e.src).LastError();
    return false;
  }
  if (source == copy) return true;
  outcome.error = std::string("the copy's ") + HashName(*kind) + " hash differs from the source's (" + copy +
                  " against " + source + ")";
  return false;
}

// The copy under its temporary name takes the destination's place: renamed
// over it where a rename replaces, else the old version deleted just before.
// False when the copy failed; else `ok` tells whether it is done.
bool CTransferJob::TakePlace(Ends& e, Item& item, const std::string& tmp, const std::string& tmp2,
                             TransferOutcome& outcome, bool& ok) {
  const bool atomic = e.dst.Capabilities().atomicReplace;
  // The time and the mode go on the copy before it takes the file's place.
  SetTimeOf(e, item, tmp, outcome);
  SetModeOf(e, tmp, outcome);
  bool refused = false;
  // The copy replaces only what the compare saw: a file that appeared since
  // (someone else's, never seen) or changed since (an edit made meanwhile)
  // is left alone and the copy fails.
  if (!StillAsCompared(e, item, outcome)) {
    outcome.warning.clear();
    RemoveLeftover(e.dst, tmp);
    return false;
  }
  // The old version is kept first (the trash, the backup folder): a local
  // one is hard-linked into the trash, so the rename below still replaces
  // it in one step; a server one is moved away, the copy renamed in after.
  // One that cannot be kept is not replaced.
  std::string keptAt;
  bool moved = false;
  if (e.old && !KeepOld(e.dst, item, e.dstPath, true, keptAt, moved, outcome.error)) {
    outcome.warning.clear();
    RemoveLeftover(e.dst, tmp);
    return false;
  }
  outcome.keptAt = keptAt;
  if (e.dst.Rename(tmp, e.dstPath)) {
    ok = true;
  } else if (atomic || moved) {
    outcome.error = e.dst.LastError();
    RemoveLeftover(e.dst, tmp);
  } else if (e.dst.Rename(tmp, tmp2)) {
    // Renames work, but not over an existing file: delete the old one just
    // before the rename. A file that was not there at the compare is
    // someone else's: it is left alone and the copy fails.
    ok = e.old && e.dst.Remove(e.dstPath) && e.dst.Rename(tmp2, e.dstPath);
    if (!ok) {
      outcome.error = e.old ? e.dst.LastError()
                            : e.dstPath + " appeared on the server since the compare; it was left as it is";
      e.dst.Remove(tmp2);
    }
    if (!e.old) renames_ = Renames::Works;
  } else {
    refused = true;
    e.dst.Remove(tmp);
  }
  if (!ok) {
    PutBack(e.dst, item, e.dstPath, keptAt, moved);
    outcome.keptAt.clear();
  }
  if (atomic || moved) {
    if (!ok) outcome.warning.clear();
    return ok;
  }
  Renames unknown = Renames::Unknown;
  if (ok) renames_ = Renames::Works;
  else if (refused) renames_.compare_exchange_strong(unknown, Renames::Refused);
  if (!ok) outcome.warning.clear();
  if (!ok && renames_ != Renames::Refused) {
    if (outcome.error.empty()) outcome.error = e.dst.LastError();
    return false;
  }
  return true;
}

// The destination renames nothing: stores directly, as older clients do.
// True when the file was stored.
bool CTransferJob::StoreDirectly(Ends& e, Item& item, TransferOutcome& outcome) {
  Undo(item);
  if (!StillAsCompared(e, item, outcome)) {
    outcome.warning.clear();
    return false;
  }
  // Stored over directly, the old version is moved away first (kept, or
  // the copy fails).
  bool moved = false;
  if (e.old && !KeepOld(e.dst, item, e.dstPath, false, outcome.keptAt, moved, outcome.error)) return false;
  bool ok = Pump(e, item, e.dstPath, 0, outcome.error);
  if (ok) {
    outcome.error.clear();
    ok = SourceComplete(e, item, outcome);
  }
  // Checked where it landed: a copy that differs has overwritten the old
  // version already, and goes as a broken one does.
  const bool differs = ok && options_.verify && !SameContents(e, e.dstPath, outcome);
  if (differs) {
    outcome.error += "; the old version was overwritten by the store";
    ok = false;
  }
  if (!ok) {
    // What a broken store left would look newer than the source: it goes, as
    // after the other copies (the old version, if any, was overwritten by
    // the store already). A file that still is the old version (the store
    // was refused before it began) stays.
    if (e.dst.LostConnection()) e.dst.Reconnect();
    FindData now;
    const bool there = e.dst.Stat(e.dstPath, now);
    if (there && (!e.old || now.size != e.old->size || now.lastWrite != e.old->lastWrite)) {
      if (RemoveLeftover(e.dst, e.dstPath)) {
        outcome.error += differs ? "; the copy was removed" : "; the partial copy was removed";
        auto guard = collection_.Lock();
        (item.down ? item.entry->local : item.entry->remote).reset();
      } else {
        outcome.error += differs ? "; the copy could not be removed" : "; the partial copy could not be removed";
      }
    }
    if (moved) PutBack(e.dst, item, e.dstPath, outcome.keptAt, moved), outcome.keptAt.clear();
  }
  return ok;
}

}  // namespace twinbay
