// Tagging the entries that are to be copied.
#pragma once

#include "engine/file_entry.h"

namespace twinbay {

// Tagging never touches an in-step entry.
void SetTagged(CFileEntry& entry, bool tagged);
// "Tag all files requiring synchronization" / "Untag all": every entry of every
// folder record, whatever the filter.
void TagAllFiles(CFolderCollection& collection);
void UntagAllFiles(CFolderCollection& collection);

}  // namespace twinbay
