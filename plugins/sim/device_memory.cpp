#include "device_memory.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

#include "sim_options.hpp"

namespace vorn::sim {

DeviceMemory::DeviceMemory(std::uint64_t size) : size_(size) {
  if (size == 0) {
    return;
  }
  // calloc: the kernel hands out zeroed pages lazily, so a large memory costs
  // nothing until it is touched.
  bytes_.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  if (!bytes_) {
    throw std::runtime_error("sim: cannot allocate device memory of " + format_size(size) + " bytes");
  }
}

std::uint64_t DeviceMemory::clamp(std::uint64_t addr, std::uint64_t length) const noexcept {
  if (addr >= size_) {
    return 0;
  }
  return length < size_ - addr ? length : size_ - addr;
}

std::uint64_t DeviceMemory::write(std::uint64_t addr, std::uint64_t length, const std::uint8_t* data) noexcept {
  const std::uint64_t count = data == nullptr ? 0 : clamp(addr, length);
  if (count != 0) {
    std::memcpy(bytes_.get() + addr, data, count);
  }
  return count;
}

std::uint64_t DeviceMemory::read(std::uint64_t addr, std::uint64_t length, std::uint8_t* data) const noexcept {
  const std::uint64_t count = data == nullptr ? 0 : clamp(addr, length);
  if (count != 0) {
    std::memcpy(data, bytes_.get() + addr, count);
  }
  return count;
}

}  // namespace vorn::sim
