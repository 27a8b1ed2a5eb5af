// The comparer: walks a local and a remote folder tree (each a file system)
// in parallel, pairs files and folders by name and builds the folder records,
// telling a listener as each is added and finished. Each folder goes through
// steps of its own: its listings (stale temporary files swept out:
// engine/stale_temps.h), the pairs of its files, each pair's class (Decide,
// engine/decide.h) and the state's update (engine/folder_state.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/decide.h"
#include "engine/file_entry.h"
#include "engine/stale_temps.h"
#include "fs/local_scan.h"
#include "engine/state_rules.h"
#include "fs/file_system.h"
#include "fs/patterns.h"

namespace twinbay {

// Told which remote folders the walk will list next, in the order it will
// list them (a lister with more than one connection starts on them now).
class IListAhead {
 public:
  virtual ~IListAhead() = default;
  virtual void WillList(const std::vector<std::string>& paths) = 0;
};

// Told how a compare goes, on the compare's thread. Both calls are quick and
// never wait for another thread: what shows the records reads them at its own
// pace (under the collection's lock).
class ICompareListener {
 public:
  virtual ~ICompareListener() = default;
  // A folder record was added: the collection holds `count` records now.
  virtual void FolderAdded(size_t count) = 0;
  // A folder's walk ended (its sub-folders' walks first, the top folder's
  // last): its entries, and so its overlay and bold mark, are complete.
  virtual void FolderFinished(CFolderRecord* record) = 0;
};

class CFolderComparer {
 public:
  // Folders nested deeper than this below the top folder are not walked: the
  // folder at the limit is marked incomplete. A server that lists a link to a
  // parent as a plain folder would otherwise lead the walk on without end.
  static constexpr int kMaxDepth = 500;
  // A temporary file of the transfer untouched for this long is the remains of
  // a run that ended abruptly (a crash, a power cut): a compare that comes
  // across one removes it when asked to (before a real sync), else only
  // names it.
  static constexpr int64_t kStaleTempAge = CStaleTempSweep::kAge;

  // Gets the comparer ready for one compare: the top folder's record (named
  // "local <=> remote"), abort flag cleared. The collection should have been
  // cleared by the caller. The listener, `ahead` and `state` may be null.
  // `local` takes local absolute paths as they are (a LocalFileSystem rooted
  // at "/"). With a state, pairs are classed by what changed since they were
  // last in step, and the state hears what is in step now.
  void BeginCompare(ICompareListener* listener, IFileSystem* local, IFileSystem* remote, CFolderCollection* collection,
                    const std::string& localPath, const std::string& remotePath, bool tagAfterCompare,
                    bool ignoreSeconds, IListAhead* ahead = nullptr, IRecordedState* state = nullptr);
  // The worker's whole job: the walk, then the top folder is finished (also
  // after an abort).
  void Run(const std::string& localPath, const std::string& remotePath, const std::string& fileTypes,
           bool includeSubFolders);

  void Abort() { abort_.store(1, std::memory_order_relaxed); }
  // Whether the next compares remove the stale temporary files they find
  // (off by default: a compare changes nothing).
  void SetRemoveStaleTemps(bool remove) { removeStale_ = remove; }
  // Whether the next compares are of a one-way mirror, and its direction:
  // what is on its destination only is deleted there, a file newer there
  // is left as it is (untagged).
  void SetMirror(MirrorPolicy mirror) { mirror_ = mirror; }
  // A server folder the next compares never list nor pair (the sync's backup
  // folder, when it lies below the top folder): left alone on both sides.
  void SetRemoteLeftOut(std::string path) { remoteLeftOut_ = std::move(path); }
  // Whether the next compares tell files of equal size apart by a hash of
  // their contents (where the server gives one; else sizes and times decide,
  // and ChecksumNote says so).
  void SetChecksum(bool checksum) { checksum_ = checksum; }
  // What the last compare has to say of its content checks (the server gives
  // no hash; files that could not be hashed), empty when nothing.
  std::string ChecksumNote() const;
  // The paths the next compares leave out (fs/patterns.h): an entry left out
  // on a side is not listed there, so never copied, deleted or recorded, and
  // a folder left out is not walked; its records stay as they are.
  void SetExclusions(ExcludeList exclusions) { exclusions_ = std::move(exclusions); }
  // How many stale temporary files the last compare removed (both sides).
  int StaleTempsRemoved() const { return sweep_.Removed(); }
  // Those it found and did not remove, each as "local PATH" or "remote PATH".
  std::vector<std::string> StaleTempsKept() const;
  // The same as side and full path (each as its file system names it),
  // for a sync to remove them later.
  using StaleTemp = twinbay::StaleTemp;
  std::vector<StaleTemp> StaleTempsFound() const { return sweep_.Found(); }
  bool IsAborted() const { return abort_.load(std::memory_order_relaxed) != 0; }

  // Appends the separator ("/" for both sides here) unless the path is empty
  // or already ends in one; runs of "/" in a remote path then collapse.
  static void AppendSeparator(std::string& path, bool remote);
  // Every "\" becomes "/", and every "//" collapses to "/".
  static void NormalizeRemotePath(std::string& path);

  // Checks the local top path before a compare (any remote path will do: an
  // empty one is the login folder). Returns an empty text when it can be
  // used, else a message for the user.
  static std::string CheckPaths(const std::string& localPath);

