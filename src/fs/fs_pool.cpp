#include "fs/fs_pool.h"

#include <algorithm>

namespace twinbay {

FileSystemPool::Lease::Lease(Lease&& other) noexcept : pool_(other.pool_), fs_(other.fs_) {
  other.pool_ = nullptr;
  other.fs_ = nullptr;
}

FileSystemPool::Lease& FileSystemPool::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Return();
    pool_ = other.pool_;
    fs_ = other.fs_;
    other.pool_ = nullptr;
    other.fs_ = nullptr;
  }
  return *this;
}

void FileSystemPool::Lease::Return() {
  if (pool_ && fs_) pool_->Release(fs_, false);
  pool_ = nullptr;
  fs_ = nullptr;
}

void FileSystemPool::Lease::Drop() {
  if (pool_ && fs_) pool_->Release(fs_, true);
  pool_ = nullptr;
  fs_ = nullptr;
}

bool FileSystemPool::Lease::Repair() {
  if (!fs_) return false;
  if (!fs_->LostConnection() || fs_->Reconnect()) return true;
  Drop();
  return false;
}

FileSystemPool::FileSystemPool(IFileSystem& first, int maximum) : first_(first) {
  auto m = std::make_unique<Member>();
  m->fs = &first;
  members_.push_back(std::move(m));
  SetMaximum(maximum);
}

FileSystemPool::~FileSystemPool() = default;

void FileSystemPool::SetMaximum(int maximum) {
  std::lock_guard g(mutex_);
  maximum_ = std::clamp(maximum, 1, kMaxMembers);
}

int FileSystemPool::Maximum() const {
  std::lock_guard g(mutex_);
  return maximum_;
}

FileSystemPool::Lease FileSystemPool::LeaseLocked(Member& m) {
  m.leased = true;
  m.fs->SetAbortFlag(abortFlag_);
  mostInUse_ = std::max(mostInUse_, ++inUse_);
  return Lease(this, m.fs);
}

FileSystemPool::Lease FileSystemPool::LeaseFirst() {
  std::lock_guard g(mutex_);
  Member& first = *members_.front();
  if (first.leased) return {};
  return LeaseLocked(first);
}

bool FileSystemPool::HasIdle() const {
  std::lock_guard g(mutex_);
  return std::any_of(members_.begin(), members_.end(), [](const auto& m) { return !m->leased; });
}

FileSystemPool::Lease FileSystemPool::Acquire() {
  {
    std::lock_guard g(mutex_);
    for (auto& m : members_)
      if (!m->leased) return LeaseLocked(*m);
    if (static_cast<int>(members_.size()) + opening_ >= maximum_) return {};
    ++opening_;
  }
  // The login waits on the network: the pool is not held meanwhile.
  std::unique_ptr<IFileSystem> made = first_.OpenAnother();
  std::lock_guard g(mutex_);
  --opening_;
  if (!made) {
    // The server takes no more logins: the pool keeps the size it has.
    maximum_ = std::max(1, static_cast<int>(members_.size()) + opening_);
    return {};
  }
  ++opened_;
  auto m = std::make_unique<Member>();
  m->fs = made.get();
  m->owned = std::move(made);
  members_.push_back(std::move(m));
  return LeaseLocked(*members_.back());
}

void FileSystemPool::Release(IFileSystem* fs, bool drop) {
  std::unique_ptr<IFileSystem> closing;
  {
    std::lock_guard g(mutex_);
    auto it = std::find_if(members_.begin(), members_.end(), [&](const auto& m) { return m->fs == fs; });
    if (it == members_.end()) return;
    --inUse_;
    (*it)->leased = false;
    // The first member is the caller's: it is never dropped.
    if (drop && (*it)->owned) {
      closing = std::move((*it)->owned);
      members_.erase(it);
    }
  }
  // Logged out outside the lock (it may wait on the network).
  closing.reset();
}

void FileSystemPool::SetAbortFlag(const std::atomic<bool>* flag) {
  std::lock_guard g(mutex_);
  abortFlag_ = flag;
  for (auto& m : members_)
    if (!m->leased) m->fs->SetAbortFlag(flag);
}

int FileSystemPool::Opened() const {
  std::lock_guard g(mutex_);
  return opened_;
}

int FileSystemPool::MostInUse() const {
  std::lock_guard g(mutex_);
  return mostInUse_;
}

int FileSystemPool::Size() const {
  std::lock_guard g(mutex_);
  return static_cast<int>(members_.size());
}

}  // namespace twinbay
