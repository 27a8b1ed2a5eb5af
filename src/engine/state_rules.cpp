#include "engine/state_rules.h"

#include <algorithm>

#include "engine/file_entry.h"

namespace twinbay {

bool SideChanged(const FindData& now, const RecordedSide& then) {
  if (now.sizeKnown && now.size != then.size) return true;
  // The record was read from the same side, at the same precision.
  return CompareFileTimes(now.lastWrite, now.precision, then.time, now.precision, TimeScope::SameSide) != 0;
}

std::string FoldedName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string RecordedFolder(const CFolderRecord& record) {
  std::string path;
  for (const CFolderRecord* r = &record; r && r->parent; r = r->parent)
    path = path.empty() ? FoldedName(r->name) : FoldedName(r->name) + "/" + path;
  return path;
}

}  // namespace twinbay
