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

void CountTagged(const CFolderCollection& collection, SyncTotals& totals, int filterNumber) {
  totals.Reset();
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    for (const auto& e : collection.GetAt(i)->entries) {
      if (e->state == CopyLocalToRemote) {
        ++totals.allUp;
        if (e->tagged && MatchesFilter(*e, filterNumber)) {
          ++totals.taggedUp;
          totals.bytesUp += SideSize(e->local);
        }
      } else if (e->state == CopyRemoteToLocal) {
        ++totals.allDown;
        if (e->tagged && MatchesFilter(*e, filterNumber)) {
          ++totals.taggedDown;
          totals.bytesDown += SideSize(e->remote);
        }
      }
    }
  }
}

KeptTotals::Share KeptTotals::Count(const CFolderRecord& record) const {
  Share s;
  for (const auto& e : record.entries) {
    if (e->state == CopyLocalToRemote) {
      ++s.allUp;
      if (e->tagged && MatchesFilter(*e, filter_)) {
        ++s.taggedUp;
        s.bytesUp += SideSize(e->local);
      }
    } else if (e->state == CopyRemoteToLocal) {
      ++s.allDown;
      if (e->tagged && MatchesFilter(*e, filter_)) {
        ++s.taggedDown;
        s.bytesDown += SideSize(e->remote);
      }
    }
  }
  return s;
}

void KeptTotals::Add(const Share& share, long sign) {
  totals_.taggedUp += sign * share.taggedUp;
  totals_.taggedDown += sign * share.taggedDown;
  totals_.allUp += sign * share.allUp;
  totals_.allDown += sign * share.allDown;
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
  shares_[record.index] = Count(record);
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
