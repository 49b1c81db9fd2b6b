// Pacing of a simulated stream to a byte rate and a chunk rate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace vorn::sim {

// wait() is called by the producer thread only; wake() by any thread after it
// requested the stop, which ends a wait in progress at once. The wait checks
// the stop token under the mutex that wake() takes, so a wake-up cannot fall
// between the check and the sleep (no stop callback is registered: some
// standard libraries wait for a running one on a semaphore that can miss its
// release).
class StreamThrottle {
 public:
  // Rates of 0 mean unlimited; with both 0 the throttle never waits.
  StreamThrottle(std::uint64_t byte_rate, std::uint64_t chunk_rate) noexcept;

  bool limited() const noexcept { return byte_rate_ != 0 || chunk_rate_ != 0; }

  // Waits until a stream that has produced `bytes` in `chunks` may produce
  // more. Returns false if a stop was requested.
  bool wait(std::uint64_t bytes, std::uint64_t chunks, const std::stop_token& stop);

  // Ends a wait in progress; call it after the stop was requested.
  void wake() noexcept;

 private:
  using Clock = std::chrono::steady_clock;

  std::uint64_t byte_rate_;
  std::uint64_t chunk_rate_;
  Clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
};

}  // namespace vorn::sim
