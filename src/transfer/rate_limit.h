// A bandwidth limit shared by every copy of a run: one token bucket that the
// copies' threads draw from, whichever connection they use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace twinbay {

class RateLimit {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // At most `bytesPerSecond` on average; at most a quarter second's worth
  // (and never less than 64 KiB) may go at once after a pause. The clock
  // is the steady clock unless the tests give one.
  explicit RateLimit(uint64_t bytesPerSecond, Clock clock = {});
  // Counts `bytes` as sent and returns how long the caller is to wait before
  // sending them, so that the bytes of every caller together keep to the
  // rate (a debt one caller runs up delays the next one too).
  std::chrono::nanoseconds Reserve(uint64_t bytes);

 private:
  std::mutex mutex_;
  const double rate_, burst_;
  Clock clock_;
  double tokens_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace twinbay
