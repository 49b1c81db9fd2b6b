#include "bridges/py_device.hpp"

#include <Python.h>

#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "runtime/binding_internals.hpp"
#include "runtime/python_runtime.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

thread_local int open_call_scopes = 0;
thread_local const LentBuffer* lent_buffer = nullptr;

using Status = vorn::BasicDeviceStatus;

// The GIL for one call into a Python method. A thread that holds it goes
// straight on; any other (a device's own thread) takes it only through the
// exit gate, so that it never enters an interpreter that is finalizing (it
// gets the failure result instead of being ended inside a noexcept frame).
class MethodGil {
 public:
  MethodGil() noexcept : held_(holds_gil()), admitted_(!held_ && PythonGate::admit()) {
    if (admitted_) {
      gil_.emplace();
    }
  }
  ~MethodGil() {
    if (admitted_) {
      gil_.reset();
      PythonGate::leave();
    }
  }
  MethodGil(const MethodGil&) = delete;
  MethodGil& operator=(const MethodGil&) = delete;
  explicit operator bool() const noexcept { return held_ || admitted_; }

 private:
  bool held_;
  bool admitted_;
  std::optional<py::gil_scoped_acquire> gil_;
};

// Looks up the Python override of `name` on the object that owns `device`.
py::function find_override(const PyDevice* device, const char* name) {
  return py::get_override(static_cast<const vorn::Device*>(device), name);
}

[[noreturn]] void missing_method(const char* name) {
  py::pybind11_fail(std::string("Tried to call pure virtual function \"Device::") + name + "\"");
}

// Leaves the error of the active exception pending in the Python error
// indicator. GIL held.
void set_pending_error() noexcept {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
  }
}

// The fallback of an operation the interface leaves to the device: a
// missing Python method is an error.
struct NoFallback {};

// Forwards a non-throwing operation to the Python method `name` of the
// object that owns `device`: `invoke(method)` calls it and converts the
// result, with the GIL held. Without such a method, `fallback()` runs with
// the GIL given back (it may forward other operations), or the call fails as
// a missing method when there is no fallback. Returns `failure` when the
// interpreter is exiting (a native thread is not let in), when an error is
// already pending or when the call fails; the error then stays pending for
// the Python caller, or is reported as unraisable when no Python caller
// waits for it. Any thread.
template <typename R, typename Invoke, typename Fallback = NoFallback>
R forward(const PyDevice* device, const char* name, R failure, Invoke&& invoke, Fallback&& fallback = {}) noexcept {
  constexpr bool has_fallback = !std::is_same_v<std::decay_t<Fallback>, NoFallback>;
  bool run_fallback = false;
  {
    MethodGil gil;
    if (!gil || PyErr_Occurred() != nullptr) {
      return failure;
    }
    try {
      if (py::function method = find_override(device, name)) {
        return invoke(method);
      }
      if constexpr (has_fallback) {
        run_fallback = true;
      } else {
        missing_method(name);
      }
    } catch (...) {
      set_pending_error();
    }
    if (!run_fallback) {
      if (!PythonCallScope::active()) {
        PyErr_WriteUnraisable(nullptr);
      }
      return failure;
    }
  }
  if constexpr (has_fallback) {
    return fallback();
  } else {
    return failure;
  }
}

// An `invoke` for forward(): calls the method with `args` and converts its
// result to R. The arguments are referred to, not copied.
template <typename R, typename... Args>
auto returning(const Args&... args) {
  return [&args...](const py::function& method) { return method(args...).template cast<R>(); };
}

// A memoryview over native bytes handed to a Python write/read method. It is
// released when the call is over, so a method that keeps it gets a clear
// error on use instead of reaching memory it does not own.
class BorrowedBytes {
 public:
  BorrowedBytes(std::uint8_t* data, std::uint64_t length, bool writable) {
    if (py::handle source = LentBuffer::source_of(data, length)) {
      view_ = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(source.ptr()));
      if (!view_) {
        throw py::error_already_set();
      }
      const Py_buffer* seen = PyMemoryView_GET_BUFFER(view_.ptr());
      if (seen->buf != data || static_cast<std::uint64_t>(seen->len) != length) {
        throw std::runtime_error("the data object exported different memory on a second request");
      }
      if (!writable) {
        py::object shared = std::move(view_);
        view_ = shared.attr("toreadonly")();
        shared.attr("release")();
      }
      owner_backed_ = true;
      return;
    }
    static char empty = 0;
    if (length > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      throw std::length_error("data block too large for a memoryview: " + std::to_string(length) + " bytes");
    }
    char* memory = data != nullptr ? reinterpret_cast<char*>(data) : &empty;
    view_ = py::reinterpret_steal<py::object>(
        PyMemoryView_FromMemory(memory, static_cast<Py_ssize_t>(length), writable ? PyBUF_WRITE : PyBUF_READ));
    if (!view_) {
      throw py::error_already_set();
    }
  }
  BorrowedBytes(const BorrowedBytes&) = delete;
  BorrowedBytes& operator=(const BorrowedBytes&) = delete;

  // Best effort when the call failed: the call's own error wins.
  ~BorrowedBytes() {
    if (view_) {
      PyObject* result = PyObject_CallMethod(view_.ptr(), "release", nullptr);
      if (result == nullptr) {
        PyErr_Clear();
      }
      Py_XDECREF(result);
    }
  }

  const py::object& object() const { return view_; }

  // Releases the view after a successful call. Throws BufferError when the
  // method left a view of the block behind.
  void release() {
    // Views derived from a view of the caller's object keep that object's
    // export, and so its memory; views of bare memory cannot.
    const bool shared = !owner_backed_ && internals::memoryview_shared_exports(view_) > 1;
    if (owner_backed_ && internals::memoryview_exports(view_) > 0) {
      // The method kept a buffer of the view itself; that export pins the
      // caller's object, so the view may simply live on with it.
      view_ = py::object();
      return;
    }
    view_.attr("release")();
    view_ = py::object();
    if (shared) {
      throw py::buffer_error("a view of the data block outlived the call that lent it");
    }
  }

 private:
  py::object view_;
  bool owner_backed_ = false;
};

