// The filters of the file list: which entries each one shows.
#pragma once

#include "engine/file_entry.h"

namespace twinbay {

// Filter numbers of the file list.
enum FilterNumber : int {
  FilterAll = 0,
  FilterLocalToRemote = 1,
  FilterRemoteToLocal = 2,
  FilterNone = 3,
  FilterInStep = 4,
  FilterNeedsSync = 5,
  FilterOnePathOnly = 6,
  FilterBothPaths = 7,
  FilterConflicts = 8,
  FilterDeletedOneSide = 9,
};

// Whether an entry passes a filter; a number outside 0..9 passes nothing.
bool MatchesFilter(const CFileEntry& entry, int filterNumber);

}  // namespace twinbay
