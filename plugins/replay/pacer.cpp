#include "pacer.hpp"

#include <algorithm>

namespace vorn::replay {

Pacer::Pacer(std::uint64_t bytes_per_second) noexcept : bytes_per_second_(bytes_per_second), start_(Clock::now()) {}

bool Pacer::pace(std::uint64_t sent, const std::stop_token& stop) {
  if (bytes_per_second_ == 0) {
    return !stop.stop_requested();
  }
  // At most a year ahead: far beyond any real wait, well inside the clock.
  const double seconds = std::min(static_cast<double>(sent) / static_cast<double>(bytes_per_second_), 3.2e7);
  const auto due = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::unique_lock lock(mutex_);
  return !woken_.wait_until(lock, due, [&] { return stop.stop_requested(); });
}

void Pacer::wake() noexcept {
  { std::lock_guard lock(mutex_); }
  woken_.notify_all();
}

}  // namespace vorn::replay
