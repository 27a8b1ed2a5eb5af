// Filters, tags, the tagged counts and byte-size texts.
#pragma once

#include <string>
#include <vector>

#include "engine/file_entry.h"

namespace twinbay {

// Filter numbers of the file list.
enum FilterNumber : int {
  FilterAll = 0,
  FilterLocalToRemote = 1,
  FilterRemoteToLocal = 2,
  FilterNone = 3,
  FilterInStep = 4,
  FilterNeedsSync = 5,
  FilterOnePathOnly = 6,
  FilterBothPaths = 7,
};

// Whether an entry passes a filter; a number outside 0..7 passes nothing.
bool MatchesFilter(const CFileEntry& entry, int filterNumber);

// Tagging never touches an in-step entry.
void SetTagged(CFileEntry& entry, bool tagged);
// "Tag all files requiring synchronization" / "Untag all": every entry of every
// folder record, whatever the filter.
void TagAllFiles(CFolderCollection& collection);
void UntagAllFiles(CFolderCollection& collection);

// Counts and progress figures of one direction pair.
struct SyncTotals {
  int remoteToLocalSelected = 0;
  int localToRemoteSelected = 0;
  std::string text;
  long taggedUp = 0;
  long taggedDown = 0;
  long allUp = 0;
  long allDown = 0;
  double currentFileSize = 0;
  double currentFileDone = 0;
  double bytesUp = 0;
  double bytesDown = 0;
  double allDone = 0;

  void Reset();
  void SetDirections(bool up, bool down);
  void StartFile(double size);
  void AddDone(double bytes);
  // Whole percentages, 0 when there is nothing to divide by, never above 100.
  int FilePercent() const;
  double SelectedTotal() const;
  int TotalPercent() const;
  double AllDone() const { return allDone; }
};

// A whole percentage of done over total: 0 for a total of 0, kept within 0..100.
int Percent(double done, double total);

// A file side's size in bytes as a double (0 for a missing side).
double SideSize(const FileSide& side);

// Fills the tagged and all counts and the tagged byte sums; resets the rest.
void CountTagged(const CFolderCollection& collection, SyncTotals& totals, int filterNumber);

// How numbers are written: the decimal separator, the thousands separator, the
// size of a digit group (0: no grouping) and the number of decimals the locale
// shows by default.
struct NumberFormat {
  std::string decimalSeparator = ".";
  std::string thousandsSeparator = ",";
  int grouping = 3;
  int localeDecimals = 2;

  // The user's locale (LC_NUMERIC of the environment); "." and no grouping
  // where the locale says nothing.
  static NumberFormat FromUserLocale();
};

// The value with the locale's grouping, rounded to the locale's decimals, then
// cut to `decimals` digits after the separator (none at all for 0).
std::string FormatNumber(double value, int decimals, const NumberFormat& format);
std::string FormatNumber(double value, int decimals);

// "0KB ", "1KB ", "1,024KB ", "1.00MB ", "2.50GB ": always one trailing blank.
std::string FormatSize(double bytes, const NumberFormat& format);
std::string FormatSize(double bytes);

// The status texts of the two directions:
// "%ld of %ld file%s tagged (%s)" with the size trimmed of its blank.
std::string TaggedSummary(long tagged, long all, double bytes, const NumberFormat& format);

}  // namespace twinbay
