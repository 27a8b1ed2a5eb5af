// Tagging the entries that are to be copied.
#pragma once

#include "engine/file_entry.h"

namespace twinbay {

// Tagging touches only entries a sync acts on (copies and deletions): never
// an in-step entry or a conflict.
void SetTagged(CFileEntry& entry, bool tagged);
// Settles a conflict (or overrides any difference) by keeping one side: the
// entry becomes a copy from that side, or the deletion of the other side
// where the kept side is gone, and is tagged. False for an in-step entry or
// one whose state is unknown.
bool KeepSide(CFileEntry& entry, bool keepLocal);
// "Tag all files requiring synchronization" / "Untag all": every entry of every
// folder record, whatever the filter.
void TagAllFiles(CFolderCollection& collection);
void UntagAllFiles(CFolderCollection& collection);

}  // namespace twinbay
