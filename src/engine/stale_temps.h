// The temporary files that interrupted transfers left behind: a step of the
// compare of its own, run on each folder listing read whole, which takes them
// out of the listing and removes them (only when asked: before a real sync)
// or keeps their names for later.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fs/find_data.h"
#include "fs/file_system.h"

namespace twinbay {

// A stale temporary file: which side, and its full path as that side's file
// system names it.
struct StaleTemp {
  bool remote;
  std::string path;
};

class CStaleTempSweep {
 public:
  // A temporary file of the transfer untouched for this long is the remains
  // of a run that ended abruptly (a crash, a power cut).
  static constexpr int64_t kAge = kTicksPerDay;

  // Forgets what earlier sweeps found; `remove`: the sweeps remove what they
  // find, else they only name it.
  void Begin(bool remove);
  // Takes the stale temporary files out of one folder's listing of `fs`
  // (`folder` ends in "/"); `now` is the time in UTC ticks. A file that
  // cannot be removed stays in the listing. Kept, at any age, and appended to
  // `kept`: a broken copy's file that a later copy continues (one of a large
  // file of `other`, the other side's listing of the folder, that this side
  // does not hold as it is); with `other` null (not read whole) none can be
  // told apart, so none goes. Too recent ones are kept too.
  void Sweep(ScanList& listing, const ScanList* other, IFileSystem& fs, bool remote, const std::string& folder,
             int64_t now, bool ignoreSeconds, std::vector<FindData>& kept);
  // How many the sweeps removed.
  int Removed() const { return removed_.load(); }
  // Those they found and did not remove.
  std::vector<StaleTemp> Found() const;

 private:
  bool remove_ = false;
  std::atomic<int> removed_{0};
  mutable std::mutex mutex_;
  std::vector<StaleTemp> kept_;
};

}  // namespace twinbay
