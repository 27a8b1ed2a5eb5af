#include "engine/stale_temps.h"

#include <algorithm>

#include "engine/patterns.h"

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

void CStaleTempSweep::Sweep(ScanList& listing, IFileSystem& fs, bool remote, const std::string& folder,
                            int64_t now) {
  const int64_t cutoff = now - kAge;
  std::erase_if(listing, [&](const FindData& fd) {
    if (fd.IsDirectory() || fd.lastWrite >= cutoff || !IsOwnTempName(fd.name) ||
        fd.name.find('/') != std::string::npos)
      return false;
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
