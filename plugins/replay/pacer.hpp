// Holds a replayed stream to a byte rate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace vorn::replay {

// pace() runs on the producer only; wake() on any thread, after it requested
// the stop. The stop is checked under the mutex that wake() takes, so a
// wake-up cannot fall between that check and the wait.
class Pacer {
 public:
  // 0 bytes per second: never waits.
  explicit Pacer(std::uint64_t bytes_per_second) noexcept;

  // Waits until `sent` bytes since the start are due. False once the stop
  // was requested.
  bool pace(std::uint64_t sent, const std::stop_token& stop);

  void wake() noexcept;

 private:
  using Clock = std::chrono::steady_clock;

  const std::uint64_t bytes_per_second_;
  const Clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable woken_;
};

}  // namespace vorn::replay
