// One run at a time per folder pair: a lock on a file of the pair's own in
// the state's folder, taken before a compare and held through the sync after
// it. Another process (the window, a second twinbay-cli) that asks for the
// same pair is refused at once, never left waiting. The lock is the kernel's
// (flock): a run killed in any way leaves nothing that blocks the next.
#pragma once

#include <string>

namespace twinbay {

class PairLock {
 public:
  PairLock() = default;
  ~PairLock() { Release(); }
  PairLock(const PairLock&) = delete;
  PairLock& operator=(const PairLock&) = delete;

  // Takes the lock of the pair `key` (any text naming it) in `folder`;
  // false with `error` when another holds it or it cannot be made. A lock
  // held already is let go first.
  bool Take(const std::string& folder, const std::string& key, std::string& error);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace twinbay
