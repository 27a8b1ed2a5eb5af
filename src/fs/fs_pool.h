// A pool of connections to one file system, kept for a whole run: the compare's
// connections serve the sync after it. Built over a first file system (the
// caller's, not owned); more are opened with OpenAnother only when there is
// work queued for them and no member is idle, up to a maximum. A member is
// leased to one thread at a time and comes back when its lease ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "fs/file_system.h"

namespace twinbay {

class FileSystemPool {
 public:
  static constexpr int kMaxMembers = 16;

  // The lease of one member; returns it to the pool when it ends.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease() { Return(); }
    explicit operator bool() const { return fs_ != nullptr; }
    IFileSystem& operator*() const { return *fs_; }
    IFileSystem* operator->() const { return fs_; }
    IFileSystem* get() const { return fs_; }
    // After a failure: keeps the member when its connection still works or
    // could be made again (Reconnect), else drops it from the pool (the
    // lease is then empty). True when the member can be used.
    bool Repair();
    // Returns the member now.
    void Return();
    // Drops the member from the pool (its connection cannot be made again);
    // the first member is only returned.
    void Drop();

   private:
    friend class FileSystemPool;
    Lease(FileSystemPool* pool, IFileSystem* fs) : pool_(pool), fs_(fs) {}
    FileSystemPool* pool_ = nullptr;
    IFileSystem* fs_ = nullptr;
  };

  // `maximum` members in all, the first one included (1 to 16).
  FileSystemPool(IFileSystem& first, int maximum);
  // Closes the members it opened (the first is left alone); no lease may be
  // out.
  ~FileSystemPool();
  FileSystemPool(const FileSystemPool&) = delete;
  FileSystemPool& operator=(const FileSystemPool&) = delete;

  // Changes the maximum for what is opened from now on (members already open
  // stay).
  void SetMaximum(int maximum);
  int Maximum() const;

  // The first member, when it is idle (else an empty lease).
  Lease LeaseFirst();
  // An idle member (the first one preferred), or one more opened with
  // OpenAnother when none is idle and the pool is below its maximum; an
  // empty lease when neither can be had. A server that refuses one more
  // login leaves the pool at the size it has (the maximum is lowered).
  // Opening waits on the network: never call it on a window's thread.
  Lease Acquire();
  // Whether Acquire would find an idle member now.
  bool HasIdle() const;

  // The flag set on every member (now on the idle ones, on the others as
  // they are leased next); null for none.
  void SetAbortFlag(const std::atomic<bool>* flag);

  // Members opened with OpenAnother over the pool's life, the most leased at
  // once, and the members open now (the first one included).
  int Opened() const;
  int MostInUse() const;
  int Size() const;

 private:
  struct Member {
    IFileSystem* fs = nullptr;
    std::unique_ptr<IFileSystem> owned;  // null for the first
    bool leased = false;
  };
  Lease LeaseLocked(Member& m);
  void Release(IFileSystem* fs, bool drop);

  IFileSystem& first_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Member>> members_;
  int maximum_ = 1;
  int opening_ = 0;  // OpenAnother calls under way
  int inUse_ = 0, mostInUse_ = 0, opened_ = 0;
  const std::atomic<bool>* abortFlag_ = nullptr;
};

}  // namespace twinbay
