#include "engine/stale_temps.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/state_rules.h"
#include "fs/patterns.h"

namespace twinbay {

void CStaleTempSweep::Begin(bool remove) {
  remove_ = remove;
  removed_.store(0);
  std::lock_guard g(mutex_);
  kept_.clear();
}

std::vector<StaleTemp> CStaleTempSweep::Found() const {
  std::lock_guard g(mutex_);
  return kept_;
}

void CStaleTempSweep::Sweep(ScanList& listing, const ScanList* other, IFileSystem& fs, bool remote,
                            const std::string& folder, int64_t now, bool ignoreSeconds, std::vector<FindData>& kept) {
  const int64_t cutoff = now - kAge;
  // The temporary names under which a copy from the other side would be
  // continued: each large file there that this side does not hold as it is.
  std::map<std::string, const FindData*> here;
  for (const FindData& fd : listing) here.emplace(FoldedName(fd.name), &fd);
  std::set<std::string> resumable;
  for (const FindData& f : other ? *other : ScanList()) {
    if (f.IsDirectory() || !f.sizeKnown || f.size < kResumeMinimum) continue;
    const auto it = here.find(FoldedName(f.name));
    const FindData* mine = it == here.end() ? nullptr : it->second;
    if (mine && mine->size == f.size &&
        CompareFileTimes(mine->lastWrite, mine->precision, f.lastWrite, f.precision, SidesScope(ignoreSeconds)) == 0)
      continue;  // in step: nothing to continue
    resumable.insert(FoldedName(ResumableTempName(mine ? mine->name : f.name, f.size, f.lastWrite)));
  }
  std::erase_if(listing, [&](const FindData& fd) {
    if (fd.IsDirectory() || !IsOwnTempName(fd.name) || fd.name.find('/') != std::string::npos) return false;
    if (!other || resumable.count(FoldedName(fd.name)) || fd.lastWrite >= cutoff) {
      kept.push_back(fd);
      return false;
    }
    if (!remove_) {
      std::lock_guard g(mutex_);
      kept_.push_back({remote, folder + fd.name});
      return true;
    }
    if (!fs.Remove(folder + fd.name)) return false;
    ++removed_;
    return true;
  });
}

}  // namespace twinbay
