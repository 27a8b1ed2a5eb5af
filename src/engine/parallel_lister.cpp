#include "engine/parallel_lister.h"

#include <algorithm>
#include <system_error>

namespace twinbay {
namespace {
// Listings made ahead and not yet taken by the walk; beyond this the helpers
// wait, so that a wide tree does not pile up in memory.
constexpr size_t kMaxReady = 1024;
// How far below the folders the walk named the helpers go on their own.
constexpr int kMaxGuess = 2;
}  // namespace

CParallelLister::CParallelLister(IFileSystem& own, FileSystemPool& pool, int helpers)
    : own_(own), pool_(pool), helpers_(std::clamp(helpers, 0, FileSystemPool::kMaxMembers - 1)) {}

CParallelLister::~CParallelLister() { Stop(); }

void CParallelLister::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  done_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

int CParallelLister::HelpersConnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

int CParallelLister::MostHelpersConnected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mostConnected_;
}

size_t CParallelLister::Delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

size_t CParallelLister::Discarded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return discarded_;
}

void CParallelLister::WillList(const std::vector<std::string>& paths) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || helpers_ == 0) return;
    // The walk goes depth first: the folders it named last are the ones it
    // needs soonest, first of them first.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
      if (jobs_.count(*it)) continue;
      jobs_.emplace(*it, Job());
      queue_.push_front(*it);
    }
    StartHelpers();
  }
  work_.notify_all();
}

void CParallelLister::StartHelpers() {
  // One helper for every queued folder no helper is free for, all logging in
  // at once: on a distant server a login takes many round trips, and helpers
  // opened one after another arrive when the walk is nearly over.
  while (!stopping_ && !poolFull_ && static_cast<size_t>(idle_) < queue_.size() &&
         static_cast<int>(threads_.size()) < helpers_) {
    ++idle_;  // until it takes a folder
    try {
      threads_.emplace_back([this] { Helper(); });
    } catch (const std::system_error&) {
      --idle_;
      poolFull_ = true;
    }
  }
}

bool CParallelLister::List(const std::string& path, ScanList& out) {
  out.clear();
  skipped_.clear();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = jobs_.find(path);
    if (it != jobs_.end() && it->second.state == State::Queued) {
      // No helper has started on it: listing it here is quicker than waiting.
      queue_.erase(std::find(queue_.begin(), queue_.end(), path));
      jobs_.erase(it);
    } else if (it != jobs_.end()) {
      // Rather than wait idle, the walk's own connection lists what is queued
      // next. Only once a helper has listed something: until then the first
      // connection may still be finding out the server's time offset, in the
      // walk's order.
      while (it->second.state != State::Ready && helperListed_ && !queue_.empty() && ready_ < kMaxReady)
        ListNext(own_, lock, 1);
      done_.wait(lock, [&] { return it->second.state == State::Ready; });
      Job job = std::move(it->second);
      jobs_.erase(it);
      --ready_;
      work_.notify_one();
      if (job.ok) {
        ++delivered_;
        out = std::move(job.entries);
        skipped_ = std::move(job.skipped);
        leftOut_ = std::move(job.leftOut);
        return true;
      }
      ++discarded_;  // listed again below, on the walk's own connection
    }
  }
  const bool ok = own_.List(path, out);
  skipped_ = own_.TakeSkipped();
  leftOut_ = own_.TakeLeftOut();
  return ok;
}

std::vector<std::string> CParallelLister::TakeSkipped() {
  std::vector<std::string> s;
  s.swap(skipped_);
  return s;
}

void CParallelLister::Helper() {
  FileSystemPool::Lease fs = pool_.Acquire();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!fs) {
    // The pool has no member to spare (the server takes no more logins).
    --idle_;
    poolFull_ = true;
    return;
  }
  ++connected_;
  mostConnected_ = std::max(mostConnected_, connected_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || (!queue_.empty() && ready_ < kMaxReady); });
    if (stopping_) break;
    --idle_;
    const bool ok = ListNext(*fs, lock, fs->ListsAtOnce());
    helperListed_ = helperListed_ || ok;
    // A failed listing: the connection is repaired, or the pool is one smaller.
    bool usable = true;
    if (!ok) {
      lock.unlock();
      usable = fs.Repair();
      lock.lock();
    }
    if (!usable) break;
    ++idle_;
  }
  if (stopping_) --idle_;
  --connected_;
  lock.unlock();
  fs.Return();
}

bool CParallelLister::ListNext(IFileSystem& fs, std::unique_lock<std::mutex>& lock, size_t most) {
  // The first queued folder, and up to `most` in all while more are queued
  // than idle helpers would take: their requests go out together.
  std::vector<std::string> paths;
  std::vector<int> guesses;
  do {
    paths.push_back(queue_.front());
    queue_.pop_front();
    Job& started = jobs_[paths.back()];
    started.state = State::Running;
    guesses.push_back(started.guess);
  } while (paths.size() < most && queue_.size() > static_cast<size_t>(idle_) && ready_ + paths.size() < kMaxReady);
  lock.unlock();
  bool whole = true;
  fs.ListInTurn(paths, [&](size_t i, bool ok, ScanList& entries) {
    const std::string& path = paths[i];
    Job result;
    result.ok = ok;
    if (ok) result.entries = std::move(entries);
    result.skipped = fs.TakeSkipped();
    result.leftOut = fs.TakeLeftOut();
    whole = whole && ok;
    std::vector<std::string> below;
    if (result.ok && guesses[i] < kMaxGuess)
      for (const FindData& f : result.entries)
        if (f.IsDirectory() && !f.link && f.name != "." && f.name != ".." && f.name.find('/') == std::string::npos) {
          std::string sub = path;
          CFolderComparer::AppendSeparator(sub, true);
          below.push_back(sub + f.name);
        }
    lock.lock();
    for (const std::string& sub : below)
      if (jobs_.emplace(sub, Job()).second) {
        jobs_[sub].guess = guesses[i] + 1;
        queue_.push_back(sub);
      }
    if (!below.empty()) {
      StartHelpers();
      work_.notify_all();
    }
    // Only the walk takes a Running job out, after it is Ready.
    Job& job = jobs_[path];
    job.ok = result.ok;
    job.entries = std::move(result.entries);
    job.skipped = std::move(result.skipped);
    job.leftOut = std::move(result.leftOut);
    job.state = State::Ready;
    ++ready_;
    done_.notify_all();
    lock.unlock();
  });
  lock.lock();
  return whole;
}

}  // namespace twinbay
