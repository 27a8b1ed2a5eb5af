#include "engine/filters.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <langinfo.h>
#include <locale.h>

namespace twinbay {

bool MatchesFilter(const CFileEntry& entry, int filterNumber) {
  switch (filterNumber) {
    case FilterAll: return true;
    case FilterLocalToRemote: return entry.state == CopyLocalToRemote;
    case FilterRemoteToLocal: return entry.state == CopyRemoteToLocal;
    case FilterInStep: return entry.state == InStep;
    case FilterNeedsSync: return entry.state == CopyLocalToRemote || entry.state == CopyRemoteToLocal;
    case FilterOnePathOnly: return entry.local.has_value() != entry.remote.has_value();
    case FilterBothPaths: return entry.local.has_value() && entry.remote.has_value();
    default: return false;
  }
}

void SetTagged(CFileEntry& entry, bool tagged) {
  if (entry.state != InStep) entry.tagged = tagged ? 1 : 0;
}

static void TagEvery(CFolderCollection& collection, bool tagged) {
  auto guard = collection.Lock();
  for (size_t i = 0; i < collection.GetCount(); ++i) {
    CFolderRecord* record = collection.GetAt(i);
    if (record->incomplete) continue;  // nothing in it may be copied
    for (auto& e : record->entries) SetTagged(*e, tagged);
  }
}

void TagAllFiles(CFolderCollection& collection) { TagEvery(collection, true); }
void UntagAllFiles(CFolderCollection& collection) { TagEvery(collection, false); }

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

double SideSize(const FileSide& side) { return side ? static_cast<double>(side->size) : 0.0; }

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

NumberFormat NumberFormat::FromUserLocale() {
  NumberFormat f;
  f.thousandsSeparator.clear();
  f.grouping = 0;
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return f;
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  const char* thousands = nl_langinfo_l(THOUSEP, loc);
  if (radix && *radix) f.decimalSeparator = radix;
  if (thousands && *thousands) {
    f.thousandsSeparator = thousands;
    f.grouping = 3;
  }
  freelocale(loc);
  return f;
}

std::string FormatNumber(double value, int decimals, const NumberFormat& format) {
  if (!std::isfinite(value)) return "0";
  const int shown = format.localeDecimals < 0 ? 0 : format.localeDecimals;
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", shown, value);
  std::string digits = buf;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.erase(0, 1);
  }
  const size_t dot = digits.find('.');
  std::string whole = digits.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? std::string() : digits.substr(dot + 1);

  std::string grouped;
  if (format.grouping > 0 && !format.thousandsSeparator.empty()) {
    const size_t n = whole.size();
    for (size_t i = 0; i < n; ++i) {
      grouped += whole[i];
      const size_t left = n - 1 - i;
      if (left > 0 && left % static_cast<size_t>(format.grouping) == 0) grouped += format.thousandsSeparator;
    }
  } else {
    grouped = whole;
  }
  std::string out = negative && (whole != "0" || fraction.find_first_not_of('0') != std::string::npos)
                        ? "-" + grouped
                        : grouped;
  if (decimals > 0 && !fraction.empty())
    out += format.decimalSeparator + fraction.substr(0, static_cast<size_t>(decimals));
  return out;
}

std::string FormatNumber(double value, int decimals) {
  return FormatNumber(value, decimals, NumberFormat::FromUserLocale());
}

std::string FormatSize(double bytes, const NumberFormat& format) {
  const double kb = bytes / 1024, mb = kb / 1024, gb = mb / 1024;
  if (gb >= 1) return FormatNumber(gb, 2, format) + "GB ";
  if (mb >= 1) return FormatNumber(mb, 2, format) + "MB ";
  if (kb > 0) return FormatNumber(std::ceil(kb), 0, format) + "KB ";
  return "0KB ";
}

std::string FormatSize(double bytes) { return FormatSize(bytes, NumberFormat::FromUserLocale()); }

std::string TaggedSummary(long tagged, long all, double bytes, const NumberFormat& format) {
  std::string size = FormatSize(bytes, format);
  while (!size.empty() && size.back() == ' ') size.pop_back();
  char buf[128];
  std::snprintf(buf, sizeof buf, "%ld of %ld file%s tagged (", tagged, all, all == 1 ? "" : "s");
  return buf + size + ")";
}

}  // namespace twinbay
