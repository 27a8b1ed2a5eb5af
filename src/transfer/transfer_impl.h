// The transfer job's parts shared by the files that implement it: the items
// and folders of a run, and helpers for errors and temporary names.
#pragma once

#include <optional>
#include <string>

#include "transfer/transfer.h"

namespace twinbay {

// Downloads this small are read ahead together, this many to a connection
// at most (their bytes are held until copied); uploads this small are
// written together, this many at most, their bytes held only up to the
// batch's bound.
constexpr uint64_t kSmallFile = 64 * 1024;
constexpr size_t kReadAheadFiles = 16;
constexpr size_t kBatchFiles = 64;
constexpr uint64_t kBatchBytes = 1 << 20;

constexpr uint32_t kAttrReadOnly = 0x01;

// The size of a file: asked for where the file system can tell it, else taken
// from its entry.
bool HeldSize(IFileSystem& fs, const std::string& path, uint64_t& size);
// Removes what a failed copy left, logging in again when the failure (or an
// abort) cost the connection.
bool RemoveLeftover(IFileSystem& fs, const std::string& path);

// What failed, with the text of errno.
std::string SysError(const std::string& what);
std::string RandomText(size_t n, bool hex);

// One file to copy, in the order of the entries in the collection.
struct CTransferJob::Item {
  CFolderRecord* record = nullptr;
  CFileEntry* entry = nullptr;
  size_t folder = 0;  // index into folders_
  bool down = false;     // a download, or a deletion of the local side
  bool remove = false;   // a deletion, not a copy
  bool small = false;    // a download small enough to be read ahead with others
  bool smallUp = false;  // an upload small enough to be written with others
  uint64_t listed = 0;   // its size as the compare listed it (a small upload's)
  bool started = false;
  bool retried = false;  // tried again after its connection broke
  bool lost = false;     // the connection broke under the copy
  uint64_t counted = 0;  // bytes of this copy added to the totals
  uint64_t sent = 0;     // bytes the destination holds (those an earlier run left included)
  uint64_t resumedFrom = 0;  // the copy continued what a broken one left, from this byte
  bool partBegun = false;    // its temporary file to continue was begun in this run
  bool partKept = false;     // the copy broke and left that file for the next try
  bool timeSet = false;  // the destination took the source's time (as far as it said)
  std::chrono::steady_clock::time_point began;  // when its bytes began to go
  int64_t sourceTime = 0;  // the time the copy was given
};

// The two ends of one copy: from `src` to `dst`, whichever way it goes.
struct CTransferJob::Ends {
  IFileSystem& src;
  IFileSystem& dst;
  std::string srcPath, dstPath;
  std::string folder;  // the destination's folder
  int64_t time = 0;    // the source's last-write time
  uint64_t size = 0;   // the source's size as the compare listed it
  bool sizeKnown = true;
  std::optional<FindData> old;  // the destination as the compare found it
  uint16_t srcMode = kNoMode;   // the source's permission bits, where known
};

// Adds a warning when a destination that took `time` without error (`set`)
// shows another one `now`: it ignored the time or moved it.
void WarnIfTimeNotKept(bool set, bool server, const FindData& now, int64_t time, TransferOutcome& outcome);

// A folder record with files to copy.
struct CTransferJob::Folder {
  CFolderRecord* record = nullptr;
  size_t count = 0;  // items in all
  size_t left = 0;   // items not finished yet
  bool localReady = false;
  bool finished = false;
  std::vector<size_t> uploaded;  // items uploaded, for the re-listing
  // The latest listing of the server folder made before a rename (under
  // listingsMutex_): when it began, and whether one is under way.
  ScanList listing;
  std::chrono::steady_clock::time_point listingBegan{}, listingUnderWay{};
  bool listed = false, listingBusy = false;
};

}  // namespace twinbay
