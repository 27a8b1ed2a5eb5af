// The tagged counts and byte sums of the two directions, and the progress
// figures of a transfer.
#pragma once

#include <string>

#include "engine/file_entry.h"
#include "engine/number_format.h"

namespace twinbay {

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

// The status texts of the two directions:
// "%ld of %ld file%s tagged (%s)" with the size trimmed of its blank.
std::string TaggedSummary(long tagged, long all, double bytes, const NumberFormat& format);

}  // namespace twinbay
