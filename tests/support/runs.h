// A compare and a transfer as most tests run them: the whole tree, every file
// type, times compared to the second.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/comparer.h"
#include "fs/file_system.h"
#include "transfer/transfer.h"

namespace twinbay::test {

// Empties `collection` and compares `local` with `remote` as `fs` lists it
// (telling `ahead` what the walk lists next), tagging what differs (`tag`).
void CompareInto(CFolderCollection& collection, IFileSystem& fs, const std::string& local, const std::string& remote,
                 bool ignoreSeconds = false, bool tag = true, IListAhead* ahead = nullptr);
TransferOptions Directions(bool up, bool down);
// Counts the tagged entries into `totals` and copies them over `remote`
// (which must outlive the finished job returned).
std::unique_ptr<CTransferJob> Transfer(CFolderCollection& collection, SyncTotals& totals, IFileSystem& remote,
                                       const TransferOptions& options, ITransferListener* listener = nullptr);
// The files and folders below `root` named as a transfer's temporary files.
std::vector<std::string> TemporaryFiles(const std::string& root);

}  // namespace twinbay::test
