// Lists remote folders ahead of the compare's walk over several connections.
//
// The walk stays one depth-first pass on one thread, so the records, their
// order and their classes are those of a one-connection run. What changes is
// where the waiting happens: when a folder has been listed, the walk names the
// sub-folders it will list next (WillList), and idle connections list them at
// once. When the walk reaches a folder, it takes the listing that is ready,
// waits for the one under way (listing queued folders on its own connection
// meanwhile), or lists the folder itself when no other connection has started
// on it yet.
//
// A helper that has listed a folder also queues its sub-folders, behind
// everything the walk asked for and only a few levels below what the walk
// named, so that the next branch of the tree is under way before the walk
// gets there. Links are left to the walk, which knows where they lead.
//
// A listing that failed on a helper connection is thrown away and the walk
// lists the folder again on its own connection, just as with one connection:
// a failure is never taken from a helper. The helper then repairs its
// connection (or gives up, and the pool is one smaller).
//
// The helpers' connections come from a pool and go back to it: a helper
// starts only when the walk has queued folders and no helper is idle, and
// the pool opens a connection only when none of its own is idle. A tree
// whose top folder has no sub-folders never takes one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "engine/comparer.h"
#include "fs/fs_pool.h"

namespace twinbay {

class CParallelLister : public IFileSystem, public IListAhead {
 public:
  // `own` is the walk's file system (not owned; everything but the listing
  // goes to it); up to `helpers` more list ahead on members of the pool,
  // each on its own thread.
  CParallelLister(IFileSystem& own, FileSystemPool& pool, int helpers);
  ~CParallelLister() override;
  CParallelLister(const CParallelLister&) = delete;
  CParallelLister& operator=(const CParallelLister&) = delete;

  bool List(const std::string& path, ScanList& out) override;
  // A failure is always the walk's own connection's.
  std::string LastError() const override { return own_.LastError(); }
  std::vector<std::string> TakeSkipped() override;
  std::vector<std::string> TakeLeftOut() override { return std::exchange(leftOut_, {}); }
  bool TakesName(const std::string& name) const override { return own_.TakesName(name); }
  void WillList(const std::vector<std::string>& paths) override;

  // The rest is the walk's own file system's.
  FsCapabilities Capabilities() const override { return own_.Capabilities(); }
  bool MakeFolder(const std::string& path) override { return own_.MakeFolder(path); }
  bool Remove(const std::string& path) override { return own_.Remove(path); }
  bool RemoveFolder(const std::string& path) override { return own_.RemoveFolder(path); }
  bool Rename(const std::string& from, const std::string& to) override { return own_.Rename(from, to); }
  bool Read(const std::string& path, const FsSink& sink) override { return own_.Read(path, sink); }
  bool Write(const std::string& path, const FsSource& source, uint64_t size) override {
    return own_.Write(path, source, size);
  }
  bool SetTime(const std::string& path, int64_t ticks) override { return own_.SetTime(path, ticks); }
  bool SetMode(const std::string& path, uint32_t mode) override { return own_.SetMode(path, mode); }
  bool Stat(const std::string& path, FindData& out) override { return own_.Stat(path, out); }
  bool Size(const std::string& path, uint64_t& size) override { return own_.Size(path, size); }
  unsigned HashKinds() override { return own_.HashKinds(); }
  bool Hash(const std::string& path, HashKind kind, std::string& hex) override { return own_.Hash(path, kind, hex); }
  void SetAbortFlag(const std::atomic<bool>* flag) override { own_.SetAbortFlag(flag); }
  bool LostConnection() const override { return own_.LostConnection(); }
  bool Reconnect() override { return own_.Reconnect(); }
  std::unique_ptr<IFileSystem> OpenAnother() const override { return own_.OpenAnother(); }

  // Ends the helpers (each after its current listing) and waits for them.
  void Stop();

  // Connections the helpers have in use now, and the most that were logged in
  // at once (the walk's own not counted).
  int HelpersConnected() const;
  int MostHelpersConnected() const;
  // Listings made ahead (by the helpers, or by the walk's own connection
  // while it waited for one) that the walk took, and those thrown away.
  size_t Delivered() const;
  size_t Discarded() const;

 private:
  enum class State { Queued, Running, Ready };
  struct Job {
    State state = State::Queued;
    int guess = 0;  // 0: named by the walk; n: n levels below such a folder
    bool ok = false;
    ScanList entries;
    std::vector<std::string> skipped, leftOut;
  };
  void Helper();
  // Starts a helper for each queued folder no idle helper will take, while
  // there is room (with the lock held).
  void StartHelpers();
  // Lists the first queued folder on `fs` (the lock is let go meanwhile),
  // and up to `most` in all (a helper: as many as its file system sends
  // together) when more are queued than idle helpers take,
  // queues their sub-folders when not too far below what the walk named,
  // and leaves each listing Ready for the walk as it comes in. True when
  // every one was listed whole.
  bool ListNext(IFileSystem& fs, std::unique_lock<std::mutex>& lock, size_t most);

  IFileSystem& own_;
  FileSystemPool& pool_;
  const int helpers_;
  std::vector<std::thread> threads_;

  mutable std::mutex mutex_;
  std::condition_variable work_;   // helpers wait here for a queued path
  std::condition_variable done_;   // the walk waits here for a running listing
  std::deque<std::string> queue_;  // next first
  std::map<std::string, Job> jobs_;
  size_t ready_ = 0;  // Ready jobs not yet taken, bounded to keep memory in check
  bool stopping_ = false;
  bool helperListed_ = false;  // a helper has listed a folder whole
  bool poolFull_ = false;      // the pool had no member for a helper
  int idle_ = 0;               // helpers waiting for work
  int connected_ = 0, mostConnected_ = 0;
  size_t delivered_ = 0, discarded_ = 0;

  // The walk's side, used on the walk's thread only.
  std::vector<std::string> skipped_, leftOut_;
};

}  // namespace twinbay
