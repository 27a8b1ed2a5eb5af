// Which files a connection takes together (small downloads read ahead,
// small uploads written together), and the small uploads' copy: a
// connection that writes batches (an SFTP server's) is handed several small
// uploads at once, and the single copy's steps (transfer_copy.cpp) are taken
// for all of them at a time: the bytes read from the disk; new private
// temporary files written, timed and given their modes; each checked whole
// and its destination still as the compare saw it; the renames into place.
// Each file's failure is its own: the others land, its temporary file is
// removed.

#include <algorithm>

#include "fs/paths.h"
#include "fs/patterns.h"
#include "transfer/transfer_impl.h"

namespace twinbay {
namespace {

// A file that grew past this since the compare is copied alone.
constexpr uint64_t kBatchRead = 4 * kSmallFile;

void AddText(std::string& to, const std::string& text) { to += (to.empty() ? "" : "; ") + text; }

}  // namespace

bool CTransferJob::Take(size_t& item, std::deque<size_t>& mine, IFileSystem& remote, std::vector<size_t>& uploads) {
  std::vector<size_t> batch;
  uploads.clear();
  {
    std::lock_guard g(workMutex_);
    if (stop_ || (mine.empty() && queue_.empty())) return false;
    std::deque<size_t>& from = mine.empty() ? queue_ : mine;
    item = from.front();
    from.pop_front();
    // A small download takes the small downloads queued right behind it
    // along (its fair share of the queue at most), so that its connection
    // reads them all ahead in a few round trips; a small upload takes the
    // small uploads behind it, all written together where the connection
    // writes batches.
    const bool up = items_[item].smallUp && remote.Capabilities().batches;
    if (&from == &queue_ && (items_[item].small || up)) {
      const size_t connections = static_cast<size_t>(std::clamp(options_.connections, 1, FileSystemPool::kMaxMembers));
      size_t along = std::min(kReadAheadFiles - 1, queue_.size() / connections);
      // A batch of uploads takes about as long whatever its size: it shares
      // the queue with the connections at work and one more (more come one
      // at a time, each a login later), and goes a batch of downloads' size
      // at least.
      if (up)
        along = std::min(kBatchFiles - 1, std::max(std::min(kReadAheadFiles - 1, queue_.size()),
                                                   queue_.size() / std::min(connections, working_ + 1)));
      batch.push_back(item);
      uint64_t bytes = items_[item].listed;
      while (batch.size() <= along && (up ? items_[queue_.front()].smallUp && bytes < kBatchBytes
                                          : items_[queue_.front()].small)) {
        bytes += items_[queue_.front()].listed;
        batch.push_back(queue_.front());
        queue_.pop_front();
      }
      if (up && batch.size() > 1) uploads = batch;
      if (!up) mine.insert(mine.end(), batch.begin() + 1, batch.end());
    }
    for (size_t i : uploads.empty() ? std::vector<size_t>{item} : uploads) {
      if (!items_[i].started) ++filesStarted_;
      items_[i].started = true;
    }
    StartHelper();
  }
  if (!uploads.empty() || batch.size() < 2) return true;
  std::vector<FsPrefetch> files;
  {
    auto guard = collection_.Lock();
    for (size_t i : batch)
      files.push_back({JoinRemotePath(items_[i].record->remotePath, items_[i].entry->remote->name),
                       items_[i].entry->remote->size});
  }
  remote.Prefetch(files);
  return true;
}

std::vector<bool> CTransferJob::CopyBatch(IFileSystem& remote, IFileSystem& local, const std::vector<size_t>& items) {
  std::vector<bool> oks(items.size(), false);
  struct One {
    size_t k = 0;  // its place in `items`
    std::optional<Ends> e;
    std::string tmp;
  };
  std::vector<One> going;          // read whole, to be written together
  std::vector<FsBatchFile> files;  // theirs, in the same order
  std::vector<size_t> alone;       // grown past the bound: copied alone after
  for (size_t k = 0; k < items.size(); ++k) {
    Item& item = items_[items[k]];
    TransferOutcome& outcome = outcomes_[items[k]];
    One one;
    one.k = k;
    bool done = false;
    if (!Begin(remote, local, items[k], one.e, done)) {
      oks[k] = done;
      continue;
    }
    Ends& e = *one.e;
    if (e.old && (e.old->attributes & kAttrReadOnly)) {
      outcome.error = e.dstPath + " is read-only";
      continue;
    }
    item.began = std::chrono::steady_clock::now();
    item.sent = item.resumedFrom = 0;
    std::unique_ptr<IFsReader> reader = e.src.OpenRead(e.srcPath);
    if (!reader) {
      outcome.error = e.src.LastError();
      continue;
    }
    FsBatchFile f;
    long n = 0;
    do {
      const size_t at = f.bytes.size();
      f.bytes.resize(at + kSmallFile);
      n = abort_ ? -1 : reader->Read(f.bytes.data() + at, kSmallFile);
      f.bytes.resize(at + static_cast<size_t>(std::max(n, 0L)));
      if (n <= 0) break;
      item.sent += static_cast<uint64_t>(n);
      AddDone(item, static_cast<uint64_t>(n));
      Throttle(static_cast<uint64_t>(n));
    } while (f.bytes.size() <= kBatchRead);
    if (n < 0) {
      outcome.error = abort_ ? std::string("stopped") : SysError("cannot read " + e.srcPath);
      continue;
    }
    if (n > 0) {
      alone.push_back(k);
      continue;
    }
    // Under a name of this run's own, as a single copy's.
    one.tmp = JoinRemotePath(e.folder, ".twinbay-" + TempNameBase(PathName(e.dstPath)) + ".part-" + runTag_);
    f.path = one.tmp;
    const FsCapabilities caps = e.dst.Capabilities();
    if (caps.setTime) f.time = e.time;
    if (caps.modes) f.mode = ModeFor(e);
    going.push_back(std::move(one));
    files.push_back(std::move(f));
  }
  if (!files.empty()) remote.WriteBatch(files);
  // The connection broke under the batch: the files it failed are tried again.
  bool broke = remote.LostConnection();
  std::vector<FsBatchRename> renames;
  std::vector<size_t> renaming;  // their places in `going`
  for (size_t j = 0; j < going.size(); ++j) {
    Ends& e = *going[j].e;
    const FsBatchFile& f = files[j];
    Item& item = items_[items[going[j].k]];
    TransferOutcome& outcome = outcomes_[items[going[j].k]];
    const std::string& tmp = going[j].tmp;
    item.timeSet = f.timeSet;
    item.sourceTime = e.time;
    if (!f.stored) {
      outcome.error = f.error;
      item.lost = broke;
      if (f.made) RemoveLeftover(remote, tmp);
      continue;
    }
    if (!StoredWhole(e, item, tmp, outcome, f.held)) {
      item.lost = remote.LostConnection();
      continue;
    }
    if (!remote.Capabilities().batches) {
      // The server turned out to open no channel for the batch (the files
      // were written one at a time): each takes its place as a single copy's.
      bool done = false;
      const size_t k = going[j].k;
      const std::string tmp2 =
          JoinRemotePath(e.folder, ".twinbay-" + TempNameBase(PathName(e.dstPath)) + ".part2-" + runTag_);
      oks[k] = TakePlace(e, item, tmp, tmp2, outcome, done) && done;
      if (!oks[k] && outcome.error.empty()) outcome.error = remote.LastError();
      item.lost = !oks[k] && remote.LostConnection();
      continue;
    }
    // A time or mode that could not be set is a warning, as for one copy.
    if (!f.time) outcome.warning = "the time could not be set: the server offers no way to set file times";
    else if (!f.timeSet) outcome.warning = "the time could not be set: " + f.timeError;
    if (f.mode && !f.modeSet) AddText(outcome.warning, "the mode could not be set: " + f.modeError);
    // The copy replaces only what the compare saw (each folder listed once
    // for the files that wait for it).
    if (!StillAsCompared(e, item, outcome, true)) {
      item.lost = remote.LostConnection();
      outcome.warning.clear();
      RemoveLeftover(remote, tmp);
      continue;
    }
    renames.push_back({tmp, e.dstPath, false, {}});
    renaming.push_back(j);
  }
  if (abort_) {
    for (FsBatchRename& r : renames) r.error = "stopped";
  } else if (!renames.empty()) {
    remote.RenameBatch(renames);
  }
  broke = remote.LostConnection();
  for (size_t r = 0; r < renames.size(); ++r) {
    const size_t k = going[renaming[r]].k;
    if ((oks[k] = renames[r].done)) continue;
    TransferOutcome& outcome = outcomes_[items[k]];
    outcome.error = renames[r].error;
    outcome.warning.clear();
    items_[items[k]].lost = broke;
    RemoveLeftover(remote, renames[r].from);
  }
  for (size_t k : alone) {
    Undo(items_[items[k]]);
    oks[k] = Copy(remote, local, items[k]);
  }
  return oks;
}

}  // namespace twinbay
