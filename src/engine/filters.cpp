#include "engine/filters.h"

namespace twinbay {

bool MatchesFilter(const CFileEntry& entry, int filterNumber) {
  switch (filterNumber) {
    case FilterAll: return true;
    case FilterLocalToRemote: return entry.state == CopyLocalToRemote;
    case FilterRemoteToLocal: return entry.state == CopyRemoteToLocal;
    case FilterInStep: return entry.state == InStep;
    case FilterNeedsSync: return IsActionState(entry.state);
    case FilterOnePathOnly: return entry.local.has_value() != entry.remote.has_value();
    case FilterBothPaths: return entry.local.has_value() && entry.remote.has_value();
    case FilterConflicts: return entry.state == Conflict;
    case FilterDeletedOneSide: return IsDeleteState(entry.state);
    default: return false;
  }
}

}  // namespace twinbay
