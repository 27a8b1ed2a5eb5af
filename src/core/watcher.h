// Watches a local folder tree for changes (inotify): every folder below the
// top, new folders as they appear. It says only that something changed, not
// what: a change leads to a full compare, which finds what it was.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>

namespace twinbay {

class CTreeWatcher {
 public:
  CTreeWatcher() = default;
  ~CTreeWatcher();
  CTreeWatcher(const CTreeWatcher&) = delete;
  CTreeWatcher& operator=(const CTreeWatcher&) = delete;

  // Watches `root` and every folder below it. False when changes cannot be
  // seen at all (no inotify, the top not watchable); Limited() then or
  // later when the kernel's limit on watches was reached. Note() says why.
  bool Start(const std::string& root);
  // Waits up to timeoutMs for events and reads them: true when one of them
  // may be a change the user made (the transfer's own temporary files do
  // not count). New folders are watched; a lost event queue counts as a
  // change (the compare looks at everything).
  bool Wait(int timeoutMs);
  // Some folders are not watched (the kernel's watch limit, or no inotify):
  // only a periodic full compare sees their changes.
  bool Limited() const { return limited_; }
  const std::string& Note() const { return note_; }
  size_t Watched() const { return paths_.size(); }

 private:
  void AddTree(const std::string& folder);
  bool AddOne(const std::string& folder);
  bool ReadEvents();

  int fd_ = -1;
  std::string root_;
  bool limited_ = false;
  std::string note_;
  std::unordered_map<int, std::string> paths_;  // watch descriptor -> folder
};

// A watcher on its own thread, for a window whose thread must never wait:
// `changed` is called on that thread once changes have been quiet for a
// second, and every `interval` in any case (the server's changes).
class CWatchThread {
 public:
  ~CWatchThread() { Stop(); }
  void Start(const std::string& root, std::chrono::seconds interval, std::function<void()> changed);
  // Ends the thread and waits for it (within a poll).
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace twinbay
