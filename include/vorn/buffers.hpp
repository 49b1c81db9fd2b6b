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

// The rules for a chunk that a device pushes into a stream, either kind:
// - data may be null only with size 0 (an empty chunk);
// - size is at most PTRDIFF_MAX (what a Python buffer, Py_ssize_t, can
//   describe).
// The module hands a chunk that breaks them on as an error text in its place,
// and the stream goes on:
//   "Invalid stream chunk: null data with N bytes"
//   "Invalid stream chunk: N bytes is more than a buffer can hold"
// (N the chunk's size in decimal), an owning one's block released during the
// push, through its deleter (a null one is never called). Bytes that the
// module copies (see below) and cannot get the memory for become "Out of
// memory: cannot copy a chunk view of N bytes".

// An owned block of bytes. Move-only. Layout: deleter, data, size.
// Destroying a ManagedBuffer whose data is not null calls deleter(data) once;
// a null data pointer never reaches the deleter.
// Pushed into a stream with a null deleter (and data not null), it is taken
// as a chunk view: its bytes are copied during the push, the block stays the
// device's, and the module lets go of the pointer in the device's event, so
// that destroying the event calls nothing.
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
// stream is valid only until the call that delivered it returns. A view that
// a device pushes is copied during the push.
struct DataView {
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

}  // namespace vorn
