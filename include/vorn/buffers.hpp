// Byte blocks that cross the plug-in boundary.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace vorn {

// Releases a block that a plug-in (or the module) allocated. Must be callable
// from any thread: the last owner of a block may be a Python thread, the
// module's stream worker or the device's own producer thread.
using BlockDeleter = void (*)(std::uint8_t*);

// An owned block of bytes. Move-only. Layout: deleter, data, size.
// Destroying a ManagedBuffer whose data is not null calls deleter(data) once;
// a null data pointer never reaches the deleter.
struct ManagedBuffer {
  std::unique_ptr<std::uint8_t[], BlockDeleter> data{nullptr, nullptr};
  std::uint64_t size = 0;

  ManagedBuffer() = default;
  ManagedBuffer(std::uint8_t* block, std::uint64_t bytes, BlockDeleter deleter) noexcept
      : data(block, deleter), size(bytes) {}
  ManagedBuffer(ManagedBuffer&&) noexcept = default;
  ManagedBuffer& operator=(ManagedBuffer&&) noexcept = default;
  ManagedBuffer(const ManagedBuffer&) = delete;
  ManagedBuffer& operator=(const ManagedBuffer&) = delete;
  ~ManagedBuffer() = default;
};

// A view of bytes owned elsewhere. Trivially copyable; releases nothing.
// Valid only while the memory it points at lives: a view delivered by a
// stream is valid only until the call that delivered it returns.
struct DataView {
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

}  // namespace vorn
