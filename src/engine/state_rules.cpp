#include "engine/state_rules.h"

#include <algorithm>

#include "engine/file_entry.h"

namespace twinbay {
namespace {

constexpr int64_t kTolerance = 3 * kTicksPerSecond;

int64_t UnitOf(TimePrecision p) {
  switch (p) {
    case TimePrecision::Day: return kTicksPerDay;
    case TimePrecision::Minutes: return kTicksPerMinute;
    default: return kTicksPerSecond;
  }
}

int64_t Floor(int64_t ticks, int64_t unit) {
  const int64_t r = ticks % unit;
  return r < 0 ? ticks - r - unit : ticks - r;
}

}  // namespace

bool SideChanged(const FindData& now, const RecordedSide& then, bool ignoreSeconds) {
  if (now.sizeKnown && now.size != then.size) return true;
  const int64_t unit = std::max(ignoreSeconds ? kTicksPerMinute : kTicksPerSecond, UnitOf(now.precision));
  const int64_t a = Floor(now.lastWrite, unit), b = Floor(then.time, unit);
  return (a > b ? a - b : b - a) >= kTolerance;
}

RecordedClass ClassifyWithRecord(const FindData* local, const FindData* remote, const RecordedPair* record,
                                 bool ignoreSeconds) {
  if (!record) return RecordedClass::AsToday;
  if (!local && !remote) return RecordedClass::Gone;
  // Two sides alike now are in step whatever happened before (the same edit
  // made on both, or a copy made by another tool).
  if (local && remote && !SideChanged(*local, {remote->size, remote->lastWrite}, ignoreSeconds) &&
      (!remote->sizeKnown || local->size == remote->size) &&
      !SideChanged(*remote, {local->size, local->lastWrite}, ignoreSeconds))
    return RecordedClass::InStep;
  const bool localChanged = local && SideChanged(*local, record->local, ignoreSeconds);
  const bool remoteChanged = remote && SideChanged(*remote, record->remote, ignoreSeconds);
  if (!local) return remoteChanged ? RecordedClass::Conflict : RecordedClass::DeletedLocally;
  if (!remote) return localChanged ? RecordedClass::Conflict : RecordedClass::DeletedRemotely;
  if (localChanged && remoteChanged) return RecordedClass::Conflict;
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
