// One compare and sync's use of the sync state: the records it reads, the
// changes it writes on a thread of its own, and the marks of stores under way.
#include <string>
#include <utility>
#include <vector>

#include "core/sync_state.h"

namespace twinbay {

namespace {
// Batches handed to the writer and not yet taken: the compare waits beyond
// this, so that a slow disk holds back the compare rather than fill memory.
constexpr size_t kQueued = 2;
}  // namespace

StateSession::StateSession(SyncStateStore& store, int64_t pair, bool classify, size_t batch)
    : store_(store), pair_(pair), classify_(classify), batch_(batch), recorded_(store.Count(pair)) {}

StateSession::~StateSession() { Drain(); }

std::string StateSession::Error() const {
  std::lock_guard g(errorMutex_);
  return error_;
}

void StateSession::Note(bool ok) {
  if (ok) return;
  std::lock_guard g(errorMutex_);
  if (error_.empty()) error_ = store_.LastError();
}

RecordedFolderList StateSession::Folder(const std::string& folder) {
  std::unique_lock g(storeMutex_);
  RecordedFolderList out = store_.Folder(pair_, folder);
  const bool failed = !store_.ReadError().empty();
  g.unlock();
  if (failed && onReadFailure_) onReadFailure_();
  return out;
}

void StateSession::Add(Change change) {
  std::lock_guard g(mutex_);
  pending_.push_back(std::move(change));
  if (pending_.size() < batch_) return;
  Hand(std::move(pending_));
  pending_.clear();
}

void StateSession::InStep(const std::string& folder, const std::string& name, const RecordedPair& now) {
  Add({folder, {name, now}, false});
}

void StateSession::Gone(const std::string& folder, const std::string& name) { Add({folder, {name, {}}, true}); }

void StateSession::Walked(const std::string& folder) {
  std::lock_guard g(mutex_);
  walked_.insert(folder);
}

void StateSession::Excluded(const std::string& folder) {
  std::lock_guard g(mutex_);
  excluded_.insert(folder);
}

// The compare's rows are written on a thread of their own, so that the
// compare goes on listing meanwhile (a first run writes a row per file).
void StateSession::Hand(std::vector<Change>&& batch) {
  std::unique_lock g(queueMutex_);
  if (!writer_.joinable()) {
    stop_ = false;
    writer_ = std::thread([this] { WriteQueued(); });
  }
  queueChanged_.wait(g, [this] { return queue_.size() < kQueued; });
  queue_.push_back(std::move(batch));
  queueChanged_.notify_all();
}

void StateSession::WriteQueued() {
  for (;;) {
    std::vector<Change> batch;
    {
      std::unique_lock g(queueMutex_);
      queueChanged_.wait(g, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
      queueChanged_.notify_all();
    }
    Write(batch);
  }
}

void StateSession::Write(const std::vector<Change>& batch) {
  std::lock_guard g(storeMutex_);
  bool ok = store_.Begin();
  // Rows of one folder go together, as many to a statement as it takes.
  std::vector<const RecordedFile*> rows;
  for (size_t i = 0; ok && i < batch.size();) {
    const Change& c = batch[i];
    if (c.remove) {
      ok = store_.Remove(pair_, c.folder, c.file.name);
      ++i;
      continue;
    }
    rows.clear();
    for (; i < batch.size() && !batch[i].remove && batch[i].folder == c.folder; ++i) rows.push_back(&batch[i].file);
    ok = store_.RecordMany(pair_, c.folder, rows.data(), rows.size());
  }
  ok = store_.Commit() && ok;
  Note(ok);
}

void StateSession::Drain() {
  std::vector<Change> rest;
  {
    std::lock_guard g(mutex_);
    rest.swap(pending_);
  }
  {
    std::lock_guard g(queueMutex_);
    stop_ = true;
    queueChanged_.notify_all();
  }
  if (writer_.joinable()) writer_.join();  // it writes what is queued first
  if (!rest.empty()) Write(rest);
}

void StateSession::Finish(bool whole) {
  Drain();
  // Records of folders that are on neither side any more (the whole tree was
  // walked): a folder restored later from a backup must not read as one the
  // other side deleted.
  if (!whole) return;
  std::set<std::string> walked, excluded;
  {
    std::lock_guard g(mutex_);
    walked.swap(walked_);
    excluded.swap(excluded_);
  }
  // A folder left out by the exclusions, or below one, keeps its records.
  auto left = [&](const std::string& folder) {
    for (std::string f = folder;; f.resize(f.rfind('/'))) {
      if (excluded.count(f)) return true;
      if (f.find('/') == std::string::npos) return false;
    }
  };
  std::lock_guard g(storeMutex_);
  bool ok = store_.Begin();
  for (const std::string& folder : store_.Folders(pair_))
    if (!walked.count(folder) && !left(folder)) ok = ok && store_.RemoveFolder(pair_, folder);
  ok = store_.Commit() && ok;
  Note(ok);
}

void StateSession::Copied(const CFolderRecord& record, const FileSide& local, const FileSide& remote) {
  if (!local || !remote) return;
  const std::string folder = RecordedFolder(record), name = FoldedName(local->name);
  std::lock_guard g(storeMutex_);
  Note(store_.Record(pair_, folder, name, {{local->size, local->lastWrite}, {remote->size, remote->lastWrite}}));
}

void StateSession::CopiedMany(const CFolderRecord& record,
                              const std::vector<std::pair<FileSide, FileSide>>& pairs) {
  // One transaction for the folder's uploads: each row is as true as alone.
  std::vector<RecordedFile> rows;
  std::vector<const RecordedFile*> at;
  for (const auto& [local, remote] : pairs)
    if (local && remote)
      rows.push_back({FoldedName(local->name), {{local->size, local->lastWrite}, {remote->size, remote->lastWrite}}});
  for (const RecordedFile& f : rows) at.push_back(&f);
  std::lock_guard g(storeMutex_);
  const bool ok = store_.Begin() && store_.RecordMany(pair_, RecordedFolder(record), at.data(), at.size());
  Note(store_.Commit() && ok);
}

bool StateSession::StoreBegins(const CFolderRecord& record, const FileSide& local) {
  if (!local) return false;
  const std::string folder = RecordedFolder(record), name = FoldedName(local->name);
  std::lock_guard g(storeMutex_);
  const bool ok = store_.Record(pair_, folder, name, {{local->size, local->lastWrite}, {kStoreUnderWay, 0}});
  Note(ok);
  return ok;
}

void StateSession::Deleted(const CFolderRecord& record, const std::string& name) {
  const std::string folder = RecordedFolder(record), folded = FoldedName(name);
  std::lock_guard g(storeMutex_);
  Note(store_.Remove(pair_, folder, folded));
}

}  // namespace twinbay
