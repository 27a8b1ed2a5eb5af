// The transfer's deletions: one side of a file deleted only while it is as
// the compare listed it, the folders a run emptied removed, and the delete
// of chosen entries (Delete Selected Files).
#include <algorithm>

#include "fs/local_scan.h"
#include "fs/paths.h"
#include "engine/state_rules.h"
#include "transfer/transfer_impl.h"

namespace twinbay {

bool CTransferJob::DeleteSide(IFileSystem& fs, Item& item, TransferOutcome& outcome) {
  outcome.deletion = true;
  std::optional<FindData> listed;
  {
    auto guard = collection_.Lock();
    listed = item.down ? item.entry->local : item.entry->remote;
  }
  const std::string& path = item.down ? outcome.localPath : outcome.remotePath;
  {
    std::lock_guard g(totalsMutex_);
    totals_.StartFile(0);
    totals_.text = listed ? listed->name : std::string();
  }
  Post(true);
  std::string error;
  // Kept (the trash, the backup folder) rather than destroyed where the net
  // is on; a file that cannot be kept stays.
  const auto keep = [&](std::string& why) {
    bool moved = false;
    if (!KeepOld(fs, item, path, false, outcome.keptAt, moved, why)) return false;
    if (moved) return true;
    if (fs.Remove(path)) return true;
    why = fs.LastError();
    return false;
  };
  if (!listed || !DeleteListedFile(fs, path, *listed, error, keep)) {
    outcome.error = "not deleted: " + (listed ? error : std::string("nothing listed"));
    return false;
  }
  return true;
}

bool DeleteListedFile(IFileSystem& fs, const std::string& path, const FindData& listed, std::string& error,
                      const std::function<bool(std::string&)>& remove) {
  // A file changed since it was listed is not deleted: the change would be
  // lost with it.
  FindData now;
  if (!fs.Stat(path, now)) {
    error = "it could not be looked at again: " + fs.LastError();
    return false;
  }
  if (now.IsDirectory() || SideChanged(now, {listed.size, listed.lastWrite})) {
    error = "it changed since the compare";
    return false;
  }
  if (remove) return remove(error);
  if (!fs.Remove(path)) {
    error = fs.LastError();
    return false;
  }
  return true;
}

void CTransferJob::RemoveEmptiedFolders() {
  std::vector<CFolderRecord*> records;
  {
    auto guard = collection_.Lock();
    for (size_t i = 0; i < collection_.GetCount(); ++i) records.push_back(collection_.GetAt(i));
  }
  // Which folders this run deleted in, and how many sub-folders each still
  // has; children come after their parent in the collection, so going
  // backwards meets every folder after its sub-folders.
  std::vector<char> emptied(records.size(), 0);
  std::vector<int> children(records.size(), 0);
  bool any = options_.mirror;
  for (const Item& item : items_)
    if (item.remove && item.started && !item.entry) emptied[item.record->index] = 1, any = true;
  if (!any) return;
  for (CFolderRecord* r : records)
    if (r->parent) ++children[r->parent->index];
  FileSystemPool::Lease remote;
  for (size_t i = records.size(); i-- > 1;) {
    CFolderRecord& r = *records[i];
    const bool remoteSide = r.folderClass == FolderRemoteOnly;
    // A folder reached through a link (or a link itself) is never removed:
    // its files are the link target's.
    if ((!remoteSide && r.folderClass != FolderLocalOnly) || children[i] > 0 || (!emptied[i] && !options_.mirror) ||
        !(remoteSide ? options_.localToRemote : options_.remoteToLocal) || r.ThroughLink(remoteSide))
      continue;
    bool empty;
    {
      auto guard = collection_.Lock();
      empty = !r.UnderIncomplete() && std::none_of(r.entries.begin(), r.entries.end(), [&](auto& e) {
        return remoteSide ? e->remote.has_value() : e->local.has_value();
      });
    }
    if (!empty) continue;
    if (remoteSide && !remote && !(remote = pool_.Acquire())) return;
    IFileSystem& fs = remoteSide ? *remote : *local_;
    TransferOutcome outcome;
    outcome.deletion = true;
    outcome.upload = remoteSide;
    outcome.localPath = r.localPath;
    outcome.remotePath = r.remotePath;
    // The compare saw only the chosen file types: a folder that still holds
    // anything (files of other types, or new ones, or names the listing left
    // out) is left, and never asked to be removed (the server would refuse).
    ScanList left;
    if (!fs.List(remoteSide ? RemoteFolderKey(r.remotePath) : r.localPath, left)) {
      outcome.error = "the emptied folder was not removed: it could not be listed again: " + fs.LastError();
    } else if (!left.empty() || !fs.TakeLeftOut().empty()) {
      continue;
    } else {
      outcome.ok = fs.RemoveFolder(remoteSide ? r.remotePath : r.localPath);
      if (!outcome.ok) outcome.error = "the emptied folder was not removed: " + fs.LastError();
      else if (r.parent) --children[r.parent->index], emptied[r.parent->index] = 1;
    }
    folderOutcomes_.push_back(std::move(outcome));
  }
}

DeleteCounts DeleteEntries(CFolderCollection& collection, CFolderRecord& record,
                           const std::vector<CFileEntry*>& entries, bool deleteLocal, bool deleteRemote,
                           IFileSystem* local, IFileSystem* remote, bool ignoreSeconds, IFolderNotify* notify,
                           ISyncRecorder* recorder) {
  DeleteCounts counts;
  {
    // What is known of a folder that could not be read whole may be wrong:
    // nothing in it is deleted.
    auto guard = collection.Lock();
    if (record.incomplete) {
      counts.failed = static_cast<int>(entries.size());
      return counts;
    }
  }
  // Nor on a side where the folder is reached through a link: what goes
  // there goes wherever the link leads.
  const bool localBarred = deleteLocal && record.localThroughLink;
  const bool remoteBarred = deleteRemote && record.remoteThroughLink;
  deleteLocal = deleteLocal && !localBarred;
  deleteRemote = deleteRemote && !remoteBarred;
  for (CFileEntry* entry : entries) counts.failed += (localBarred && entry->local) + (remoteBarred && entry->remote);
  for (CFileEntry* entry : entries) {
    const int before = counts.localDeleted + counts.remoteDeleted;
    const std::string name = entry->Name();
    std::string error;
    if (deleteLocal && entry->local) {
      // Each side's own name: "a.txt" here may be "A.TXT" on the server.
      if (local &&
          DeleteListedFile(*local, JoinLocalPath(record.localPath, entry->local->name), *entry->local, error)) {
        auto guard = collection.Lock();
        entry->local.reset();
        ++counts.localDeleted;
      } else {
        ++counts.failed;
      }
    }
    if (deleteRemote && entry->remote) {
      const std::string path = JoinRemotePath(record.remotePath, entry->remote->name);
      if (remote && (DeleteListedFile(*remote, path, *entry->remote, error) ||
                     (remote->LostConnection() && remote->Reconnect() &&
                      DeleteListedFile(*remote, path, *entry->remote, error)))) {
        auto guard = collection.Lock();
        entry->remote.reset();
        ++counts.remoteDeleted;
      } else {
        ++counts.failed;
      }
    }
    const bool deleted = counts.localDeleted + counts.remoteDeleted > before;
    if (deleted && recorder) recorder->Deleted(record, name);
    {
      auto guard = collection.Lock();
      if (entry->local || entry->remote) {
        // Only a side that went changes the class: an entry whose deletion
        // failed keeps it (a deletion that follows the other side's is never
        // turned into a copy back).
        if (deleted) entry->Reclassify(ignoreSeconds);
      } else {
        for (auto it = record.entries.begin(); it != record.entries.end(); ++it)
          if (it->get() == entry) {
            record.entries.erase(it);
            break;
          }
      }
    }
    if (notify) notify->FolderChanged(&record);
  }
  return counts;
}

}  // namespace twinbay
