#include "stream_throttle.hpp"

#include <algorithm>

namespace vorn::sim {
namespace {
// Far beyond any real wait, and small enough for the clock's range.
constexpr double kMaxWaitSeconds = 1e9;
}  // namespace

StreamThrottle::StreamThrottle(std::uint64_t byte_rate, std::uint64_t chunk_rate) noexcept
    : byte_rate_(byte_rate), chunk_rate_(chunk_rate), start_(Clock::now()) {}

bool StreamThrottle::wait(std::uint64_t bytes, std::uint64_t chunks, const std::stop_token& stop) {
  if (!limited()) {
    return !stop.stop_requested();
  }
  // Seconds since the start at which the stream is allowed this far.
  double due = 0.0;
  if (byte_rate_ != 0) {
    due = static_cast<double>(bytes) / static_cast<double>(byte_rate_);
  }
  if (chunk_rate_ != 0) {
    due = std::max(due, static_cast<double>(chunks) / static_cast<double>(chunk_rate_));
  }
  due = std::min(due, kMaxWaitSeconds);
  const auto deadline = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due));
  if (Clock::now() >= deadline) {
    return !stop.stop_requested();  // behind schedule: catch up without a wait
  }
  std::unique_lock lock(mutex_);
  return !wake_.wait_until(lock, deadline, [&] { return stop.stop_requested(); });
}

void StreamThrottle::wake() noexcept {
  { std::lock_guard lock(mutex_); }
  wake_.notify_all();
}

}  // namespace vorn::sim
