// The compare worker appends records while the window's thread counts, tags and reads them;
// threads lease connections from one pool. Under ThreadSanitizer: the guards cover every read.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "fs/fs_pool.h"
#include "engine/totals.h"
#include "fs/local_fs.h"
#include "support/temp_dir.h"

namespace twinbay {
namespace {

// Records are only appended and entries come complete: the count never drops, no entry is half made.
TEST(Concurrency, ReadersRunSafelyBesideACompare) {
  test::TempDir local, remote;
  const int64_t t0 = test::UnixTime(2026, 1, 1, 0, 0, 0);
  for (int d = 0; d < 60; ++d)
    for (int f = 0; f < 40; ++f) {
      const std::string rel = "d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt";
      test::WriteFile(local / rel, "x", t0 + (f % 3) * 10);
      if (f % 4 != 0) test::WriteFile(remote / rel, "y", t0);
    }
  LocalFileSystem lister(remote.path()), disk("/");
  CFolderCollection collection;
  struct : ICompareListener {
    std::atomic<int> count{0};
    void FolderAdded(size_t) override {}
    void FolderFinished(CFolderRecord*) override { ++count; }
  } notify;
  CFolderComparer comparer;
  comparer.BeginCompare(&notify, &disk, &lister, &collection, local.path(), "/", true, false);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    comparer.Run(local.path(), "/", "*.*", true);
    done = true;
  });
  SyncTotals totals;
  size_t lastSeen = 0;
  bool shrank = false;
  long unnamed = 0;
  while (!done) {
    CountTagged(collection, totals, FilterAll);
    auto guard = collection.Lock();
    size_t seen = 0;
    for (size_t i = 0; i < collection.GetCount(); ++i) {
      CFolderRecord* r = collection.GetAt(i);
      for (auto& e : r->entries) {
        ++seen;
        if (e->Name().empty()) ++unnamed;
      }
      r->TagAll();  // a tag click while the walk goes on
      (void)r->Summary();
    }
    if (seen < lastSeen) shrank = true;
    lastSeen = seen;
  }
  worker.join();
  CountTagged(collection, totals, FilterAll);
  // Per folder: 10 local-only files, and 20 of the 30 on both sides are newer locally.
  EXPECT_EQ(totals.allUp + totals.allDown, 60 * 30);
  EXPECT_EQ(notify.count.load(), 61);
  EXPECT_FALSE(shrank || unnamed);
}

// A local folder whose connection can be lost for good.
struct LosableFs : LocalFileSystem {
  LosableFs() : LocalFileSystem("/") {}
  bool lost = false;
  bool LostConnection() const override { return lost; }
  bool Reconnect() override { return !lost; }
  std::unique_ptr<IFileSystem> OpenAnother() const override { return std::make_unique<LosableFs>(); }
};

// Each member is leased to one thread at a time; a member lost for good is dropped.
TEST(Concurrency, APoolLeasesEachMemberToOneThreadOpensUpToItsMaximumAndDropsALostOne) {
  LosableFs first;
  FileSystemPool pool(first, 3);
  {
    FileSystemPool::Lease a = pool.Acquire(), b = pool.Acquire(), c = pool.Acquire();
    EXPECT_TRUE(a.get() == &first && b && c && !pool.Acquire() && !pool.LeaseFirst());
    // A member that cannot log in again leaves the pool; the first only comes back.
    static_cast<LosableFs&>(*b).lost = first.lost = true;
    EXPECT_FALSE(b.Repair() || b || a.Repair());
    first.lost = false;
  }
  EXPECT_EQ(pool.Size(), 2);
  std::mutex m;
  std::set<IFileSystem*> held;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        FileSystemPool::Lease l = pool.Acquire();
        if (!l) continue;
        {
          std::lock_guard g(m);
          EXPECT_TRUE(held.insert(l.get()).second);  // one thread at a time
        }
        std::this_thread::yield();
        std::lock_guard g(m);
        held.erase(l.get());
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(pool.MostInUse(), 3);
  EXPECT_LE(pool.Opened(), 3);  // the two first, and one for the member dropped
}

}  // namespace
}  // namespace twinbay
