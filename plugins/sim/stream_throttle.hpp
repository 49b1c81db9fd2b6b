// Pacing of a simulated stream to a byte rate and a chunk rate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace vorn::sim {

// Used by the producer thread only; a stop request ends any wait at once.
class StreamThrottle {
 public:
  // Rates of 0 mean unlimited; with both 0 the throttle never waits.
  StreamThrottle(std::uint64_t byte_rate, std::uint64_t chunk_rate) noexcept;

  bool limited() const noexcept { return byte_rate_ != 0 || chunk_rate_ != 0; }

  // Waits until a stream that has produced `bytes` in `chunks` may produce
  // more. Returns false if a stop was requested.
  bool wait(std::uint64_t bytes, std::uint64_t chunks, std::stop_token stop);

 private:
  using Clock = std::chrono::steady_clock;

  std::uint64_t byte_rate_;
  std::uint64_t chunk_rate_;
  Clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
};

}  // namespace vorn::sim
