#include "support/runs.h"

#include <filesystem>

#include "engine/totals.h"
#include "fs/local_fs.h"

namespace twinbay::test {

void CompareInto(CFolderCollection& collection, IFileSystem& fs, const std::string& local, const std::string& remote,
                 bool ignoreSeconds, bool tag, IListAhead* ahead) {
  collection.Clear();
  CFolderComparer comparer;
  LocalFileSystem disk("/");
  comparer.BeginCompare(nullptr, &disk, &fs, &collection, local, remote, tag, ignoreSeconds, ahead);
  comparer.Run(local, remote, "*.*", true);
}

TransferOptions Directions(bool up, bool down) {
  TransferOptions o;
  o.localToRemote = up, o.remoteToLocal = down, o.ignoreSeconds = false;
  return o;
}

std::unique_ptr<CTransferJob> Transfer(CFolderCollection& collection, SyncTotals& totals, IFileSystem& remote,
                                       const TransferOptions& options, ITransferListener* listener) {
  CountTagged(collection, totals, options.filter);
  auto job = std::make_unique<CTransferJob>(collection, LocalFileSystem("/"), remote, totals, options, listener);
  job->RunTransfer();
  return job;
}

std::vector<std::string> TemporaryFiles(const std::string& root) {
  std::vector<std::string> out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root))
    if (e.path().filename().string().rfind(".twinbay-", 0) == 0) out.push_back(e.path().string());
  return out;
}

}  // namespace twinbay::test
