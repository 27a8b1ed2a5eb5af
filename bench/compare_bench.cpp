// Compare of a synthetic tree, both sides local (the "remote" side through the
// remote-listing interface). Prints wall times, peak memory and the bytes the
// result holds per file entry.
//
//   compare_bench [files=100000] [folders=5000] [work folder]
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <atomic>
#include <malloc.h>
#include <unordered_map>

#include "engine/comparer.h"
#include "engine/filters.h"
#include "engine/totals.h"
#include "fs/local_fs.h"

using namespace twinbay;

namespace {

std::atomic<long long> g_live{0};
std::atomic<bool> g_counting{false};

}  // namespace

// Heap bytes still allocated, counted with the allocator's usable size.
void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  if (g_counting) g_live += static_cast<long long>(malloc_usable_size(p));
  return p;
}
void operator delete(void* p) noexcept {
  if (p && g_counting) g_live -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Touch(const std::string& path, time_t t) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
  struct timespec ts[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

// The remote side: a local folder standing in for the server.
using CachedLister = LocalFileSystem;

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 5000;
  std::string work = argc > 3 ? argv[3] : (std::filesystem::temp_directory_path() / "twinbay-bench").string();
  const std::string local = work + "/local", remote = work + "/remote";
  const int perFolder = files / folders;
  const time_t t0 = 1'700'000'000;

  auto start = std::chrono::steady_clock::now();
  std::filesystem::remove_all(work);
  for (int d = 0; d < folders; ++d) {
    // 50 top folders, the rest below them, so the walk goes two levels deep.
    const std::string rel = "/top" + std::to_string(d % 50) + (d >= 50 ? "/sub" + std::to_string(d) : "");
    std::filesystem::create_directories(local + rel);
    std::filesystem::create_directories(remote + rel);
    for (int f = 0; f < perFolder; ++f) {
      const std::string name = rel + "/file-" + std::to_string(f) + ".html";
      Touch(local + name, t0 + (f % 5 == 0 ? 100 : 0));
      if (f % 7 != 0) Touch(remote + name, t0);
    }
  }
  std::printf("tree made: %d files in %d folders per side, %.2f s\n", perFolder * folders, folders,
              Seconds(std::chrono::steady_clock::now() - start));

  // Warm the page cache, then time a full compare (listing included).
  for (int pass = 0; pass < 2; ++pass) {
    CachedLister lister(remote);
    CFolderCollection collection;
    CFolderComparer comparer;
    g_live = 0;
    g_counting = pass == 1;
    start = std::chrono::steady_clock::now();
    LocalFileSystem disk("/");
    comparer.BeginCompare(nullptr, &disk, &lister, &collection, local, "/", true, true);
    comparer.Run(local, "/", "*.*", true);
    const double secs = Seconds(std::chrono::steady_clock::now() - start);
    g_counting = false;
    if (pass == 0) continue;

    size_t entries = 0, nameBytes = 0;
    for (size_t i = 0; i < collection.GetCount(); ++i)
      for (auto& e : collection.GetAt(i)->entries) {
        ++entries;
        // Names longer than the string's inline buffer have their own block.
        if (e->local && e->local->name.size() > 15) nameBytes += e->local->name.size() + 1;
        if (e->remote && e->remote->name.size() > 15) nameBytes += e->remote->name.size() + 1;
      }
    const double perEntry =
        static_cast<double>(g_live.load() - static_cast<long long>(nameBytes)) / static_cast<double>(entries);
    SyncTotals totals;
    start = std::chrono::steady_clock::now();
    CountTagged(collection, totals, FilterAll);
    const double countSecs = Seconds(std::chrono::steady_clock::now() - start);

    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    std::printf("compare (listing both sides and walking): %.3f s for %zu entries in %zu folders\n", secs, entries,
                collection.GetCount());
    std::printf("  %ld up, %ld down\n", totals.allUp, totals.allDown);
    std::printf("count tagged: %.4f s\n", countSecs);
    std::printf("result in memory: %.1f MB, %.0f bytes per file entry beyond its names (target <= 200)\n",
                static_cast<double>(g_live.load()) / 1e6, perEntry);
    std::printf("peak resident memory: %.1f MB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
  }

  // The walk alone, with both trees' listings already in memory.
  {
    struct MemLister : LocalFileSystem {
      MemLister() : LocalFileSystem("/") {}
      std::unordered_map<std::string, ScanList> lists;
      bool List(const std::string& path, ScanList& out) override {
        auto it = lists.find(path);
        if (it == lists.end()) return false;
        out = it->second;
        return true;
      }
    } mem;
    for (auto& p : std::filesystem::recursive_directory_iterator(remote)) {
      if (!p.is_directory()) continue;
      ScanList l;
      ListLocalFolder(p.path().string(), l);
      mem.lists[p.path().string().substr(remote.size())] = std::move(l);
    }
    ScanList rootList;
    ListLocalFolder(remote, rootList);
    mem.lists["/"] = rootList;
    CFolderCollection collection;
    CFolderComparer comparer;
    start = std::chrono::steady_clock::now();
    LocalFileSystem disk("/");
    comparer.BeginCompare(nullptr, &disk, &mem, &collection, local, "/", true, true);
    comparer.Run(local, "/", "*.*", true);
    std::printf("compare with the remote listings in memory: %.3f s (target < 1.5 s)\n",
                Seconds(std::chrono::steady_clock::now() - start));
  }
  std::filesystem::remove_all(work);
  return 0;
}
