#include "bindings/stream_binding.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <pybind11/stl.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "bindings/registration.hpp"
#include "core/stream/aligned_chunker.hpp"
#include "core/stream/event_pump.hpp"
#include "core/stream/stream_lifecycle.hpp"
#include "runtime/binding_internals.hpp"
#include "runtime/python_runtime.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// The alias type registered for DataStream. No constructor is bound, so
// Python never creates one and it needs no overrides.
struct PyDataStream : DataStream {};

// Destroys a callback the device did not take. Ending a pump joins its
// worker, which may need the GIL, so the GIL is released meanwhile. GIL held
// on entry and on return.
struct UntakenCallback {
  vorn::StreamCallback callback;

  ~UntakenCallback() {
    if (callback) {
      ReleasedGil release;
      callback.reset();
    }
  }
};

// The reference that keeps the device's code loaded: what its creator put
// into the deleter of the Python Device's holder. Null for Python devices.
std::shared_ptr<void> device_code(const vorn::Device& device) {
  const auto* holder = internals::registered_holder<vorn::DeviceHolder>(device);
  return holder != nullptr ? holder->get_deleter().keep_alive : nullptr;
}

std::int32_t narrow_queue_limit(std::uint64_t max_queue_elements) {
  // Only the low 32 bits count, read as a signed number.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(max_queue_elements));
}

std::shared_ptr<PythonStreamControl> make_control(const vorn::Device& device, std::uint32_t addr, py::object callable) {
  return std::make_shared<PythonStreamControl>(
      device_code(device), fmt::format("stream at address {} of <pyvorn_device.Device at {}>", addr, fmt::ptr(&device)),
      std::move(callable));
}

std::optional<StreamHolder> start_with(vorn::Device& device, std::uint32_t addr, vorn::StreamCallback consumer,
                                       std::shared_ptr<StreamControl> control, std::uint64_t chunk_size,
                                       std::uint64_t max_queue_elements) {
  UntakenCallback pump{make_event_pump(std::move(consumer), narrow_queue_limit(max_queue_elements))};
  auto stream = device.start_read_stream(addr, std::move(pump.callback), chunk_size);
  if (!stream || !*stream) {
    return std::nullopt;
  }
  StreamHolder holder(stream->release());
  StreamRegistry::adopt(holder.get(), std::move(control));
  return holder;
}

// How long a wait for a stopper lasts before the signal handlers run again.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// How long the exit handler waits for streams to stop; after that, and for
// every wait that starts later, nothing waits any longer.
constexpr auto kExitWait = std::chrono::seconds(5);
// How many times the exit handler looks for streams that turned up while it
// stopped the others (started by callbacks, or by daemon threads, which may
// go on starting streams for as long as they run). Streams started later are
// kept out of Python by the exit gate and destroyed with their owners.
constexpr int kExitRounds = 4;

std::atomic<bool> exit_started{false};
std::chrono::steady_clock::time_point exit_deadline;  // written once, before exit_started

enum class Waited { done, interrupted, given_up };

// Waits for the work behind `ticket`, with the GIL released, in slices.
// Between slices, with the GIL, the signal handlers run (they run on the main
// thread only), so that a Ctrl+C gets through: then the handler's exception
// is set and the work goes on without a waiter. Once the interpreter exits,
// the wait ends at the exit deadline. GIL held on entry and on return, when
// the caller holds it; without it, waits without running handlers.
Waited wait_for(StopTicket& ticket, bool run_handlers = true) {
  const bool with_gil = holds_gil();
  for (;;) {
    {
      ReleasedGil release;
      if (ticket.wait_for(kWaitSlice)) {
        return Waited::done;
      }
    }
    if (exit_started.load(std::memory_order_acquire) && std::chrono::steady_clock::now() >= exit_deadline) {
      ticket.abandon();
      return Waited::given_up;
    }
    if (with_gil && run_handlers && !interpreter_finalizing() && PyErr_CheckSignals() != 0) {
      ticket.abandon();
      return Waited::interrupted;
    }
  }
}

