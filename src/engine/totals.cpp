#include "engine/totals.h"

#include <cstdio>

#include "engine/filters.h"
#include "engine/number_format.h"

namespace twinbay {

int Percent(double done, double total) {
  if (!(total > 0) || !(done > 0)) return 0;
  const double p = done * 100.0 / total;
  return p >= 100.0 ? 100 : static_cast<int>(p);
}

void SyncTotals::Reset() {
  text.clear();
  taggedUp = taggedDown = allUp = allDown = 0;
  conflicts = deletesUp = deletesDown = taggedDeletesUp = taggedDeletesDown = 0;
  currentFileSize = currentFileDone = bytesUp = bytesDown = allDone = 0;
}

void SyncTotals::SetDirections(bool up, bool down) {
  localToRemoteSelected = up ? 1 : 0;
  remoteToLocalSelected = down ? 1 : 0;
}

void SyncTotals::StartFile(double size) {
  currentFileSize = size;
  currentFileDone = 0;
}

void SyncTotals::AddDone(double bytes) {
  currentFileDone += bytes;
  allDone += bytes;
}

int SyncTotals::FilePercent() const { return Percent(currentFileDone, currentFileSize); }

double SyncTotals::SelectedTotal() const {
  return (localToRemoteSelected ? bytesUp : 0.0) + (remoteToLocalSelected ? bytesDown : 0.0);
}

int SyncTotals::TotalPercent() const { return Percent(allDone, SelectedTotal()); }

double SideSize(const FileSide& side) { return side && side->sizeKnown ? static_cast<double>(side->size) : 0.0; }

void CountFolderEntries(const CFolderRecord& record, SyncTotals& t, int filterNumber) {
  for (const auto& e : record.entries) {
    const bool tagged = e->tagged && MatchesFilter(*e, filterNumber);
    switch (e->state) {
      case CopyLocalToRemote:
        ++t.allUp;
        if (tagged) ++t.taggedUp, t.bytesUp += SideSize(e->local);
        break;
      case CopyRemoteToLocal:
        ++t.allDown;
        if (tagged) ++t.taggedDown, t.bytesDown += SideSize(e->remote);
        break;
      // A deletion where the folder is reached through a link is shown, and
      // never carried out: it counts as none to make.
      case DeleteRemote:
        ++t.deletesUp;
        if (tagged && !record.remoteThroughLink) ++t.taggedDeletesUp;
        break;
      case DeleteLocal:
        ++t.deletesDown;
        if (tagged && !record.localThroughLink) ++t.taggedDeletesDown;
        break;
      case Conflict: ++t.conflicts; break;
      default: break;
    }
  }
}

void CountTagged(const CFolderCollection& collection, SyncTotals& totals, int filterNumber) {
  totals.Reset();
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) CountFolderEntries(*collection.GetAt(i), totals, filterNumber);
}

void KeptTotals::Add(const SyncTotals& share, long sign) {
  totals_.taggedUp += sign * share.taggedUp;
  totals_.taggedDown += sign * share.taggedDown;
  totals_.allUp += sign * share.allUp;
  totals_.allDown += sign * share.allDown;
  totals_.conflicts += sign * share.conflicts;
  totals_.deletesUp += sign * share.deletesUp;
  totals_.deletesDown += sign * share.deletesDown;
  totals_.taggedDeletesUp += sign * share.taggedDeletesUp;
  totals_.taggedDeletesDown += sign * share.taggedDeletesDown;
  // Sizes are whole numbers of bytes: the sums stay exact.
  totals_.bytesUp += static_cast<double>(sign) * share.bytesUp;
  totals_.bytesDown += static_cast<double>(sign) * share.bytesDown;
}

void KeptTotals::CountAll(const CFolderCollection& collection, int filterNumber) {
  Clear();
  filter_ = filterNumber;
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) CountFolder(collection, *collection.GetAt(i));
}

void KeptTotals::CountFolder(const CFolderCollection& collection, const CFolderRecord& record) {
  auto guard = collection.Lock();
  if (shares_.size() <= record.index) shares_.resize(record.index + 1);
  Add(shares_[record.index], -1);
  shares_[record.index] = SyncTotals();
  CountFolderEntries(record, shares_[record.index], filter_);
  Add(shares_[record.index], 1);
}

void KeptTotals::Clear() {
  shares_.clear();
  totals_.Reset();
}

std::string TaggedSummary(long tagged, long all, double bytes, const NumberFormat& format) {
  std::string size = FormatSize(bytes, format);
  while (!size.empty() && size.back() == ' ') size.pop_back();
  char buf[128];
  std::snprintf(buf, sizeof buf, "%ld of %ld file%s tagged (", tagged, all, all == 1 ? "" : "s");
  return buf + size + ")";
}

}  // namespace twinbay
