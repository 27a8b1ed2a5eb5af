// The records of one compare: file entries inside folder records inside the
// folder collection.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/find_data.h"

namespace twinbay {

// Which way a file would be copied.
enum CompareState : int32_t {
  CopyRemoteToLocal = 0,
  InStep = 1,
  CopyLocalToRemote = 2,
  // A file on one side only, in a folder whose other side could not be read
  // whole: it may be there too. Never copied, deleted or tagged.
  StateUnknown = 3,
  // The classes below come from the last synchronised state of the folder
  // pair (none of them without one).
  // Both sides changed since they were last in step, or one was deleted and
  // the other changed: never tagged by Tag All, never copied or deleted
  // until the user keeps one side by hand.
  Conflict = 4,
  // Was in step, is gone locally and unchanged on the server: the server's
  // copy is to be deleted (not downloaded back).
  DeleteRemote = 5,
  // Was in step, is gone from the server and unchanged locally: the local
  // copy is to be deleted (not uploaded back).
  DeleteLocal = 6,
};

// Whether the state is a direction to copy in.
inline bool IsCopyState(int32_t state) { return state == CopyRemoteToLocal || state == CopyLocalToRemote; }
// Whether the state is a deletion that follows one on the other side.
inline bool IsDeleteState(int32_t state) { return state == DeleteRemote || state == DeleteLocal; }
// Whether a sync acts on the entry when it is tagged.
inline bool IsActionState(int32_t state) { return IsCopyState(state) || IsDeleteState(state); }
// Whether the state carries a change from the local side to the server (a
// copy up or a deletion there), else from the server to the local side.
inline bool IsUpState(int32_t state) { return state == CopyLocalToRemote || state == DeleteRemote; }

// The tree overlays of a folder that could not be read whole and of one
// holding conflicts (the direction overlays are 0 to 3).
constexpr int kIncompleteOverlay = 4;
constexpr int kConflictOverlay = 5;

enum FolderClass : int32_t {
  FolderRoot = 0,
  FolderOnBoth = 1,
  FolderLocalOnly = 2,
  FolderRemoteOnly = 3,
};

// Which ways the files of a folder would be copied; the numbers are the
// folder's mark in the tree.
enum FolderSummary : int32_t {
  NothingToCopy = 0,
  CopyBothWays = 1,
  CopyOnlyLocalToRemote = 2,
  CopyOnlyRemoteToLocal = 3,
};

class CFileEntry {
 public:
  FileSide local;
  FileSide remote;
  CompareState state = InStep;
  bool tagged = false;

  // Recomputes the state from the two sides by their times (Decide without a
  // record; a missing side counts as older).
  CompareState Reclassify(bool ignoreSeconds);
  // The name used for both sides of a copy or a delete: the local name when
  // the entry has one, else the remote name.
  const std::string& Name() const;
  bool IsTagged() const { return IsActionState(state) && tagged; }
};

class CFolderRecord {
 public:
  CFolderRecord(std::string localPath, std::string remotePath, FolderClass folderClass)
      : localPath(std::move(localPath)), remotePath(std::move(remotePath)), folderClass(folderClass) {}

  std::string localPath;
  std::string remotePath;
  FolderClass folderClass;
  // Where the folder stands in the tree: its parent (null for the top folder),
  // its place in the collection, and the text of its tree item (the folder's
  // name; "local <=> remote" for the top folder). Set before the record is
  // added to the collection, never changed after.
  CFolderRecord* parent = nullptr;
  size_t index = 0;
  std::string name;
  std::vector<std::unique_ptr<CFileEntry>> entries;
  // A folder whose listing failed on either side (or was cut short) is
  // incomplete: what is known of it is shown, but nothing in it is tagged,
  // copied or deleted, and the walk does not go below it.
  bool incomplete = false;
  std::string incompleteReason;
  // The top folder does not exist on the server yet (its parent's listing
  // does not show it): an upload makes it first.
  bool remoteMissing = false;
  // The same for the local top folder.
  bool localMissing = false;
  // Entries left out of the listing, each with why (a link that leads
  // nowhere, a name one side cannot take); shown once, never copied.
  std::vector<std::string> skipped;
  // The transfer's temporary files the compare found in the server folder
  // and left there (a broken copy a later one may continue, or one too
  // recent to be stale): a copy learns from it that its temporary name is
  // taken, without asking the server after a name that may not be there.
  ScanList remoteTemps;
  // The folder is a link on that side, or lies below one: what is deleted
  // there would be deleted wherever the link leads (outside the top folder,
  // or in a folder also synchronised under its own name). Nothing on that
  // side is deleted in it, and it is never removed; copies go on.
  bool localThroughLink = false;
  bool remoteThroughLink = false;
  bool ThroughLink(bool remoteSide) const { return remoteSide ? remoteThroughLink : localThroughLink; }
  // The sync state reads and writes the records of this folder's files by
  // name (no name shared, none left out of a listing): a mark the transfer
  // leaves there for a file is read by the next compare.
  bool recordsKept = false;
  // How many of them are names left alone on both sides because one side
  // cannot take them (files not synchronised).
  int leftAlone = 0;
  void MarkIncomplete(const std::string& reason);
  // Whether this folder or one above it is incomplete: nothing in it is
  // copied or deleted.
  bool UnderIncomplete() const {
    for (const CFolderRecord* r = this; r; r = r->parent)
      if (r->incomplete) return true;
    return false;
  }

  void TagAll();
  void UntagAll();
  // Which ways the folder's files would be copied or deleted (its mark in
  // the tree).
  FolderSummary Summary() const;
  bool HasDifferences() const;
  bool HasConflicts() const;
  // How the tree shows the folder: the overlay (kIncompleteOverlay for a
  // folder not read whole, kConflictOverlay for one holding conflicts, else
  // the summary), bold when it is not 0.
  int TreeOverlay() const {
    return incomplete ? kIncompleteOverlay : HasConflicts() ? kConflictOverlay : Summary();
  }
  bool TreeBold() const { return incomplete || HasDifferences(); }
};

// Told about a folder record whose entries changed (a transfer or a delete).
class IFolderNotify {
 public:
  virtual ~IFolderNotify() = default;
  virtual void FolderChanged(CFolderRecord* record) = 0;
};

// Told when the collection is about to free its records, so that whatever
// shows them (tree, list) drops its pointers first.
class ICollectionListener {
 public:
  virtual ~ICollectionListener() = default;
  virtual void CollectionCleared() = 0;
};

// All folder records of one compare, in the order the comparer created them.
//
// The compare worker appends records and entries while the user-interface
// thread paints, counts and tags. Every access that can overlap a running
// compare or transfer holds Lock(); the lock is recursive so that helpers that
// lock (CountTagged, TagAll...) can be called by code that already holds it.
class CFolderCollection {
 public:
  using Guard = std::unique_lock<std::recursive_mutex>;

  explicit CFolderCollection(ICollectionListener* listener = nullptr) : listener_(listener) {}
  ~CFolderCollection();
  CFolderCollection(const CFolderCollection&) = delete;
  CFolderCollection& operator=(const CFolderCollection&) = delete;

  void SetListener(ICollectionListener* listener) { listener_ = listener; }

  // Tells the listener, then frees every record.
  void Clear();
  // Appends a record and gives it its index.
  CFolderRecord* Add(std::unique_ptr<CFolderRecord> record);
  size_t GetCount() const;
  CFolderRecord* GetAt(size_t index) const;

  Guard Lock() const { return Guard(mutex_); }

 private:
  ICollectionListener* listener_;
  mutable std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<CFolderRecord>> records_;
};

}  // namespace twinbay
