#include "device_memory.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

#include "sim_options.hpp"

#if defined(_WIN32)
#include <cstdlib>
#else
#include <sys/mman.h>
#endif

namespace vorn::sim {

namespace {

// Zeroed pages, handed out lazily: a large memory costs nothing until it is
// touched. Null when they cannot be had.
std::uint8_t* map_zeroed(std::uint64_t size) noexcept {
#if defined(_WIN32)
  return static_cast<std::uint8_t*>(std::calloc(size, 1));
#else
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return pages == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(pages);
#endif
}

}  // namespace

void DeviceMemory::Free::operator()(std::uint8_t* p) const noexcept {
#if defined(_WIN32)
  std::free(p);
#else
  munmap(p, size);
#endif
}

DeviceMemory::DeviceMemory(std::uint64_t size) : size_(size) {
  if (size == 0) {
    return;
  }
  bytes_ = std::unique_ptr<std::uint8_t, Free>(map_zeroed(size), Free{size});
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
