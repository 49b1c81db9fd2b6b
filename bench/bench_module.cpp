// _vorn_bench: floors for the pyvorn_device benchmarks. Not part of the
// pyvorn_device module and not installed.
//
//   noop()                      the cheapest bound call
//   noop_u32(n) -> n            a bound call with one unsigned 32-bit argument
//   Registers().get_register(a) a bound method with the signature of
//                               Device.get_register, answering from an array
//   memcpy(dst, src) -> n       one std::memcpy between two Python buffers,
//                               the GIL held throughout, like Device.write/read
//   memcpy_loop(dst, src, k)    k such copies inside one call
//   thread_calls(cb, arg, n, gil_per_call) -> seconds
//                               a native thread with one thread state calls
//                               cb(arg, None) n times, taking and giving
//                               back the GIL around each call or holding it
//                               throughout: the floor of stream delivery
//   direct_calls(cb, rate, count)
//                               the latency floor: a native thread calls
//                               cb(chunk, None) count times at `rate` calls/s
//                               (waits spun with yields, as the bench
//                               plug-in's producer does), taking the GIL per
//                               call, with a 64-byte bytearray whose first 8
//                               bytes hold CLOCK_MONOTONIC in ns, written
//                               right before the GIL is requested: what a
//                               binding that calls Python on the device's
//                               own thread costs
//   binding_path() -> str       how this build's module makes and frees the
//                               objects of stream deliveries: "fast" or
//                               "generic" (src/runtime/binding_internals.hpp),
//                               and the pybind11 version it was built with
#include <pybind11/pybind11.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/binding_internals.hpp"

namespace py = pybind11;

namespace {

// A contiguous byte view of a Python object, released on scope exit.
class BufferView {
 public:
  BufferView(py::handle object, bool writable) {
    const int flags = writable ? PyBUF_WRITABLE : PyBUF_SIMPLE;
    if (PyObject_GetBuffer(object.ptr(), &view_, flags) != 0) {
      throw py::error_already_set();
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { PyBuffer_Release(&view_); }

  std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
  std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

void check_same_size(const BufferView& dst, const BufferView& src) {
  if (dst.size() != src.size()) {
    throw std::invalid_argument("dst and src differ in size");
  }
}

std::size_t copy_once(const py::object& dst_object, const py::object& src_object) {
  const BufferView dst(dst_object, true);
  const BufferView src(src_object, false);
  check_same_size(dst, src);
  std::memcpy(dst.data(), src.data(), src.size());
  return src.size();
}

void copy_repeatedly(const py::object& dst_object, const py::object& src_object, std::uint64_t count) {
  const BufferView dst(dst_object, true);
  const BufferView src(src_object, false);
  check_same_size(dst, src);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(dst.data(), src.data(), src.size());
    // Every copy must happen: the compiler may not merge them.
    asm volatile("" ::: "memory");
  }
}

// Runs body(state) on a fresh native thread with a thread state of its own,
// as a stream worker does. The GIL is released on the calling thread until
// the thread has finished; body starts without it and must end without it.
template <typename Body>
void on_native_thread(Body body) {
  PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
  py::gil_scoped_release release;
  std::thread worker([&] {
    PyThreadState* state = PyThreadState_New(interp);
    body(state);
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
  });
  worker.join();
}

// callback(args[0], args[1]), GIL held; false (the error cleared) when it raised.
bool call_back(PyObject* callback, PyObject* const* args) {
  PyObject* result = PyObject_Vectorcall(callback, args, 2, nullptr);
  if (result == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(result);
  return true;
}

// Measures the calls alone (thread start and thread-state creation excluded).
double thread_calls(const py::object& callback, const py::object& arg, std::uint64_t count, bool gil_per_call) {
  double seconds = 0.0;
  bool failed = false;
  on_native_thread([&](PyThreadState* state) {
    PyObject* args[] = {arg.ptr(), Py_None};
    PyEval_RestoreThread(state);
    PyEval_SaveThread();
    const auto begin = std::chrono::steady_clock::now();
    if (!gil_per_call) {
      PyEval_RestoreThread(state);
    }
    for (std::uint64_t i = 0; i < count && !failed; ++i) {
      if (gil_per_call) {
        PyEval_RestoreThread(state);
      }
      failed = !call_back(callback.ptr(), args);
      if (gil_per_call) {
        PyEval_SaveThread();
      }
    }
    if (!gil_per_call) {
      PyEval_SaveThread();
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  });
  if (failed) {
    throw std::runtime_error("the callback raised");
  }
  return seconds;
}

std::uint64_t monotonic_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void direct_calls(const py::object& callback, std::uint64_t rate, std::uint64_t count) {
  py::bytearray chunk(std::string(64, '\0'));
  auto* stamp_at = reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(chunk.ptr()));
  const auto period = std::chrono::nanoseconds(1'000'000'000 / (rate == 0 ? 1 : rate));
  bool failed = false;
  on_native_thread([&](PyThreadState* state) {
    PyObject* args[] = {chunk.ptr(), Py_None};
    auto next = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count && !failed; ++i) {
      next += period;
      while (std::chrono::steady_clock::now() < next) {
        std::this_thread::yield();
      }
      const std::uint64_t stamp = monotonic_ns();
      std::memcpy(stamp_at, &stamp, sizeof stamp);  // little-endian on every machine this runs on
      PyEval_RestoreThread(state);
      failed = !call_back(callback.ptr(), args);
      PyEval_SaveThread();
    }
  });
  if (failed) {
    throw std::runtime_error("the callback raised");
  }
}

struct Registers {
  std::array<std::uint32_t, 256> values{};
  std::uint32_t get(std::uint32_t addr) const noexcept { return addr < values.size() ? values[addr] : 0; }
};

}  // namespace

PYBIND11_MODULE(_vorn_bench, m) {
  m.doc() = "Floors for the pyvorn_device benchmarks (benchmark-only).";
  m.def("noop", [] {});
  m.def("noop_u32", [](std::uint32_t value) { return value; });
  py::class_<Registers>(m, "Registers").def(py::init<>()).def("get_register", &Registers::get);
  m.def("memcpy", &copy_once, py::arg("dst"), py::arg("src"));
  m.def("memcpy_loop", &copy_repeatedly, py::arg("dst"), py::arg("src"), py::arg("count"));
  m.def("thread_calls", &thread_calls, py::arg("callback"), py::arg("arg"), py::arg("count"), py::arg("gil_per_call"));
  m.def("direct_calls", &direct_calls, py::arg("callback"), py::arg("rate"), py::arg("count"));
  m.def("binding_path", [] {
    return std::string(pyvorn::internals::kBindingPath) +
           " (pybind11 " PYBIND11_TOSTRING(PYBIND11_VERSION_MAJOR) "." PYBIND11_TOSTRING(
               PYBIND11_VERSION_MINOR) "." PYBIND11_TOSTRING(PYBIND11_VERSION_PATCH) ")";
  });
}