void stop_stream(DataStream& stream) {
  std::shared_ptr<StopTicket> ticket;
  {
    ReleasedGil release;
    ticket = StreamRegistry::stop(&stream);
  }
  if (!ticket) {
    return;  // on a delivery thread (runs moments later), or inherited across fork()
  }
  switch (wait_for(*ticket)) {
    case Waited::done:
      ticket->rethrow_failure();
      return;
    case Waited::interrupted:
      throw py::error_already_set();  // the stream stays muted; its stop completes later
    case Waited::given_up:
      return;
  }
}

void report_stop_error(const char* what) noexcept {
  try {
    spdlog::error("Error in callback: {}", what);
  } catch (...) {
  }
}

// A pending call that raises, in the main thread's next Python code, an
// exception that a signal handler raised where nothing can raise it (a
// deallocation).
int raise_later(void* error) {
  std::unique_ptr<py::error_already_set> pending(static_cast<py::error_already_set*>(error));
  pending->restore();
  return -1;
}

void defer_exception() noexcept {
  try {
    auto pending = std::make_unique<py::error_already_set>();  // takes the exception that is set
    if (Py_AddPendingCall(&raise_later, pending.get()) == 0) {
      pending.release();
      return;
    }
    pending->restore();
  } catch (...) {
  }
  PyErr_WriteUnraisable(nullptr);
}

// Runs at interpreter exit, before finalization, while stream workers can
// still finish their Python calls: stops every stream Python still owns and
// lets the stoppers finish what callbacks handed them, until nothing new
// turns up (a few rounds at most) or the exit deadline has passed (then it
// names the streams that did not stop); then closes the way into Python and
// waits for those inside.
// Each stream's Python object is held while it stops, since other threads (or
// its own callback) may drop streams meanwhile. GIL held.
void stop_live_streams() {
  exit_deadline = std::chrono::steady_clock::now() + kExitWait;
  exit_started.store(true, std::memory_order_release);
  std::set<std::shared_ptr<StreamControl>> seen;
  int rounds = 0;
  for (bool found = true; found && rounds < kExitRounds; ++rounds) {
    found = false;
    for (auto& control : StreamRegistry::live()) {
      DataStream* stream = StreamRegistry::stream_of(*control);
      if (stream == nullptr || seen.count(control) != 0) {
        continue;
      }
      // Without a registered owner the stream's deleter is running on
      // another thread (GIL released): the stream is not ours to touch.
      py::object owner = internals::registered_object(stream);
      if (!owner) {
        continue;
      }
      seen.insert(control);
      found = true;
      std::shared_ptr<StopTicket> ticket;
      try {
        ReleasedGil release;
        ticket = StreamRegistry::stop(stream);
      } catch (const std::exception&) {
        continue;  // its destructor still stops it later
      }
      if (ticket && wait_for(*ticket, /*run_handlers=*/false) == Waited::done) {
        try {
          ticket->rethrow_failure();
        } catch (const std::exception&) {
          // A device whose stop() fails still gets its destructor later.
        }
      }
    }
    std::vector<std::string> pending;
    {
      ReleasedGil release;
      pending = StreamRegistry::wait_for_stoppers(exit_deadline);
    }
    if (!pending.empty()) {
      try {
        spdlog::error("Streams still stopping at exit after {} s: {}", kExitWait.count(), fmt::join(pending, "; "));
      } catch (...) {
      }
      break;
    }
  }
  PythonGate::close();
}

// The garbage collector's view of a DataStream: the callable its stream's
// sink calls. Clearing it mutes the stream and drops the callable, which
// breaks a cycle through a callback that refers back to the stream's owner;
// the owner's collection then ends the stream. GIL held.
PythonStreamControl* collected_control(PyObject* self, std::shared_ptr<StreamControl>& keep) {
  const auto* stream = static_cast<const DataStream*>(internals::first_value(self));
  keep = stream != nullptr ? StreamRegistry::control_of(stream) : nullptr;
  return static_cast<PythonStreamControl*>(keep.get());
}

