// The data argument of Device.write and Device.read.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace pyvorn {

// A one-dimensional, contiguous view of unsigned bytes taken from a Python
// object that offers the buffer protocol. The view is held for the object's
// lifetime and released on destruction, also when a check fails.
//
// Checks, in order, each throwing std::runtime_error (RuntimeError):
// the buffer request itself (the object's own error, unchanged), read-only
// (only when `writable`), "ndim != 1", "Unsupported buffer format!" (anything
// but exactly "B"), "strides[0] != 1". GIL held.
class ByteBuffer {
 public:
  ByteBuffer(const pybind11::buffer& object, bool writable);
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
  std::uint64_t size() const noexcept { return static_cast<std::uint64_t>(view_.len); }

 private:
  Py_buffer view_{};
};

}  // namespace pyvorn

namespace pybind11::detail {

// A py::buffer argument renders as "buffer" in signatures, as before
// pybind11 2.12 (which renders "Buffer"), so the module's signatures are the
// same on every pybind11. Every translation unit that binds a py::buffer
// argument includes this header.
template <>
class type_caster<buffer> : public pyobject_caster<buffer> {
 public:
  static constexpr auto name = const_name("buffer");
};

}  // namespace pybind11::detail
