// The bridge that lets a Python subclass of Device implement the device
// interface.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "runtime/checked_casters.hpp"
#include "vorn/device.hpp"

namespace pyvorn {

// Trampoline of the Python class Device. Every operation forwards to the
// Python method of the same name when the Python object's class defines one.
// Without one: set_register_sync and get_register_sync run the interface's
// own implementation, get_status and get_info return nothing, and the other
// operations are missing methods.
//
// Threading: any thread may call an operation; each takes the GIL for the
// Python part only. start_read_stream never runs Python and returns nothing.
//
// Errors of the non-throwing operations (a missing method, an exception of
// the Python method, a method that is not callable, a result that does not
// convert) turn into the failure result of the operation's type (Failure, an
// empty optional or 0) and leave the Python error pending on the calling
// thread. A Device method called from Python raises it when the native call
// returns (see PythonCallScope); outside such a call the error is reported
// as unraisable and cleared. While an error is pending, forwarding calls
// return their failure result without running any Python code, so the first
// error is the one reported.
class PyDevice : public vorn::Device {
 public:
  PyDevice() = default;

  vorn::BasicDeviceStatus set_register_sync(std::uint32_t addr, std::uint32_t value,
                                            std::uint32_t extra) noexcept override;
  vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  vorn::BasicDeviceStatus send_registers() noexcept override;
  std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) noexcept override;
  std::uint32_t get_register(std::uint32_t addr) noexcept override;
  vorn::BasicDeviceStatus read_registers() noexcept override;
  vorn::BasicDeviceStatus trigger(std::uint32_t addr, int value) noexcept override;
  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, vorn::StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override;
  // May throw: the Python method's exception, a cast error, or a TypeError
  // for an attribute that is not callable.
  std::optional<std::string> get_status() override;
  std::optional<std::string> get_info() override;
};

// Marks a call from Python into a Device method on this thread. Errors that
// forwarding operations leave pending during the call are raised by
// raise_pending() once the native call has returned. Scopes nest. GIL held.
class PythonCallScope {
 public:
  PythonCallScope() noexcept;
  ~PythonCallScope();
  PythonCallScope(const PythonCallScope&) = delete;
  PythonCallScope& operator=(const PythonCallScope&) = delete;

  // True while a scope is open on this thread.
  static bool active() noexcept;
  // Throws the pending Python error, if any, as pybind11::error_already_set.
  static void raise_pending();
};

// Names, for the length of a Device.write or Device.read call on this thread,
// the Python object whose buffer the device receives. A Python-implemented
// device is then lent a view of that object itself: a view it derives and
// keeps past the call holds an export of the caller's object, so it never
// points at released memory. Without one (a native caller), the device gets
// a view of the bare memory, and a view derived from it that outlives the
// call makes the call fail with BufferError. GIL held.
class LentBuffer {
 public:
  LentBuffer(pybind11::handle source, const std::uint8_t* data, std::uint64_t size) noexcept;
  ~LentBuffer();
  LentBuffer(const LentBuffer&) = delete;
  LentBuffer& operator=(const LentBuffer&) = delete;

  // The object whose buffer starts at `data` and holds `size` bytes, if one
  // is lent on this thread; otherwise a null handle.
  static pybind11::handle source_of(const std::uint8_t* data, std::uint64_t size) noexcept;

 private:
  pybind11::handle source_;
  const std::uint8_t* data_;
  std::uint64_t size_;
  const LentBuffer* previous_;
};

// Runs a device operation on behalf of a Python caller and raises any error
// a Python-implemented device left pending. GIL held.
template <typename Call>
auto call_device(Call&& call) {
  PythonCallScope scope;
  auto result = call();
  PythonCallScope::raise_pending();
  return result;
}

}  // namespace pyvorn
