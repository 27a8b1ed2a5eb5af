// The last synchronised state's part in the compare of one folder, a step
// apart from the walk and the decision: it gives each pair the record of its
// name (the folder's records read once) and, once the pairs are decided,
// writes what the folder now says to the state.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "engine/decide.h"

namespace twinbay {

// A pair with the record it was decided by and its class.
struct DecidedPair {
  PairFacts facts;
  const RecordedPair* record = nullptr;
  CompareState cls = InStep;
};

class CFolderState {
 public:
  // `state` null: nothing is read or written. `any`: the state holds records
  // for the folder pair (else none is read). `shared`: the folded names whose
  // record may not be used (names more than one entry of a side shares, and
  // those a listing left out although they are there).
  CFolderState(IRecordedState* state, bool any, std::string folder, std::set<std::string> shared);

  // The record of a pair's name (null: none, or not to be used); a record
  // given to a pair has been met.
  const RecordedPair* RecordOf(const PairFacts& pair);
  // The records of these folded names stay as they are (files left out by
  // the exclusions): never read as gone.
  void Keep(const std::set<std::string>& names);
  // Writes the folder's decided pairs: each in step on both sides as both
  // sides show it now (unless its record says so already). Then, when both
  // sides' listings were read whole (`whole`), each record met by no pair
  // whose file is in neither listing (`localAll`, `remoteAll`: every entry,
  // not only the files of the chosen types) is gone.
  void Write(const std::vector<DecidedPair>& pairs, const ScanList& localAll, const ScanList& remoteAll,
             bool whole);

 private:
  IRecordedState* state_;
  std::string folder_;
  std::set<std::string> shared_;
  RecordedFolderList records_;
  std::vector<bool> met_;
  size_t unmet_ = 0;
};

}  // namespace twinbay
