// The tagged counts and byte sums of the two directions, and the progress
// figures of a transfer.
#pragma once

#include <string>
#include <vector>

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
  // From the last synchronised state: entries in conflict, and deletions
  // that follow one on the other side (up: on the server; down: locally),
  // all and tagged.
  long conflicts = 0;
  long deletesUp = 0, deletesDown = 0;
  long taggedDeletesUp = 0, taggedDeletesDown = 0;
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

// A file side's size in bytes as a double (0 for a missing side and for one
// whose listing gave no byte count).
double SideSize(const FileSide& side);

// Adds one folder's tagged and all counts and tagged byte sums to `totals`.
void CountFolderEntries(const CFolderRecord& record, SyncTotals& totals, int filterNumber);
// Fills the tagged and all counts and the tagged byte sums; resets the rest.
void CountTagged(const CFolderCollection& collection, SyncTotals& totals, int filterNumber);

// The figures of CountTagged for one filter, kept up to date folder by folder
// instead of counted over the whole collection each time they are shown: a
// folder whose entries, states or tags changed is counted again alone, and
// only a new filter (or tagging everything) counts every folder.
class KeptTotals {
 public:
  // Counts every folder again with this filter.
  void CountAll(const CFolderCollection& collection, int filterNumber);
  // Counts one folder again (it is new, or its entries, states or tags changed).
  void CountFolder(const CFolderCollection& collection, const CFolderRecord& record);
  // No folders (the collection was emptied).
  void Clear();
  // Tagged and all counts and tagged bytes, as CountTagged gives them.
  const SyncTotals& Totals() const { return totals_; }

 private:
  void Add(const SyncTotals& share, long sign);

  int filter_ = 0;
  std::vector<SyncTotals> shares_;  // by record index
  SyncTotals totals_;
};

// The status texts of the two directions:
// "%ld of %ld file%s tagged (%s)" with the size trimmed of its blank.
std::string TaggedSummary(long tagged, long all, double bytes, const NumberFormat& format);

}  // namespace twinbay
