#include "engine/parallel_lister.h"

#include <algorithm>

namespace twinbay {
namespace {
// Listings made ahead and not yet taken by the walk; beyond this the helpers
// wait, so that a wide tree does not pile up in memory.
constexpr size_t kMaxReady = 1024;
// How far below the folders the walk named the helpers go on their own.
constexpr int kMaxGuess = 2;
}  // namespace

CParallelLister::CParallelLister(IRemoteLister& own, ListerFactory factory, int helpers)
    : own_(own), factory_(std::move(factory)) {
  if (!factory_) helpers = 0;
  for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { Helper(); });
}

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
    if (stopping_ || threads_.empty()) return;
    // The walk goes depth first: the folders it named last are the ones it
    // needs soonest, first of them first.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
      if (jobs_.count(*it)) continue;
      jobs_.emplace(*it, Job());
      queue_.push_front(*it);
    }
  }
  work_.notify_all();
}

bool CParallelLister::ListFolder(const std::string& path, ScanList& out) {
  out.clear();
  error_.clear();
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
        ListNext(own_, lock);
      done_.wait(lock, [&] { return it->second.state == State::Ready; });
      Job job = std::move(it->second);
      jobs_.erase(it);
      --ready_;
      work_.notify_one();
      if (job.ok) {
        ++delivered_;
        out = std::move(job.entries);
        skipped_ = std::move(job.skipped);
        return true;
      }
      ++discarded_;  // listed again below, on the walk's own connection
    }
  }
  const bool ok = own_.ListFolder(path, out);
  if (!ok) error_ = own_.ListingError();
  skipped_ = own_.TakeSkipped();
  return ok;
}

std::vector<std::string> CParallelLister::TakeSkipped() {
  std::vector<std::string> s;
  s.swap(skipped_);
  return s;
}

void CParallelLister::Helper() {
  std::unique_ptr<IRemoteLister> lister = factory_();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!lister) return;  // the server would not have another login: the pool is smaller
  ++connected_;
  mostConnected_ = std::max(mostConnected_, connected_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || (!queue_.empty() && ready_ < kMaxReady); });
    if (stopping_) break;
    const bool ok = ListNext(*lister, lock);
    helperListed_ = helperListed_ || ok;
    // A failed listing: the connection is repaired, or the pool is one smaller.
    if (!ok) {
      lock.unlock();
      const bool usable = lister->Recover();
      lock.lock();
      if (!usable) break;
    }
  }
  --connected_;
  lock.unlock();
  lister.reset();
}

bool CParallelLister::ListNext(IRemoteLister& lister, std::unique_lock<std::mutex>& lock) {
  const std::string path = queue_.front();
  queue_.pop_front();
  Job& started = jobs_[path];
  started.state = State::Running;
  const int guess = started.guess;
  lock.unlock();
  Job result;
  result.ok = lister.ListFolder(path, result.entries);
  result.skipped = lister.TakeSkipped();
  if (!result.ok) result.entries.clear();
  std::vector<std::string> below;
  if (result.ok && guess < kMaxGuess)
    for (const FindData& f : result.entries)
      if (f.IsDirectory() && !f.link && f.name != "." && f.name != ".." && f.name.find('/') == std::string::npos) {
        std::string sub = path;
        CFolderComparer::AppendSeparator(sub, true);
        below.push_back(sub + f.name);
      }
  lock.lock();
  for (const std::string& sub : below)
    if (jobs_.emplace(sub, Job()).second) {
      jobs_[sub].guess = guess + 1;
      queue_.push_back(sub);
    }
  if (!below.empty()) work_.notify_all();
  // Only the walk takes a Running job out, after it is Ready.
  Job& job = jobs_[path];
  job.ok = result.ok;
  job.entries = std::move(result.entries);
  job.skipped = std::move(result.skipped);
  job.state = State::Ready;
  ++ready_;
  done_.notify_all();
  return result.ok;
}

}  // namespace twinbay
