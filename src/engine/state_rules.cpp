#include "engine/state_rules.h"

#include <algorithm>

#include "engine/file_entry.h"

namespace twinbay {

bool SideChanged(const FindData& now, const RecordedSide& then) {
  if (now.sizeKnown && now.size != then.size) return true;
  // The record was read from the same side, at the same precision.
  return CompareFileTimes(now.lastWrite, now.precision, then.time, now.precision, TimeScope::SameSide) != 0;
}

bool SidesAlike(const FindData& local, const FindData& remote, bool ignoreSeconds) {
  return (!remote.sizeKnown || local.size == remote.size) &&
         CompareFileTimes(local.lastWrite, local.precision, remote.lastWrite, remote.precision,
                          SidesScope(ignoreSeconds)) == 0;
}

RecordedClass ClassifyWithRecord(const FindData* local, const FindData* remote, const RecordedPair* record,
                                 bool ignoreSeconds) {
  if (!record) return RecordedClass::AsToday;
  if (!local && !remote) return RecordedClass::Gone;
  // Each side against its own record, at its own precision: the compare's
  // tolerance (3 seconds, or the minute) is only for one side's time
  // against the other's, so a same-size edit within it is still an edit.
  const bool localChanged = local && SideChanged(*local, record->local);
  const bool remoteChanged = remote && SideChanged(*remote, record->remote);
  if (!local) return remoteChanged ? RecordedClass::Conflict : RecordedClass::DeletedLocally;
  if (!remote) return localChanged ? RecordedClass::Conflict : RecordedClass::DeletedRemotely;
  // Changed on both sides and alike now: in step (the same edit made on
  // both, or a copy made by another tool).
  if (localChanged && remoteChanged)
    return SidesAlike(*local, *remote, ignoreSeconds) ? RecordedClass::InStep : RecordedClass::Conflict;
  if (localChanged) return RecordedClass::CopyUp;
  if (remoteChanged) return RecordedClass::CopyDown;
  return RecordedClass::InStep;
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
