// The last synchronised state of a folder pair as the compare sees it: what
// each side of a pair was when the two were last in step, the keys records
// are kept under, and whether a side changed since its record. Decide (in
// engine/decide.h) turns a pair and its record into a class.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fs/find_data.h"

namespace twinbay {

// One side of a pair as it was recorded: size and last-write time (UTC ticks).
struct RecordedSide {
  uint64_t size = 0;
  int64_t time = 0;
  bool operator==(const RecordedSide&) const = default;
};

// Both sides of a pair when they were last in step.
struct RecordedPair {
  RecordedSide local, remote;
  bool operator==(const RecordedPair&) const = default;
};

// A record whose server side is this size is no pair in step: it marks a
// new file a sync began to store directly under its own name, from just
// before the store until the copy is recorded (or what it left is removed).
// A server file under such a mark may be a broken store's: never newer
// than the local one, never copied down (Decide).
constexpr uint64_t kStoreUnderWay = ~uint64_t{0};
inline bool StoreUnderWay(const RecordedPair& r) { return r.remote.size == kStoreUnderWay; }

// The record of one file of a folder, under its folded name.
struct RecordedFile {
  std::string name;
  RecordedPair sides;
};
// A folder's records, in the byte order of their names.
using RecordedFolderList = std::vector<RecordedFile>;

// Whether a side differs from what was recorded of it (or listed of it
// before): the size (where the listing gave one) or the time at the side's
// own precision (CompareFileTimes, TimeScope::SameSide), whatever the
// compare's tolerance. The decision of a pair's class (Decide) and the
// re-checks before a copy or a delete use it alike.
bool SideChanged(const FindData& now, const RecordedSide& then);

// The key a name is recorded under: A-Z folded to a-z, as names pair up.
std::string FoldedName(std::string_view name);

class CFolderRecord;
// The key a folder is recorded under: its path below the top folder, each
// name folded ("" for the top folder itself).
std::string RecordedFolder(const CFolderRecord& record);

// The last synchronised state of one folder pair, as a compare reads and
// updates it (on the compare's thread). Folders are given as RecordedFolder
// gives them, names folded.
class IRecordedState {
 public:
  virtual ~IRecordedState() = default;
  // Whether anything is recorded for the pair: without a record every pair
  // is classed by its times alone.
  virtual bool Any() = 0;
  // Whether the classes come from the record (else it is only written, as
  // for a one-way mirror).
  virtual bool Classify() { return true; }
  // The records of one folder.
  virtual RecordedFolderList Folder(const std::string& folder) = 0;
  // A pair on both sides, found in step: it is recorded as it is now.
  virtual void InStep(const std::string& folder, const std::string& name, const RecordedPair& now) = 0;
  // A recorded pair gone from both sides (their listings read whole).
  virtual void Gone(const std::string& folder, const std::string& name) = 0;
  // The compare walked the folder on both sides (none of it unread).
  virtual void Walked(const std::string& folder) = 0;
  // A folder the exclusions left out: its records and those of the folders
  // below it stay as they are, though it was not walked.
  virtual void Excluded(const std::string& folder) { (void)folder; }
  // The compare ended; `whole`: every folder of the tree was walked and read
  // whole, so records of folders it did not meet are gone.
  virtual void Finish(bool whole) = 0;
};

}  // namespace twinbay