 private:
  // One folder's listings, both sides (defined in comparer.cpp).
  struct FolderListing;
  // Lists both sides of one folder pair, and picks the files of the chosen
  // types from each.
  void ListFolder(const std::string& localPath, const std::string& remotePath, const std::string& fileTypes,
                  int folderClass, FolderListing& out);
  // Walks one folder pair (the whole tree when called with the roots).
  void CompareFolder(const std::string& localPath, const std::string& remotePath, const std::string& fileTypes,
                     bool include);
  // The walk's pairs of one folder's files (sorted by name), paired by
  // name ignoring case, each with its sides' listing facts.
  std::vector<PairFacts> PairFiles(const ScanList& local, const ScanList& remote, bool localUnread,
                                   bool remoteUnread) const;
  // Pairs one folder's files, decides each pair and adds its entry, then
  // updates the state. The whole listings tell a recorded pair that is gone
  // from a filtered one.
  // `excluded`: the folded names of the files left out, whose records stay.
  void MergeFiles(const ScanList& local, const ScanList& remote, bool localUnread, bool remoteUnread,
                  const ScanList& localAll, const ScanList& remoteAll, const std::set<std::string>& leftOut,
                  const std::set<std::string>& excluded);
  // The folded names whose record the state may not use: those more than
  // one entry of a side shares, and `leftOut`.
  static std::set<std::string> SharedKeys(const ScanList& local, const ScanList& remote,
                                          const std::set<std::string>& leftOut);
  void MergeFolders(const ScanList& local, const ScanList& remote, const std::string& localPath,
                    const std::string& remotePath, const std::string& fileTypes, bool include,
                    const std::set<std::string>& leftOut);
  // Makes the record of one sub-folder pair, walks it when sub-folders are
  // included (and it does not lead back up the tree), and finishes it.
  void FolderPair(const FindData* local, const FindData* remote, const std::string& localPath,
                  const std::string& remotePath, const std::string& fileTypes, bool include);
  void AddEntry(const FindData* local, const FindData* remote, CompareState state);
  // Compares the pair's contents by hash where asked to and their sizes are
  // equal (comparer_hash.cpp).
  void CheckContents(PairFacts& pair);
  CFolderRecord* AddRecord(std::unique_ptr<CFolderRecord> record);
  // True when a link's resolved target is a folder being walked or above one.
  bool LeadsUp(const std::string& target) const;
  // Tells the lister which remote folders the walk will list next.
  void AnnounceRemoteFolders(const ScanList& remoteFolders, const std::string& remotePath);
  // True when the folder is not there: its parent's listing shows no entry
  // of its name, or (up to `levels` up) the parent is not there either.
  static bool FolderMissing(IFileSystem& fs, const std::string& path, int levels);
  // Lists one side of a folder; false (with `why`) when it was not read whole.
  // `leftOut` gains the folded names the listing left out although they are
  // there, and those of its entries the other side cannot take (which leave
  // `out`). Entries the exclusions leave out leave `out` too, the files'
  // folded names going to `excluded`.
  bool ListSide(bool remote, const std::string& path, int folderClass, ScanList& out, std::string& why,
                std::set<std::string>& leftOut, std::set<std::string>& excluded);

  std::atomic<int> abort_{0};
  bool removeStale_ = false;
  bool checksum_ = false;
  // The kind both sides give (nullopt: not asked yet; None: none).
  std::optional<std::optional<HashKind>> hashKind_;
  int hashFailures_ = 0;
  std::string hashFailure_;  // the first
  MirrorPolicy mirror_ = MirrorPolicy::None;
  std::string remoteLeftOut_;
  ExcludeList exclusions_;
  CStaleTempSweep sweep_;
  DecideOptions decide_;  // this compare's
  bool tagAfterCompare_ = true;
  ICompareListener* listener_ = nullptr;
  CFolderRecord* currentRecord_ = nullptr;
  CFolderCollection* collection_ = nullptr;
  IFileSystem* local_ = nullptr;
  IFileSystem* remote_ = nullptr;
  IListAhead* ahead_ = nullptr;
  IRecordedState* state_ = nullptr;
  bool stateAny_ = false;      // the state holds records for this pair
  bool whole_ = true;          // every folder so far walked and read whole
  std::string folderKey_;      // the folder being merged, as the state keys it
  // Folders being walked whose names differ only in case from a sibling's on
  // one side: their key is shared, so the state is neither read nor written
  // below them.
  int sharedKeys_ = 0;
  // The identities of the local folders being walked (device and inode),
  // outermost first: a link back into one of them is shown but not walked
  // again.
  std::vector<std::string> localAncestorIds_;
  // The same on the server: the paths of the remote folders being walked and
  // the identities the server gave them (MLSD "unique").
  std::vector<std::string> remoteAncestorPaths_;
  std::vector<std::string> remoteAncestorIds_;
  // Where each of those folders really is (a link's resolved target, or
  // below one), the top folder's path first.
  std::vector<std::string> remoteRealPaths_;
  // The first remote folder met with each identity, for one met again under
  // another name (a link listed as a folder).
  std::map<std::string, CFolderRecord*> remoteMet_;
  int depth_ = 0;
};

// Calls f(local, remote) for every pairing of two name-sorted lists, in order:
// names equal but for case pair up, an exact-case match first; a missing side
// is null. Stops early when stop() returns true.
template <class Pair, class Stop>
void MergeSortedLists(const ScanList& local, const ScanList& remote, Pair f, Stop stop);

}  // namespace twinbay

#include "engine/merge_walk.inl"