int traverse_stream(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  std::shared_ptr<StreamControl> keep;
  if (PythonStreamControl* control = collected_control(self, keep)) {
    Py_VISIT(control->callable.ptr());
  }
  return 0;
}

int clear_stream(PyObject* self) {
  std::shared_ptr<StreamControl> keep;
  if (PythonStreamControl* control = collected_control(self, keep)) {
    control->mute();
    py::object dropped = std::move(control->callable);
  }
  return 0;
}

destructor pybind11_stream_dealloc = nullptr;

// Untracked before it is taken apart: the holder's deleter releases the GIL,
// and a collection meanwhile must not meet an object on its way out.
void stream_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  pybind11_stream_dealloc(self);
}

}  // namespace

void StreamDeleter::operator()(DataStream* stream) const noexcept {
  if (stream == nullptr) {
    return;
  }
  std::shared_ptr<StopTicket> ticket;
  {
    ReleasedGil release;
    ticket = StreamRegistry::release(stream);
  }
  if (ticket && wait_for(*ticket) == Waited::interrupted) {
    defer_exception();  // a deallocation cannot raise; the next Python code does
  }
}

std::optional<StreamHolder> start_read_stream(vorn::Device& device, std::uint32_t addr, ManagedBufferCallable callback,
                                              std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
  auto control = make_control(device, addr, std::move(callback.target));
  UntakenCallback sink{make_managed_buffer_sink(control)};
  return start_with(device, addr, std::move(sink.callback), std::move(control), chunk_size, max_queue_elements);
}

std::optional<StreamHolder> start_aligned_read_stream(vorn::Device& device, std::uint32_t addr, std::uint64_t alignment,
                                                      DataViewCallable callback, std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
  if (alignment == 0) {
    throw std::runtime_error("alignment must be at least 1 byte, got " + std::to_string(alignment));
  }
  auto control = make_control(device, addr, std::move(callback.target));
  UntakenCallback sink{make_data_view_sink(control)};
  UntakenCallback chunker{make_aligned_chunker(std::move(sink.callback), alignment)};
  return start_with(device, addr, std::move(chunker.callback), std::move(control), chunk_size, max_queue_elements);
}

void register_data_stream(py::module_& m) {
  // Whoever ends a pump while holding the GIL (the module, or plug-in code
  // running inside a Device method or a device's destructor) gives it up
  // while the pump waits for its worker, which needs it to finish.
  set_shutdown_wait_hooks({[]() -> void* { return holds_gil() ? PyEval_SaveThread() : nullptr; },
                           [](void* token) {
                             if (token != nullptr) {
                               reenter_python(static_cast<PyThreadState*>(token));
                             }
                           }});
  StreamRegistry::set_error_reporter(&report_stop_error);
  py::class_<DataStream, PyDataStream, StreamHolder>(m, "DataStream",
                                                     py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                                                       PyTypeObject* type = &heap_type->ht_type;
                                                       type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                                                       type->tp_traverse = &traverse_stream;
                                                       type->tp_clear = &clear_stream;
                                                     }))
      .def("stop", &stop_stream)
      .def(
          "__enter__", [](DataStream& stream) -> DataStream& { return stream; }, py::return_value_policy::reference)
      .def("__exit__", [](DataStream& stream, const std::optional<py::type>&, const std::optional<py::object>&,
                          const std::optional<py::object>&) { stop_stream(stream); });
  pybind11_stream_dealloc = internals::replace_dealloc(m.attr("DataStream"), &stream_dealloc);
  py::module_::import("atexit").attr("register")(py::cpp_function(&stop_live_streams));
}

}  // namespace pyvorn
