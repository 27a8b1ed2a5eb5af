#include "core/free_space.h"

#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace twinbay {

struct FreeSpaceQuery::Shared {
  std::mutex mutex;
  Answer answer;  // empty once the query is gone
  Measure measure;
  std::optional<std::string> pending;  // the newest request not yet measured
  bool running = false;                // a thread works on the requests
};

FreeSpaceQuery::FreeSpaceQuery(Answer answer, Measure measure) : shared_(std::make_shared<Shared>()) {
  shared_->answer = std::move(answer);
  shared_->measure = std::move(measure);
}

FreeSpaceQuery::~FreeSpaceQuery() {
  // Waits for an answer being given (it holds the mutex), none after it.
  std::lock_guard g(shared_->mutex);
  shared_->answer = nullptr;
  shared_->pending.reset();
}

void FreeSpaceQuery::SetMeasure(Measure measure) {
  std::lock_guard g(shared_->mutex);
  shared_->measure = std::move(measure);
}

void FreeSpaceQuery::Ask(const std::string& path) {
  std::lock_guard g(shared_->mutex);
  shared_->pending = path;
  if (shared_->running) return;  // its thread measures this one next
  try {
    // Detached: a measurement that hangs must not hold up the window's end.
    std::thread([shared = shared_] { Work(shared); }).detach();
    shared_->running = true;
  } catch (const std::system_error&) {
    shared_->pending.reset();  // no answer this time; the next request tries again
  }
}

void FreeSpaceQuery::Work(const std::shared_ptr<Shared>& shared) {
  for (;;) {
    std::string path;
    Measure measure;
    {
      std::lock_guard g(shared->mutex);
      if (!shared->pending) {
        shared->running = false;
        return;
      }
      path = std::move(*shared->pending);
      shared->pending.reset();
      measure = shared->measure;
    }
    struct statvfs st {};
    bool known = !path.empty() && path[0] == '/';
    while (known && measure(path.c_str(), &st) != 0) {
      const size_t slash = path.find_last_of('/');
      if (path == "/") known = false;
      else path = slash == 0 ? "/" : path.substr(0, slash);
    }
    std::lock_guard g(shared->mutex);
    // A newer request makes this answer stale.
    if (!shared->pending && shared->answer)
      shared->answer(known, known ? static_cast<double>(st.f_bavail) * static_cast<double>(st.f_frsize) : 0.0);
  }
}

}  // namespace twinbay
