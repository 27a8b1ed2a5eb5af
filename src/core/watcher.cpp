// The local tree's watcher over inotify.

#include "core/watcher.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "fs/patterns.h"

namespace twinbay {
namespace {

constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                           IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

}  // namespace

CTreeWatcher::~CTreeWatcher() {
  if (fd_ >= 0) close(fd_);
}

bool CTreeWatcher::Start(const std::string& root) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    limited_ = true;
    note_ = std::string("changes here cannot be watched (") + std::strerror(errno) +
            "); the folders are compared in full at intervals instead";
    return false;
  }
  root_ = root;
  if (!AddOne(root)) {
    limited_ = true;
    if (note_.empty()) note_ = "the folder " + root + " cannot be watched; it is compared in full at intervals instead";
    return false;
  }
  AddTree(root);
  return true;
}

// One folder; false when it could not be watched (the limit is noted once).
bool CTreeWatcher::AddOne(const std::string& folder) {
  const int wd = inotify_add_watch(fd_, folder.c_str(), kMask);
  if (wd >= 0) {
    paths_[wd] = folder;
    return true;
  }
  if (errno == ENOSPC && !limited_) {
    limited_ = true;
    note_ = "the system's limit on watched folders was reached after " + std::to_string(paths_.size()) +
            " (/proc/sys/fs/inotify/max_user_watches); changes in the others are found by a full compare at "
            "intervals; raise the limit (sysctl fs.inotify.max_user_watches=N) to watch them all";
  }
  return false;
}

// Every folder below `folder` (not through links: a link's target is not
// part of this tree's changes).
void CTreeWatcher::AddTree(const std::string& folder) {
  std::error_code ec;
  namespace fs = std::filesystem;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec) && !AddOne(it->path().string()) && limited_) return;
  }
}

bool CTreeWatcher::ReadEvents() {
  bool changed = false;
  alignas(inotify_event) char buf[64 * 1024];
  for (;;) {
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + i);
      i += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: folders made meanwhile may be unwatched.
        changed = true;
        AddTree(root_);
        continue;
      }
      if (ev->mask & IN_IGNORED) {
        paths_.erase(ev->wd);
        continue;
      }
      const std::string_view name = ev->len ? std::string_view(ev->name) : std::string_view();
      if (!name.empty() && IsTransferTempName(name)) continue;  // a copy under way, ours
      changed = true;
      if ((ev->mask & IN_ISDIR) && (ev->mask & (IN_CREATE | IN_MOVED_TO))) {
        const auto it = paths_.find(ev->wd);
        if (it == paths_.end()) continue;
        const std::string sub = it->second + "/" + std::string(name);
        if (AddOne(sub)) AddTree(sub);
      }
    }
  }
  return changed;
}

bool CTreeWatcher::Wait(int timeoutMs) {
  if (fd_ < 0) {
    usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  return ReadEvents();
}

void CWatchThread::Start(const std::string& root, std::chrono::seconds interval, std::function<void()> changed) {
  Stop();
  stop_.store(false);
  thread_ = std::thread([this, root, interval, changed = std::move(changed)] {
    using Clock = std::chrono::steady_clock;
    CTreeWatcher watcher;
    watcher.Start(root);
    auto lastChange = Clock::now(), lastCall = lastChange;
    // What changed before the watches were in place is found by one compare.
    bool pending = true;
    while (!stop_.load()) {
      if (watcher.Wait(200)) pending = true, lastChange = Clock::now();
      const auto now = Clock::now();
      if ((pending && now - lastChange >= std::chrono::seconds(1)) || now - lastCall >= interval) {
        pending = false;
        lastCall = now;
        changed();
      }
    }
  });
}

void CWatchThread::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

}  // namespace twinbay
