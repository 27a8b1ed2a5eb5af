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
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/comparer.h"

namespace twinbay {

class CParallelLister : public IRemoteLister {
 public:
  // Makes one more logged-in connection's lister; null when the server will
  // not have another (too many logins, or the connection failed). Called on
  // the helper threads.
  using ListerFactory = std::function<std::unique_ptr<IRemoteLister>()>;

  // `own` is the walk's connection (not owned); up to `helpers` more
  // connections are made by the factory, each on its own thread.
  CParallelLister(IRemoteLister& own, ListerFactory factory, int helpers);
  ~CParallelLister() override;
  CParallelLister(const CParallelLister&) = delete;
  CParallelLister& operator=(const CParallelLister&) = delete;

  bool ListFolder(const std::string& path, ScanList& out) override;
  std::string ListingError() const override { return error_; }
  std::vector<std::string> TakeSkipped() override;
  void WillList(const std::vector<std::string>& paths) override;
  // On the walk's own connection.
  bool RemoveFile(const std::string& folder, const std::string& name) override { return own_.RemoveFile(folder, name); }

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
    std::vector<std::string> skipped;
  };
  void Helper();
  // Lists the first queued folder on `lister` (the lock is let go meanwhile),
  // queues its sub-folders when it is not too far below what the walk named,
  // and leaves the listing Ready for the walk. True when it was listed whole.
  bool ListNext(IRemoteLister& lister, std::unique_lock<std::mutex>& lock);

  IRemoteLister& own_;
  ListerFactory factory_;
  std::vector<std::thread> threads_;

  mutable std::mutex mutex_;
  std::condition_variable work_;   // helpers wait here for a queued path
  std::condition_variable done_;   // the walk waits here for a running listing
  std::deque<std::string> queue_;  // next first
  std::map<std::string, Job> jobs_;
  size_t ready_ = 0;  // Ready jobs not yet taken, bounded to keep memory in check
  bool stopping_ = false;
  bool helperListed_ = false;  // a helper has listed a folder whole
  int connected_ = 0, mostConnected_ = 0;
  size_t delivered_ = 0, discarded_ = 0;

  // The walk's side, used on the walk's thread only.
  std::string error_;
  std::vector<std::string> skipped_;
};

}  // namespace twinbay
