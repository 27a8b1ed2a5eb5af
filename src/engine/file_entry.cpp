#include "engine/file_entry.h"

#include "engine/decide.h"

namespace twinbay {

CompareState CFileEntry::Reclassify(bool ignoreSeconds) {
  // The times alone decide (no record, no mirror), as the two sides stand now.
  DecideOptions options;
  options.ignoreSeconds = ignoreSeconds;
  state = Decide({local ? &*local : nullptr, remote ? &*remote : nullptr}, nullptr, options);
  return state;
}

const std::string& CFileEntry::Name() const {
  if (local && !local->name.empty()) return local->name;
  static const std::string empty;
  return remote ? remote->name : empty;
}

void CFolderRecord::MarkIncomplete(const std::string& reason) {
  if (!incomplete) incompleteReason = reason;
  incomplete = true;
  for (auto& e : entries) e->tagged = 0;
}

void CFolderRecord::TagAll() {
  if (incomplete) return;
  for (auto& e : entries)
    if (IsActionState(e->state)) e->tagged = 1;
}

void CFolderRecord::UntagAll() {
  for (auto& e : entries)
    if (e->state != InStep) e->tagged = 0;
}

FolderSummary CFolderRecord::Summary() const {
  bool up = false, down = false;
  for (const auto& e : entries) {
    if (IsActionState(e->state)) (IsUpState(e->state) ? up : down) = true;
    if (up && down) return CopyBothWays;
  }
  if (up) return CopyOnlyLocalToRemote;
  if (down) return CopyOnlyRemoteToLocal;
  return NothingToCopy;
}

bool CFolderRecord::HasDifferences() const {
  for (const auto& e : entries)
    if (e->state != InStep) return true;
  return false;
}

bool CFolderRecord::HasConflicts() const {
  for (const auto& e : entries)
    if (e->state == Conflict) return true;
  return false;
}

CFolderCollection::~CFolderCollection() { Clear(); }

void CFolderCollection::Clear() {
  if (listener_) listener_->CollectionCleared();
  std::vector<std::unique_ptr<CFolderRecord>> old;
  {
    Guard g(mutex_);
    old.swap(records_);
  }
}

CFolderRecord* CFolderCollection::Add(std::unique_ptr<CFolderRecord> record) {
  Guard g(mutex_);
  record->index = records_.size();
  records_.push_back(std::move(record));
  return records_.back().get();
}

size_t CFolderCollection::GetCount() const {
  Guard g(mutex_);
  return records_.size();
}

CFolderRecord* CFolderCollection::GetAt(size_t index) const {
  Guard g(mutex_);
  return index < records_.size() ? records_[index].get() : nullptr;
}

}  // namespace twinbay
