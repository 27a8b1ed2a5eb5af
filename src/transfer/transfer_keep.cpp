// The safety net of a sync: what it deletes or replaces is kept, locally in
// the desktop's trash, on the server in a dated backup folder.

#include <ctime>

#include "fs/paths.h"
#include "fs/trash.h"
#include "transfer/transfer_impl.h"

namespace twinbay {

bool CTransferJob::KeepOld(IFileSystem& fs, Item& item, const std::string& path, bool link, std::string& keptAt,
                           bool& moved, std::string& error) {
  keptAt.clear();
  moved = false;
  if (item.down) {
    if (!options_.localTrash) return true;
    std::string why;
    keptAt = MoveToTrash(path, link, why, &moved);
    if (keptAt.empty()) error = "the file could not be put in the trash (" + why + "); it was left as it is";
    return !keptAt.empty();
  }
  if (options_.backupDir.empty()) return true;
  std::string root;
  {
    auto guard = collection_.Lock();
    root = collection_.GetAt(0)->remotePath;
  }
  std::string rel = path.substr(std::min(path.size(), root.size()));
  while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
  std::string why;
  std::string target;
  {
    std::lock_guard g(backupMutex_);
    if (backupRun_.empty()) {
      char when[32];
      const std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      std::strftime(when, sizeof when, "%Y-%m-%d_%H%M%S", &local);
      const std::string top =
          options_.backupDir[0] == '/' ? options_.backupDir : JoinRemotePath(root, options_.backupDir);
      backupRun_ = JoinRemotePath(top, when);
      backupRoot_ = root;
    }
    target = JoinRemotePath(backupRun_, rel);
    if (!BackupFolders(fs, target.substr(0, target.rfind('/')), why)) {
      error = "the file could not be moved to the backup folder (" + why + "); it was left as it is";
      return false;
    }
  }
  if (!fs.Rename(path, target)) {
    error = "the file could not be moved to the backup folder " + target + " (" + fs.LastError() +
            "); it was left as it is";
    return false;
  }
  moved = true;
  keptAt = target;
  return true;
}

// Makes a backup folder and its missing parents, under backupMutex_: the
// dated folder and those below it are this run's own (made without asking);
// the backup folder above them is looked for in its parent's listing first
// (asking after a missing name would draw a refusal).
bool CTransferJob::BackupFolders(IFileSystem& fs, const std::string& folder, std::string& error) {
  const auto within = [](const std::string& path, const std::string& top) {
    return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
           (path.size() == top.size() || top == "/" || path[top.size()] == '/');
  };
  if (folder.empty() || backupFolders_.count(folder) || within(backupRoot_, folder)) return true;
  const bool own = within(folder, backupRun_);
  std::string parent = folder.substr(0, folder.rfind('/'));
  if (parent.empty()) parent = "/";
  if (!BackupFolders(fs, parent, error)) return false;
  bool there = false;
  if (!there && !own) {
    ScanList listing;
    if (!fs.List(RemoteFolderKey(parent), listing)) {
      error = "cannot list " + parent + ": " + fs.LastError();
      return false;
    }
    for (const FindData& f : listing) there = there || (f.name == PathName(folder) && f.IsDirectory());
  }
  if (!there && !fs.MakeFolder(folder)) {
    error = "cannot make the folder " + folder + ": " + fs.LastError();
    return false;
  }
  backupFolders_.insert(folder);
  return true;
}

void CTransferJob::PutBack(IFileSystem& fs, Item& item, const std::string& path, const std::string& keptAt,
                           bool moved) {
  if (keptAt.empty()) return;
  if (item.down) TakeBackFromTrash(keptAt, path, moved);
  else if (moved) fs.Rename(keptAt, path);
}

}  // namespace twinbay
