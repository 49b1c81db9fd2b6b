// Activity counters shared by a simulated device and its streams.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::sim {

// Owned through std::shared_ptr by the device and by each of its streams, so
// a stream may outlive its device. All counters are relaxed atomics: they are
// statistics, not synchronisation.
struct DeviceStats {
  std::atomic<std::uint64_t> bytes_written{0};
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> streams_started{0};
  std::atomic<std::uint64_t> streams_running{0};
  std::atomic<std::uint64_t> stream_chunks{0};
  std::atomic<std::uint64_t> stream_bytes{0};
  std::atomic<std::uint64_t> stream_errors{0};
};

}  // namespace vorn::sim
