#include "engine/tags.h"

namespace twinbay {

void SetTagged(CFileEntry& entry, bool tagged) {
  if (IsActionState(entry.state)) entry.tagged = tagged ? 1 : 0;
}

bool KeepSide(CFileEntry& entry, bool keepLocal) {
  if (entry.state == InStep || entry.state == StateUnknown) return false;
  const bool kept = keepLocal ? entry.local.has_value() : entry.remote.has_value();
  entry.state = keepLocal ? (kept ? CopyLocalToRemote : DeleteRemote) : (kept ? CopyRemoteToLocal : DeleteLocal);
  entry.tagged = true;
  return true;
}

static void TagEvery(CFolderCollection& collection, bool tagged) {
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    CFolderRecord* record = collection.GetAt(i);
    if (record->incomplete) continue;  // nothing in it may be copied
    for (auto& e : record->entries) SetTagged(*e, tagged);
  }
}

void TagAllFiles(CFolderCollection& collection) { TagEvery(collection, true); }
void UntagAllFiles(CFolderCollection& collection) { TagEvery(collection, false); }

}  // namespace twinbay
