// A compare and a transfer as most tests run them: the whole tree, every
// file type, times compared to the second.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/comparer.h"
#include "net/file_system.h"
#include "net/transfer.h"

namespace twinbay::test {

// Empties `collection` and compares the local folder `local` with `remote`
// as `fs` lists it (with `ahead` told what the walk lists next, when given),
// sub-folders included, tagging what differs (when `tag`).
void CompareInto(CFolderCollection& collection, IFileSystem& fs, const std::string& local, const std::string& remote,
                 bool ignoreSeconds = false, bool tag = true, IListAhead* ahead = nullptr);

// Copying in the directions asked, times compared to the second.
TransferOptions Directions(bool up, bool down);

// Counts the tagged entries into `totals` and copies them over `remote`; the
// finished job, for its outcomes (`remote` must outlive it).
std::unique_ptr<CTransferJob> Transfer(CFolderCollection& collection, SyncTotals& totals, IFileSystem& remote,
                                       const TransferOptions& options, ITransferListener* listener = nullptr);

// Every file or folder below `root` whose name marks it as a transfer's
// temporary file.
std::vector<std::string> TemporaryFiles(const std::string& root);

}  // namespace twinbay::test
