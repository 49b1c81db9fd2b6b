#include "device/py_device.hpp"

#include <Python.h>

#include <limits>
#include <optional>
#include <utility>

#include "stream/python_runtime.hpp"

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

[[noreturn]] void missing_method(const char* qualified_name) {
  py::pybind11_fail(std::string("Tried to call pure virtual function \"") + qualified_name + "\"");
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

// Runs `body` with the GIL held for a non-throwing operation. Returns
// `failure` when the interpreter is exiting (a native thread is not let in),
// when an error is already pending or when body throws; the error
// then stays pending for the Python caller, or is reported as unraisable
// when no Python caller waits for it.
template <typename R, typename Body>
R forward(R failure, Body&& body) noexcept {
  MethodGil gil;
  if (!gil || PyErr_Occurred() != nullptr) {
    return failure;
  }
  try {
    return body();
  } catch (...) {
    set_pending_error();
  }
  if (!PythonCallScope::active()) {
    PyErr_WriteUnraisable(nullptr);
  }
  return failure;
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
    auto* memory = reinterpret_cast<PyMemoryViewObject*>(view_.ptr());
    // Views derived from a view of the caller's object keep that object's
    // export, and so its memory; views of bare memory cannot.
    const bool shared = !owner_backed_ && memory->mbuf->exports > 1;
    if (owner_backed_ && memory->exports > 0) {
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
  bool inherited = false;
  const Status status = forward(Status::Failure, [&]() -> Status {
    py::function method = find_override(this, "set_register_sync");
    if (!method) {
      inherited = true;
      return Status::Failure;
    }
    return method(addr, value, extra).cast<Status>();
  });
  return inherited ? vorn::Device::set_register_sync(addr, value, extra) : status;
}

Status PyDevice::set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept {
  return forward(Status::Failure, [&]() -> Status {
    py::function method = find_override(this, "set_register");
    if (!method) {
      missing_method("Device::set_register");
    }
    return method(addr, value, extra).cast<Status>();
  });
}

Status PyDevice::send_registers() noexcept {
  return forward(Status::Failure, [&]() -> Status {
    py::function method = find_override(this, "send_registers");
    if (!method) {
      missing_method("Device::send_registers");
    }
    return method().cast<Status>();
  });
}

std::optional<std::uint32_t> PyDevice::get_register_sync(std::uint32_t addr) noexcept {
  bool inherited = false;
  auto value = forward(std::optional<std::uint32_t>{}, [&]() -> std::optional<std::uint32_t> {
    py::function method = find_override(this, "get_register_sync");
    if (!method) {
      inherited = true;
      return std::nullopt;
    }
    return method(addr).cast<std::optional<std::uint32_t>>();
  });
  return inherited ? vorn::Device::get_register_sync(addr) : value;
}

std::uint32_t PyDevice::get_register(std::uint32_t addr) noexcept {
  return forward(std::uint32_t{0}, [&]() -> std::uint32_t {
    py::function method = find_override(this, "get_register");
    if (!method) {
      missing_method("Device::get_register");
    }
    return method(addr).cast<std::uint32_t>();
  });
}

Status PyDevice::read_registers() noexcept {
  return forward(Status::Failure, [&]() -> Status {
    py::function method = find_override(this, "read_registers");
    if (!method) {
      missing_method("Device::read_registers");
    }
    return method().cast<Status>();
  });
}

Status PyDevice::trigger(std::uint32_t addr, int value) noexcept {
  return forward(Status::Failure, [&]() -> Status {
    py::function method = find_override(this, "trigger");
    if (!method) {
      missing_method("Device::trigger");
    }
    return method(addr, value).cast<Status>();
  });
}

std::uint64_t PyDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  return forward(std::uint64_t{0}, [&]() -> std::uint64_t {
    py::function method = find_override(this, "write");
    if (!method) {
      missing_method("Device::write");
    }
    BorrowedBytes block(data, length, /*writable=*/false);
    py::object count = method(addr, length, block.object());
    block.release();
    return count.cast<std::uint64_t>();
  });
}

std::uint64_t PyDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  return forward(std::uint64_t{0}, [&]() -> std::uint64_t {
    py::function method = find_override(this, "read");
    if (!method) {
      missing_method("Device::read");
    }
    BorrowedBytes block(data, length, /*writable=*/true);
    py::object count = method(addr, length, block.object());
    block.release();
    return count.cast<std::uint64_t>();
  });
}

std::optional<std::unique_ptr<PyDevice::DataStream>> PyDevice::start_read_stream(std::uint32_t, vorn::StreamCallback&&,
                                                                                 std::uint64_t) {
  return std::nullopt;
}

std::optional<std::string> PyDevice::get_status() {
  MethodGil gil;
  if (!gil) {
    return std::nullopt;
  }
  py::function method = find_override(this, "get_status");
  if (!method) {
    return std::nullopt;
  }
  return method().cast<std::optional<std::string>>();
}

std::optional<std::string> PyDevice::get_info() {
  MethodGil gil;
  if (!gil) {
    return std::nullopt;
  }
  py::function method = find_override(this, "get_info");
  if (!method) {
    return std::nullopt;
  }
  return method().cast<std::optional<std::string>>();
}

}  // namespace pyvorn
