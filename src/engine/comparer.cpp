#include "engine/comparer.h"

#include <algorithm>

#include "engine/patterns.h"

namespace twinbay {
namespace {

int64_t FloorTo(int64_t ticks, int64_t unit) {
  int64_t q = ticks / unit;
  if (ticks % unit != 0 && ticks < 0) --q;
  return q * unit;
}

int64_t UnitFor(TimePrecision p) {
  switch (p) {
    case TimePrecision::Day: return kTicksPerDay;
    case TimePrecision::Minutes: return kTicksPerMinute;
    default: return kTicksPerSecond;
  }
}

}  // namespace

bool LocalFolderLister::ListFolder(const std::string& path, ScanList& out) {
  std::string p = root_;
  while (!p.empty() && p.back() == '/') p.pop_back();
  if (!path.empty() && path[0] != '/') p += '/';
  p += path;
  return ListLocalFolder(p, out);
}

int32_t CFolderComparer::CompareTimes(const FileSide& local, const FileSide& remote, bool ignoreSeconds) {
  return CompareTimes(local ? &*local : nullptr, remote ? &*remote : nullptr, ignoreSeconds);
}

int32_t CFolderComparer::CompareTimes(const FindData* local, const FindData* remote, bool ignoreSeconds) {
  if (!local && !remote) return InStep;
  if (!local) return CopyRemoteToLocal;
  if (!remote) return CopyLocalToRemote;
  int64_t unit = ignoreSeconds ? kTicksPerMinute : kTicksPerSecond;
  unit = std::max({unit, UnitFor(local->precision), UnitFor(remote->precision)});
  const int64_t l = FloorTo(local->lastWrite, unit);
  const int64_t r = FloorTo(remote->lastWrite, unit);
  const int64_t diff = l > r ? l - r : r - l;
  if (diff < kTolerance) return InStep;
  return l > r ? CopyLocalToRemote : CopyRemoteToLocal;
}

void CFolderComparer::AppendSeparator(std::string& path, bool remote) {
  if (!path.empty() && path.back() != '/') path += '/';
  if (remote) NormalizeRemotePath(path);
}

void CFolderComparer::NormalizeRemotePath(std::string& path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  std::string out;
  out.reserve(path.size());
  for (char c : path)
    if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
  path.swap(out);
}

std::string CFolderComparer::CheckPaths(const std::string& localPath, const std::string& remotePath) {
  if (localPath.empty()) return "Enter the local path to compare.";
  if (!IsUsableLocalPath(localPath))
    return "The local path \"" + localPath + "\" is not a full path. Enter a path that starts with \"/\".";
  FolderId id;
  if (!LocalFolderId(localPath, id)) return "The local folder \"" + localPath + "\" does not exist.";
  (void)remotePath;  // an empty remote path means the login folder
  return {};
}

void CFolderComparer::BeginCompare(IFolderNotify* notify, IRemoteLister* lister, IFolderTree* tree,
                                   CFolderCollection* collection, const std::string& localPath,
                                   const std::string& remotePath, bool tagAfterCompare, bool ignoreSeconds) {
  ignoreSeconds_ = ignoreSeconds;
  tagAfterCompare_ = tagAfterCompare;
  notify_ = notify;
  collection_ = collection;
  tree_ = tree;
  lister_ = lister;
  localAncestors_.clear();
  currentItem_ = tree_->InsertItem(kNoItem, localPath + " <=> " + remotePath, FolderRoot, 0, true);
  currentRecord_ = collection_->Add(std::make_unique<CFolderRecord>(localPath, remotePath, FolderRoot));
  tree_->SetItemData(currentItem_, currentRecord_);
  abort_.store(0);
}

void CFolderComparer::Run(const std::string& localPath, const std::string& remotePath, const std::string& fileTypes,
                          bool includeSubFolders) {
  CompareFolder(localPath, remotePath, fileTypes.empty() ? std::string("*.*") : fileTypes, includeSubFolders);
  FinishCompare();
}

void CFolderComparer::CompareFolder(const std::string& localPath, const std::string& remotePath,
                                    const std::string& fileTypes, bool include) {
  FolderId id;
  const bool haveId = LocalFolderId(localPath, id);
  if (haveId) localAncestors_.push_back(id);

  // Each side is listed once per folder; the patterns are matched here, which
  // gives what one listing per pattern would, with one round trip.
  ScanList localAll, remoteAll, localFiles, remoteFiles, localFolders, remoteFolders;
  bool localListed = false, remoteListed = false;
  auto listLocal = [&] {
    if (!localListed) ListLocalFolder(localPath, localAll);
    localListed = true;
  };
  auto listRemote = [&] {
    if (!remoteListed) lister_->ListFolder(remotePath, remoteAll);
    remoteListed = true;
  };
  std::vector<std::string> patterns;
  if (!IsAborted()) SplitFileTypes(patterns, fileTypes);
  for (const std::string& pattern : patterns) {
    if (!IsAborted()) {
      listLocal();
      SelectMatching(localAll, false, pattern, localFiles, false);
    }
    if (!IsAborted()) {
      listRemote();
      SelectMatching(remoteAll, false, pattern, remoteFiles, true);
    }
  }
  if (!IsAborted()) {
    SortByName(localFiles);
    SortByName(remoteFiles);
    if (!IsAborted()) MergeFiles(localFiles, remoteFiles);
  }
  if (!IsAborted()) {
    listLocal();
    SelectMatching(localAll, true, "*.*", localFolders, false);
  }
  if (!IsAborted()) {
    listRemote();
    SelectMatching(remoteAll, true, "*.*", remoteFolders, true);
  }
  SortByName(localFolders);
  SortByName(remoteFolders);
  if (!IsAborted()) MergeFolders(localFolders, remoteFolders, localPath, remotePath, fileTypes, include);

  if (haveId) localAncestors_.pop_back();
}

void CFolderComparer::MergeFiles(const ScanList& local, const ScanList& remote) {
  MergeSortedLists(
      local, remote,
      [this](const FindData* l, const FindData* r) {
        if (l && r) OnFileBoth(*l, *r);
        else if (l) OnFileLocalOnly(*l);
        else OnFileRemoteOnly(*r);
      },
      [this] { return IsAborted(); });
}

void CFolderComparer::MergeFolders(const ScanList& local, const ScanList& remote, const std::string& localPath,
                                   const std::string& remotePath, const std::string& fileTypes, bool include) {
  MergeSortedLists(
      local, remote,
      [&](const FindData* l, const FindData* r) { FolderPair(l, r, localPath, remotePath, fileTypes, include); },
      [this] { return IsAborted(); });
}

void CFolderComparer::FolderPair(const FindData* l, const FindData* r, const std::string& localPath,
                                 const std::string& remotePath, const std::string& fileTypes, bool include) {
  // Each side's path is built from that side's own name: a folder paired as
  // "Images" remotely and "images" locally keeps both spellings.
  const std::string& localName = l ? l->name : r->name;
  const std::string& remoteName = r ? r->name : l->name;
  const std::string subLocal = JoinLocalPath(localPath, localName);
  std::string subRemote = remotePath;
  AppendSeparator(subRemote, true);
  subRemote += remoteName;

  int handled;
  if (l && r) {
    BeforeFolderBoth(l, r);
    handled = OnFolderBoth(l, r, subLocal, subRemote, fileTypes, include);
  } else if (l) {
    BeforeFolderLocalOnly(l, nullptr);
    handled = OnFolderLocalOnly(l, subLocal, subRemote, fileTypes, include);
  } else {
    BeforeFolderRemoteOnly(nullptr, r);
    handled = OnFolderRemoteOnly(r, subLocal, subRemote, fileTypes, include);
  }
  if (!handled && include) CompareFolder(subLocal, subRemote, fileTypes, include);
}

int CFolderComparer::OnFolderBoth(const FindData* local, const FindData* remote, const std::string& subLocal,
                                  const std::string& subRemote, const std::string& fileTypes, bool include) {
  return FolderStep(FolderOnBoth, local, remote, subLocal, subRemote, fileTypes, include);
}

int CFolderComparer::OnFolderLocalOnly(const FindData* local, const std::string& subLocal,
                                       const std::string& subRemote, const std::string& fileTypes, bool include) {
  return FolderStep(FolderLocalOnly, local, nullptr, subLocal, subRemote, fileTypes, include);
}

int CFolderComparer::OnFolderRemoteOnly(const FindData* remote, const std::string& subLocal,
                                        const std::string& subRemote, const std::string& fileTypes, bool include) {
  return FolderStep(FolderRemoteOnly, nullptr, remote, subLocal, subRemote, fileTypes, include);
}

int CFolderComparer::FolderStep(int folderClass, const FindData* local, const FindData* remote,
                                const std::string& subLocal, const std::string& subRemote,
                                const std::string& fileTypes, bool include) {
  const TreeItem saved = currentItem_;
  const std::string& name = local ? local->name : remote->name;
  currentItem_ = tree_->InsertItem(saved, name, folderClass, 1, true);
  currentRecord_ = collection_->Add(std::make_unique<CFolderRecord>(subLocal, subRemote, folderClass));
  tree_->SetItemData(currentItem_, currentRecord_);
  tree_->Expand(tree_->GetRootItem());
  if (include) {
    // A local folder reached again through a link (say "loop -> ..") is shown
    // but not walked a second time.
    FolderId id;
    const bool loops = local && LocalFolderId(subLocal, id) &&
                       std::find(localAncestors_.begin(), localAncestors_.end(), id) != localAncestors_.end();
    if (!loops) CompareFolder(subLocal, subRemote, fileTypes, include);
  }
  FinishFolder();
  currentItem_ = saved;
  return 1;
}

void CFolderComparer::AddEntry(const FindData* local, const FindData* remote, int32_t state) {
  auto entry = std::make_unique<CFileEntry>();
  if (local) entry->local = *local;
  if (remote) entry->remote = *remote;
  entry->state = state;
  entry->tagged = tagAfterCompare_ ? 1 : 0;
  auto guard = collection_->Lock();
  currentRecord_->entries.push_back(std::move(entry));
}

void CFolderComparer::OnFileRemoteOnly(const FindData& remote) { AddEntry(nullptr, &remote, CopyRemoteToLocal); }

void CFolderComparer::OnFileLocalOnly(const FindData& local) { AddEntry(&local, nullptr, CopyLocalToRemote); }

void CFolderComparer::OnFileBoth(const FindData& local, const FindData& remote) {
  AddEntry(&local, &remote, CompareTimes(&local, &remote, ignoreSeconds_));
}

void CFolderComparer::FinishFolder() {
  tree_->SetHasChildren(currentItem_, tree_->GetChildItem(currentItem_) != kNoItem);
  CFolderRecord* record = tree_->GetItemData(currentItem_);
  if (record) {
    bool differs;
    int summary;
    {
      auto guard = collection_->Lock();
      differs = record->HasDifferences();
      summary = record->Summary();
    }
    if (differs) {
      tree_->SetOverlay(currentItem_, summary);
      tree_->SetBold(currentItem_, true);
      for (TreeItem p = tree_->GetParentItem(currentItem_); p != kNoItem; p = tree_->GetParentItem(p))
        tree_->Expand(p);
    } else {
      tree_->SetOverlay(currentItem_, 0);
      tree_->SetBold(currentItem_, false);
    }
  }
  if (notify_) notify_->FolderChanged(record);
}

void CFolderComparer::FinishCompare() {
  currentItem_ = tree_->GetRootItem();
  FinishFolder();
}

}  // namespace twinbay
