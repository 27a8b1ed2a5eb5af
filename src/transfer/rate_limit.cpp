#include "transfer/rate_limit.h"

#include <algorithm>

namespace twinbay {

RateLimit::RateLimit(uint64_t bytesPerSecond, Clock clock)
    : rate_(static_cast<double>(std::max<uint64_t>(bytesPerSecond, 1))),
      burst_(std::max(rate_ / 4, 65536.0)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      tokens_(burst_),
      last_(clock_()) {}

std::chrono::nanoseconds RateLimit::Reserve(uint64_t bytes) {
  std::lock_guard g(mutex_);
  const auto now = clock_();
  const double elapsed = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  // Refilled at the rate for the time since the last call, up to the burst.
  tokens_ = std::min(burst_, tokens_ + std::max(0.0, elapsed) * rate_) - static_cast<double>(bytes);
  if (tokens_ >= 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(static_cast<int64_t>(-tokens_ / rate_ * 1e9));
}

}  // namespace twinbay
