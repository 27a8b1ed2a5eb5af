#include "engine/folder_state.h"

#include <algorithm>

namespace twinbay {

CFolderState::CFolderState(IRecordedState* state, bool any, std::string folder, std::set<std::string> shared)
    : state_(state), folder_(std::move(folder)), shared_(std::move(shared)) {
  if (any && state_) records_ = state_->Folder(folder_);
  met_.assign(records_.size(), false);
  unmet_ = records_.size();
}

const RecordedPair* CFolderState::RecordOf(const PairFacts& pair) {
  if (!state_ || records_.empty()) return nullptr;
  const std::string key = FoldedName(pair.local ? pair.local->name : pair.remote->name);
  if (shared_.count(key)) return nullptr;
  const auto it = std::lower_bound(records_.begin(), records_.end(), key,
                                   [](const RecordedFile& f, const std::string& k) { return f.name < k; });
  if (it == records_.end() || it->name != key) return nullptr;
  const size_t i = static_cast<size_t>(it - records_.begin());
  unmet_ -= !met_[i];
  met_[i] = true;  // what is left unmet at the end is not here
  return &it->sides;
}

void CFolderState::Keep(const std::set<std::string>& names) {
  if (names.empty()) return;
  for (size_t i = 0; i < records_.size(); ++i)
    if (!met_[i] && names.count(records_[i].name)) {
      met_[i] = true;
      --unmet_;
    }
}

void CFolderState::Write(const std::vector<DecidedPair>& pairs, const ScanList& localAll, const ScanList& remoteAll,
                         bool whole) {
  if (!state_) return;
  for (const DecidedPair& d : pairs) {
    const FindData *l = d.facts.local, *r = d.facts.remote;
    if (d.cls != InStep || !l || !r) continue;
    const RecordedPair now{{l->size, l->lastWrite}, {r->size, r->lastWrite}};
    if (d.record && *d.record == now) continue;
    const std::string key = FoldedName(l ? l->name : r->name);
    if (!shared_.count(key)) state_->InStep(folder_, key, now);
  }
  // A record whose file is on neither side is gone; with a side unread it
  // may be there.
  if (!unmet_ || !whole) return;
  std::set<std::string> present;
  for (const ScanList* all : {&localAll, &remoteAll})
    for (const FindData& fd : *all) present.insert(FoldedName(fd.name));
  for (size_t i = 0; i < records_.size(); ++i)
    if (!met_[i] && !present.count(records_[i].name)) state_->Gone(folder_, records_[i].name);
}

}  // namespace twinbay
