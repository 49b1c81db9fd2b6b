// The simulated device memory behind write() and read().
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace vorn::sim {

// A zero-initialised byte array addressed by byte offset. Transfers are plain
// copies, clamped at the end of the memory. Not synchronised: the device's
// callers never overlap write and read (they hold the GIL).
//
// The bytes are mapped from the system directly (where it can), not taken
// from the C library's allocator: a large block freed there may stay in the
// allocator's pools, resident, after the device is gone.
class DeviceMemory {
 public:
  // Throws std::runtime_error naming the size when it cannot be allocated.
  explicit DeviceMemory(std::uint64_t size);

  std::uint64_t size() const noexcept { return size_; }

  // Copy length bytes in or out at byte offset addr; the result is the count
  // copied: length clamped at the end, 0 when addr is at or past it.
  std::uint64_t write(std::uint64_t addr, std::uint64_t length, const std::uint8_t* data) noexcept;
  std::uint64_t read(std::uint64_t addr, std::uint64_t length, std::uint8_t* data) const noexcept;

 private:
  struct Free {
    std::uint64_t size;
    void operator()(std::uint8_t* p) const noexcept;
  };
  std::uint64_t clamp(std::uint64_t addr, std::uint64_t length) const noexcept;

  std::uint64_t size_;
  std::unique_ptr<std::uint8_t, Free> bytes_{nullptr, Free{0}};
};

}  // namespace vorn::sim