// An `invoke` for write and read: lends the block to the method as a
// memoryview for the call only and converts the byte count it returns.
auto lending(std::uint32_t addr, std::uint64_t length, std::uint8_t* data, bool writable) {
  return [=](const py::function& method) -> std::uint64_t {
    BorrowedBytes block(data, length, writable);
    py::object count = method(addr, length, block.object());
    block.release();
    return count.cast<std::uint64_t>();
  };
}

// The text of the Python method `name`; nothing without one or once the
// interpreter is exiting. Throws what the method or the conversion throws.
std::optional<std::string> describe(const PyDevice* device, const char* name) {
  MethodGil gil;
  if (!gil) {
    return std::nullopt;
  }
  py::function method = find_override(device, name);
  if (!method) {
    return std::nullopt;
  }
  return method().cast<std::optional<std::string>>();
}

}  // namespace

LentBuffer::LentBuffer(py::handle source, const std::uint8_t* data, std::uint64_t size) noexcept
    : source_(source), data_(data), size_(size), previous_(lent_buffer) {
  lent_buffer = this;
}

LentBuffer::~LentBuffer() { lent_buffer = previous_; }

py::handle LentBuffer::source_of(const std::uint8_t* data, std::uint64_t size) noexcept {
  const LentBuffer* lent = lent_buffer;
  return lent != nullptr && lent->data_ == data && lent->size_ == size ? lent->source_ : py::handle();
}

PythonCallScope::PythonCallScope() noexcept { ++open_call_scopes; }

PythonCallScope::~PythonCallScope() { --open_call_scopes; }

bool PythonCallScope::active() noexcept { return open_call_scopes > 0; }

void PythonCallScope::raise_pending() {
  if (PyErr_Occurred() != nullptr) {
    throw py::error_already_set();
  }
}

Status PyDevice::set_register_sync(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept {
  return forward(this, "set_register_sync", Status::Failure, returning<Status>(addr, value, extra),
                 [&] { return vorn::Device::set_register_sync(addr, value, extra); });
}

Status PyDevice::set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept {
  return forward(this, "set_register", Status::Failure, returning<Status>(addr, value, extra));
}

Status PyDevice::send_registers() noexcept {
  return forward(this, "send_registers", Status::Failure, returning<Status>());
}

std::optional<std::uint32_t> PyDevice::get_register_sync(std::uint32_t addr) noexcept {
  using Value = std::optional<std::uint32_t>;
  return forward(this, "get_register_sync", Value{}, returning<Value>(addr),
                 [&] { return vorn::Device::get_register_sync(addr); });
}

std::uint32_t PyDevice::get_register(std::uint32_t addr) noexcept {
  return forward(this, "get_register", std::uint32_t{0}, returning<std::uint32_t>(addr));
}

Status PyDevice::read_registers() noexcept {
  return forward(this, "read_registers", Status::Failure, returning<Status>());
}

Status PyDevice::trigger(std::uint32_t addr, int value) noexcept {
  return forward(this, "trigger", Status::Failure, returning<Status>(addr, value));
}

std::uint64_t PyDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  return forward(this, "write", std::uint64_t{0}, lending(addr, length, data, /*writable=*/false));
}

std::uint64_t PyDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  return forward(this, "read", std::uint64_t{0}, lending(addr, length, data, /*writable=*/true));
}

std::optional<std::unique_ptr<PyDevice::DataStream>> PyDevice::start_read_stream(std::uint32_t, vorn::StreamCallback&&,
                                                                                 std::uint64_t) {
  return std::nullopt;
}

std::optional<std::string> PyDevice::get_status() { return describe(this, "get_status"); }

std::optional<std::string> PyDevice::get_info() { return describe(this, "get_info"); }

}  // namespace pyvorn
