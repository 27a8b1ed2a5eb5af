#include "engine/comparer.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "engine/folder_state.h"
#include "engine/state_rules.h"
#include "fs/paths.h"
#include "fs/patterns.h"

namespace twinbay {

std::vector<std::string> CFolderComparer::StaleTempsKept() const {
  std::vector<std::string> texts;
  for (const StaleTemp& t : StaleTempsFound()) texts.push_back((t.remote ? "remote " : "local ") + t.path);
  return texts;
}

void CFolderComparer::AppendSeparator(std::string& path, bool remote) { twinbay::AppendSeparator(path, remote); }

void CFolderComparer::NormalizeRemotePath(std::string& path) { twinbay::NormalizeRemotePath(path); }

std::string CFolderComparer::CheckPaths(const std::string& localPath) {
  if (localPath.empty()) return "Enter the local path to compare.";
  if (!IsUsableLocalPath(localPath))
    return "The local path \"" + localPath + "\" is not a full path. Enter a path that starts with \"/\".";
  // A local folder that does not exist yet lists as empty: a download creates it.
  return {};
}

CFolderRecord* CFolderComparer::AddRecord(std::unique_ptr<CFolderRecord> record) {
  CFolderRecord* const added = collection_->Add(std::move(record));
  if (listener_) listener_->FolderAdded(added->index + 1);
  return added;
}

void CFolderComparer::BeginCompare(ICompareListener* listener, IFileSystem* local, IFileSystem* remote,
                                   CFolderCollection* collection, const std::string& localPath,
                                   const std::string& remotePath, bool tagAfterCompare, bool ignoreSeconds,
                                   IListAhead* ahead, IRecordedState* state) {
  state_ = state;
  decide_.ignoreSeconds = ignoreSeconds;
  decide_.memory = state && state->Classify();
  decide_.mirror = mirror_;
  stateAny_ = state && state->Any();
  whole_ = true;
  tagAfterCompare_ = tagAfterCompare;
  listener_ = listener;
  collection_ = collection;
  local_ = local;
  remote_ = remote;
  const FsCapabilities caps = remote ? remote->Capabilities() : FsCapabilities();
  decide_.remoteEarliest = caps.earliestTime;
  decide_.remoteLatest = caps.latestTime;
  ahead_ = ahead;
  localAncestorIds_.clear();
  remoteAncestorPaths_.clear();
  remoteRealPaths_.assign(1, remotePath);
  remoteAncestorIds_.clear();
  remoteMet_.clear();
  depth_ = 0;
  sharedKeys_ = 0;
  abort_.store(0);
  sweep_.Begin(removeStale_);
  hashKind_.reset();
  hashFailures_ = 0;
  hashFailure_.clear();
  auto root = std::make_unique<CFolderRecord>(localPath, remotePath, FolderRoot);
  root->name = localPath + " <=> " + remotePath;
  currentRecord_ = AddRecord(std::move(root));
}

void CFolderComparer::Run(const std::string& localPath, const std::string& remotePath, const std::string& fileTypes,
                          bool includeSubFolders) {
  CFolderRecord* const root = currentRecord_;
  CompareFolder(localPath, remotePath, fileTypes.empty() ? std::string("*.*") : fileTypes, includeSubFolders);
  if (state_) state_->Finish(whole_ && includeSubFolders && !IsAborted());
  if (listener_) listener_->FolderFinished(root);
}

struct CFolderComparer::FolderListing {
  ScanList localAll, remoteAll;      // every entry read
  ScanList localFiles, remoteFiles;  // the files of the chosen types
  bool localUnread = false, remoteUnread = false;
  std::string failure;             // why a side was not read whole
  std::set<std::string> leftOut;   // either side's (see ListSide)
  std::set<std::string> excluded;  // the files either side's exclusions left out
};

void CFolderComparer::ListFolder(const std::string& localPath, const std::string& remotePath,
                                 const std::string& fileTypes, int folderClass, FolderListing& f) {
  // Each side is listed once per folder; the patterns are matched here, which
  // gives what one listing per pattern would, with one round trip. A side that
  // the parent's complete listing showed to be missing is not asked at all.
  bool localListed = false, remoteListed = false;
  auto listSide = [&](bool remote, bool& listed, ScanList& all, bool& unread) {
    if (listed) return;
    listed = true;
    std::string why;
    unread = !ListSide(remote, remote ? remotePath : localPath, folderClass, all, why, f.leftOut, f.excluded);
    if (f.failure.empty()) f.failure = why;
  };
  auto listLocal = [&] { listSide(false, localListed, f.localAll, f.localUnread); };
  auto listRemote = [&] { listSide(true, remoteListed, f.remoteAll, f.remoteUnread); };
  std::vector<std::string> patterns;
  if (!IsAborted()) SplitFileTypes(patterns, fileTypes);
  for (const std::string& pattern : patterns) {
    if (!IsAborted()) {
      listLocal();
      SelectMatching(f.localAll, false, pattern, f.localFiles);
    }
    if (!IsAborted()) {
      listRemote();
      SelectMatching(f.remoteAll, false, pattern, f.remoteFiles);
    }
  }
  if (!IsAborted()) {
    listLocal();
    listRemote();
  }
  // The stale temporary files of each side read whole go, but for those of a
  // copy that a later one continues (told by the other side's files).
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ticks = TicksFromUnix(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  for (const bool remote : {false, true}) {
    if (IsAborted() || (remote ? f.remoteUnread : f.localUnread)) continue;
    const bool otherUnread = remote ? f.localUnread : f.remoteUnread;
    std::vector<FindData> kept;
    sweep_.Sweep(remote ? f.remoteAll : f.localAll, otherUnread ? nullptr : remote ? &f.localAll : &f.remoteAll,
                 remote ? *remote_ : *local_, remote,
                 remote ? JoinRemotePath(remotePath, "") : JoinLocalPath(localPath, ""), ticks, decide_.ignoreSeconds, kept);
    // The server's temporary files a copy may continue: the copy learns of
    // them here rather than by asking after a name that may not be there.
    if (CFolderRecord* const record = currentRecord_; remote && record && !kept.empty()) {
      auto guard = collection_->Lock();
      for (FindData& fd : kept) record->remoteTemps.push_back(std::move(fd));
    }
  }
}

void CFolderComparer::CompareFolder(const std::string& localPath, const std::string& remotePath,
                                    const std::string& fileTypes, bool include) {
  CFolderRecord* const record = currentRecord_;
  const int folderClass = record ? record->folderClass : FolderRoot;
  if (depth_ >= kMaxDepth) {
    whole_ = false;
    if (record) {
      auto guard = collection_->Lock();
      record->MarkIncomplete("nested more than " + std::to_string(kMaxDepth) +
                             " folders deep: not read (does a link lead back up the tree?)");
    }
    return;
  }
  ++depth_;
  if (depth_ == 1) {
    // The top folder's own identity, for a link that leads back to it.
    FindData top;
    localAncestorIds_.push_back(local_->Stat(localPath, top) ? top.unique : std::string());
  }
  remoteAncestorPaths_.push_back(remotePath);

  FolderListing f;
  ListFolder(localPath, remotePath, fileTypes, folderClass, f);
  const std::string& failure = f.failure;
  // A side that could not be read is not an empty side: the folder is marked
  // incomplete before any entry is made, so nothing in it is ever tagged, and
  // its sub-folders are shown but not walked.
  if (!failure.empty() && record) {
    auto guard = collection_->Lock();
    record->MarkIncomplete(failure);
  }
  if (!failure.empty()) whole_ = false;
  if (!IsAborted()) {
    SortByName(f.localFiles);
    SortByName(f.remoteFiles);
    if (state_) {
      folderKey_ = record ? RecordedFolder(*record) : std::string();
      if (failure.empty()) state_->Walked(folderKey_);
    }
    if (!IsAborted())
      MergeFiles(f.localFiles, f.remoteFiles, f.localUnread, f.remoteUnread, f.localAll, f.remoteAll, f.leftOut,
                 f.excluded);
  }
  ScanList localFolders, remoteFolders;
  if (!IsAborted()) SelectMatching(f.localAll, true, "*.*", localFolders);
  if (!IsAborted()) SelectMatching(f.remoteAll, true, "*.*", remoteFolders);
  SortByName(localFolders);
  SortByName(remoteFolders);
  if (!IsAborted() && include && failure.empty() && depth_ < kMaxDepth) AnnounceRemoteFolders(remoteFolders, remotePath);
  if (!IsAborted())
    MergeFolders(localFolders, remoteFolders, localPath, remotePath, fileTypes, include && failure.empty(), f.leftOut);

  remoteAncestorPaths_.pop_back();
  if (depth_ == 1) localAncestorIds_.pop_back();
  --depth_;
}

bool CFolderComparer::ListSide(bool remote, const std::string& path, int folderClass, ScanList& out,
                               std::string& why, std::set<std::string>& leftOut, std::set<std::string>& excluded) {
  IFileSystem& fs = remote ? *remote_ : *local_;
  CFolderRecord* const record = currentRecord_;
  if (folderClass == (remote ? FolderLocalOnly : FolderRemoteOnly)) return true;
  bool ok = fs.List(path, out);
  if (!exclusions_.Empty()) {
    // Left out as if not there; a folder's records (and those below it)
    // are kept by the state, a file's by the folder's step.
    const std::string folder = record ? RecordedFolder(*record) : std::string();
    std::erase_if(out, [&](const FindData& fd) {
      const std::string key = (folder.empty() ? "" : folder + "/") + FoldedName(fd.name);
      if (fd.name == "." || fd.name == ".." || !exclusions_.Excludes(key, fd.IsDirectory())) return false;
      if (!fd.IsDirectory()) excluded.insert(FoldedName(fd.name));
      else if (state_) state_->Excluded(key);
      return true;
    });
  }
  const std::string error = ok ? std::string() : fs.LastError();
  std::vector<std::string> skipped = fs.TakeSkipped();
  // A name read but unusable is left alone on both sides, and the rest of
  // the folder goes on: the listing left out those its own side cannot
  // take, and here go those the other side could not (a control byte or
  // byte 0xFF for an FTP server). Each is named; none is copied, deleted or
  // recorded, nor read as deleted.
  int alone = 0;
  for (const std::string& name : fs.TakeLeftOut()) {
    leftOut.insert(FoldedName(name));
    alone += !fs.TakesName(name);
  }
  const IFileSystem& other = remote ? *local_ : *remote_;
  std::erase_if(out, [&](const FindData& fd) {
    if (!remote || remoteLeftOut_.empty() || JoinRemotePath(path, fd.name) != remoteLeftOut_) return false;
    leftOut.insert(FoldedName(fd.name));
    return true;
  });
  std::erase_if(out, [&](const FindData& fd) {
    if (other.TakesName(fd.name)) return false;
    leftOut.insert(FoldedName(fd.name));
    skipped.push_back((remote ? JoinRemotePath(path, fd.name) : JoinLocalPath(path, fd.name)) + ": a name the " +
                      (remote ? "local disk" : "server") + " cannot take; left alone on both sides");
    ++alone;
    return true;
  });
  if (ok) {
    // read whole (its stale temporary files go once the other side is read)
  } else if (folderClass == FolderRoot && record && out.empty() &&
             FolderMissing(fs, path, remote ? 1 : 64)) {
    // A top folder that is not there yet is empty (a copy makes it), but
    // only when its parent's listing says so: a refusal is not absence. A
    // local one may miss its parents too (a download makes them all).
    // Where files were synchronised before, a missing top folder is an
    // unmounted disk or a renamed folder, never "everything was deleted".
    if (stateAny_) {
      why = std::string("the ") + (remote ? "server" : "local") + " folder " + path +
            " is missing, but files there were synchronised before: nothing is copied or deleted "
            "(is a disk unmounted or the folder renamed?)";
    } else {
      ok = true;
      auto guard = collection_->Lock();
      (remote ? record->remoteMissing : record->localMissing) = true;
    }
  } else if (remote) {
    why = out.empty() ? "cannot list " + path + ": " + error : "listed in part: " + error;
  } else {
    why = "cannot read the local folder " + error;
  }
  if (record && (!skipped.empty() || alone)) {
    auto guard = collection_->Lock();
    record->skipped.insert(record->skipped.end(), skipped.begin(), skipped.end());
    record->leftAlone += alone;
  }
  return ok;
}

std::vector<PairFacts> CFolderComparer::PairFiles(const ScanList& local, const ScanList& remote, bool localUnread,
                                                  bool remoteUnread) const {
  std::vector<PairFacts> pairs;
  pairs.reserve(std::max(local.size(), remote.size()));
  MergeSortedLists(
      local, remote,
      [&](const FindData* l, const FindData* r) { pairs.push_back({l, r, localUnread, remoteUnread}); },
      [this] { return IsAborted(); });
  return pairs;
}

void CFolderComparer::MergeFiles(const ScanList& local, const ScanList& remote, bool localUnread,
                                 bool remoteUnread, const ScanList& localAll, const ScanList& remoteAll,
                                 const std::set<std::string>& leftOut, const std::set<std::string>& excluded) {
  // The walk pairs the files, each pair is decided (with its record), and
  // then the state hears what the folder says. Below a folder whose key is
  // shared the state is left alone.
  IRecordedState* const state = sharedKeys_ ? nullptr : state_;
  std::set<std::string> shared = state ? SharedKeys(local, remote, leftOut) : std::set<std::string>();
  if (currentRecord_) {
    auto guard = collection_->Lock();
    currentRecord_->recordsKept = state && shared.empty();
  }
  CFolderState records(state, stateAny_, folderKey_, std::move(shared));
  records.Keep(excluded);
  std::vector<DecidedPair> decided;
  decided.reserve(std::max(local.size(), remote.size()));
  for (PairFacts& pair : PairFiles(local, remote, localUnread, remoteUnread)) {
    CheckContents(pair);
    const RecordedPair* const record = records.RecordOf(pair);
    decided.push_back({pair, record, Decide(pair, record, decide_)});
    AddEntry(pair.local, pair.remote, decided.back().cls);
  }
  records.Write(decided, localAll, remoteAll, !localUnread && !remoteUnread && !IsAborted());
}

std::set<std::string> CFolderComparer::SharedKeys(const ScanList& local, const ScanList& remote,
                                                  const std::set<std::string>& leftOut) {
  // Names that differ only in case on one side (a case-sensitive disk or
  // server) share one record key: none of them is classed by the record or
  // recorded, or a file never synchronised could read as one deleted on the
  // other side. Nor is a name a listing left out although it is there (a
  // link into an unmounted disk): it is not deleted. The times decide for
  // them, as without a state. (The lists sort case-insensitively first, so
  // names alike but for case are neighbours.)
  std::set<std::string> shared = leftOut;
  for (const ScanList* side : {&local, &remote})
    for (size_t i = 1; i < side->size(); ++i)
      if (CompareNamesNoCase((*side)[i - 1].name, (*side)[i].name) == 0) shared.insert(FoldedName((*side)[i].name));
  return shared;
}

void CFolderComparer::MergeFolders(const ScanList& local, const ScanList& remote, const std::string& localPath,
                                   const std::string& remotePath, const std::string& fileTypes, bool include,
                                   const std::set<std::string>& leftOut) {
  const std::set<std::string> shared = state_ ? SharedKeys(local, remote, leftOut) : std::set<std::string>();
  MergeSortedLists(
      local, remote,
      [&](const FindData* l, const FindData* r) {
        const int keyShared = !shared.empty() && shared.count(FoldedName(l ? l->name : r->name));
        sharedKeys_ += keyShared;
        FolderPair(l, r, localPath, remotePath, fileTypes, include);
        sharedKeys_ -= keyShared;
      },
      [this] { return IsAborted(); });
}

void CFolderComparer::FolderPair(const FindData* local, const FindData* remote, const std::string& localPath,
                                 const std::string& remotePath, const std::string& fileTypes, bool include) {
  // Each side's path is built from that side's own name: a folder paired as
  // "Images" remotely and "images" locally keeps both spellings.
  const std::string& localName = local ? local->name : remote->name;
  const std::string& remoteName = remote ? remote->name : local->name;
  const std::string subLocal = JoinLocalPath(localPath, localName);
  std::string subRemote = remotePath;
  AppendSeparator(subRemote, true);
  subRemote += remoteName;

  CFolderRecord* const parent = currentRecord_;
  auto made = std::make_unique<CFolderRecord>(subLocal, subRemote,
                                              local && remote ? FolderOnBoth : local ? FolderLocalOnly : FolderRemoteOnly);
  made->parent = parent;
  made->name = localName;
  made->localThroughLink = parent->localThroughLink || (local && local->link);
  made->remoteThroughLink = parent->remoteThroughLink || (remote && remote->link);
  // A server that lists a link as the folder it leads to (pyftpdlib) gives it
  // that folder's identity: a folder met again under another name, not one
  // being walked (a loop), is the same folder, and either name may be the
  // link. Neither is a place to delete in.
  CFolderRecord* metBefore = nullptr;
  const bool listedAsFolder = remote && !remote->link && !remote->unique.empty();
  if (listedAsFolder)
    if (const auto it = remoteMet_.find(remote->unique); it != remoteMet_.end()) {
      made->remoteThroughLink = true;
      metBefore = it->second;
      for (const CFolderRecord* r = parent; r && metBefore; r = r->parent)
        if (r == metBefore) metBefore = nullptr;
    }
  CFolderRecord* const record = currentRecord_ = AddRecord(std::move(made));
  if (listedAsFolder) remoteMet_.emplace(remote->unique, record);
  if (metBefore) {
    // The first one and its sub-folders, which follow it in the collection.
    auto guard = collection_->Lock();
    for (size_t i = metBefore->index; i < collection_->GetCount(); ++i) {
      CFolderRecord* const below = collection_->GetAt(i);
      const CFolderRecord* r = below;
      while (r && r != metBefore) r = r->parent;
      if (!r) break;
      below->remoteThroughLink = true;
    }
  }
  if (include) {
    // A local folder reached again through a link (say "loop -> ..") is shown
    // but not walked a second time.
    const bool localLoops = local && !local->unique.empty() &&
                            std::find(localAncestorIds_.begin(), localAncestorIds_.end(), local->unique) !=
                                localAncestorIds_.end();
    // On the server: a folder that the server names like one of the folders
    // being walked (MLSD "unique"), or a link that leads to one of them.
    const bool remoteLoops =
        remote && ((!remote->unique.empty() && std::find(remoteAncestorIds_.begin(), remoteAncestorIds_.end(),
                                                         remote->unique) != remoteAncestorIds_.end()) ||
                   (remote->link && LeadsUp(remote->linkTarget)));
    if (!localLoops && !remoteLoops) {
      remoteAncestorIds_.push_back(remote ? remote->unique : std::string());
      localAncestorIds_.push_back(local ? local->unique : std::string());
      // Where the folder really is: a link's resolved target, else below
      // where its parent really is; so that a loop met through a second link
      // ("lnkdir -> realdir", "realdir/loop -> .") is known by what it leads to.
      std::string real = remoteRealPaths_.back();
      AppendSeparator(real, true);
      remoteRealPaths_.push_back(remote && remote->link && !remote->linkTarget.empty() && remote->linkTarget[0] == '/'
                                     ? remote->linkTarget
                                     : real + remoteName);
      CompareFolder(subLocal, subRemote, fileTypes, include);
      remoteRealPaths_.pop_back();
      localAncestorIds_.pop_back();
      remoteAncestorIds_.pop_back();
    }
  }
  if (listener_) listener_->FolderFinished(record);
  currentRecord_ = parent;
}

void CFolderComparer::AnnounceRemoteFolders(const ScanList& remoteFolders, const std::string& remotePath) {
  // The remote folders the walk will list below this one, in walk order:
  // those it will not walk (loops) are left out, as FolderPair leaves them.
  std::vector<std::string> paths;
  paths.reserve(remoteFolders.size());
  for (const FindData& r : remoteFolders) {
    if ((!r.unique.empty() &&
         std::find(remoteAncestorIds_.begin(), remoteAncestorIds_.end(), r.unique) != remoteAncestorIds_.end()) ||
        (r.link && LeadsUp(r.linkTarget)))
      continue;
    std::string sub = remotePath;
    AppendSeparator(sub, true);
    paths.push_back(sub + r.name);
  }
  if (!paths.empty() && ahead_) ahead_->WillList(paths);
}

bool CFolderComparer::FolderMissing(IFileSystem& fs, const std::string& path, int levels) {
  const std::string p = RemoteFolderKey(path);
  const size_t slash = p.find_last_of('/');
  if (slash == std::string::npos || p.size() <= 1 || levels <= 0) return false;
  const std::string parent = slash == 0 ? "/" : p.substr(0, slash), name = p.substr(slash + 1);
  ScanList entries;
  const bool listed = fs.List(parent, entries);
  fs.TakeSkipped();
  if (!listed) return entries.empty() && FolderMissing(fs, parent, levels - 1);
  for (const FindData& f : entries)
    if (f.name == name) return false;  // there, but not to be listed
  return true;
}

bool CFolderComparer::LeadsUp(const std::string& target) const {
  // The target is one of the folders being walked, or a folder above them.
  if (target.empty()) return false;
  std::string t = target;
  CFolderComparer::AppendSeparator(t, true);
  for (const std::vector<std::string>* paths : {&remoteAncestorPaths_, &remoteRealPaths_})
    for (const std::string& a : *paths) {
      std::string p = a;
      CFolderComparer::AppendSeparator(p, true);
      if (p.compare(0, t.size(), t) == 0) return true;
    }
  return false;
}

void CFolderComparer::AddEntry(const FindData* local, const FindData* remote, CompareState state) {
  auto entry = std::make_unique<CFileEntry>();
  if (local) entry->local = *local;
  if (remote) entry->remote = *remote;
  entry->state = state;
  entry->tagged = tagAfterCompare_ && !currentRecord_->incomplete && TaggedByCompare(state, decide_);
  auto guard = collection_->Lock();
  currentRecord_->entries.push_back(std::move(entry));
}

}  // namespace twinbay
