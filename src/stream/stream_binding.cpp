#include "stream/stream_binding.hpp"

#include <pybind11/stl.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "module/registration.hpp"
#include "stream/aligned_chunker.hpp"
#include "stream/event_pump.hpp"
#include "stream/python_runtime.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// The trampoline registered for DataStream. Python never creates one (no
// constructor is bound); it adds no behaviour.
struct PyDataStream : DataStream {
  void stop() override { PYBIND11_OVERRIDE_PURE(void, DataStream, stop, ); }
};

// Streams owned by Python objects, so that they can be stopped before the
// interpreter finalizes. Guarded by the GIL.
std::set<DataStream*>& live_streams() {
  // Never destroyed: an embedding program may finalize the interpreter from
  // its own exit handlers, after static objects are gone.
  static auto* streams = new std::set<DataStream*>();
  return *streams;
}

// Destroys a callback the device did not take. Ending a pump joins its
// worker, which may need the GIL, so the GIL is released meanwhile. GIL held
// on entry and on return.
struct UntakenCallback {
  vorn::StreamCallback callback;

  ~UntakenCallback() {
    if (callback) {
      py::gil_scoped_release release;
      callback.reset();
    }
  }
};

// The reference that keeps the device's code loaded: what its creator put
// into the deleter of the Python Device's holder. Null for Python devices.
std::shared_ptr<void> device_code(const vorn::Device& device) {
  const auto* type = py::detail::get_type_info(typeid(vorn::Device));
  py::handle self = py::detail::get_object_handle(&device, type);
  if (!self) {
    return {};
  }
  auto slot = reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder(type);
  if (!slot || !slot.holder_constructed()) {
    return {};
  }
  return slot.holder<vorn::DeviceHolder>().get_deleter().keep_alive;
}

std::int32_t narrow_queue_limit(std::uint64_t max_queue_elements) {
  // Only the low 32 bits count, read as a signed number.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(max_queue_elements));
}

std::optional<StreamHolder> start_with(vorn::Device& device, std::uint32_t addr, vorn::StreamCallback consumer,
                                       std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
  UntakenCallback pump{make_event_pump(std::move(consumer), narrow_queue_limit(max_queue_elements))};
  auto stream = device.start_read_stream(addr, std::move(pump.callback), chunk_size);
  if (!stream || !*stream) {
    return std::nullopt;
  }
  StreamHolder holder(stream->release());
  live_streams().insert(holder.get());
  return holder;
}

void stop_stream(DataStream& stream) {
  py::gil_scoped_release release;
  stream.stop();
}

// Runs at interpreter exit, before finalization, while stream workers can
// still finish their Python calls: stops every stream Python still owns, then
// closes the workers' way into Python and waits for those inside. Each
// stream's Python object is held while it stops, since other threads (or its
// own callback) may drop streams meanwhile.
void stop_live_streams() {
  std::set<DataStream*> stopped;
  for (;;) {
    DataStream* next = nullptr;
    for (DataStream* stream : live_streams()) {
      if (stopped.count(stream) == 0) {
        next = stream;
        break;
      }
    }
    if (next == nullptr) {
      break;
    }
    stopped.insert(next);
    py::object owner = py::cast(next, py::return_value_policy::reference);
    stop_stream(*next);
  }
  PythonGate::close();
}

}  // namespace

void StreamDeleter::operator()(DataStream* stream) const noexcept {
  if (stream == nullptr) {
    return;
  }
  live_streams().erase(stream);
  if (holds_gil()) {
    py::gil_scoped_release release;
    delete stream;
  } else {
    delete stream;
  }
}

std::optional<StreamHolder> start_read_stream(vorn::Device& device, std::uint32_t addr, ManagedBufferCallable callback,
                                              std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
  UntakenCallback sink{make_managed_buffer_sink(std::move(callback), device_code(device))};
  return start_with(device, addr, std::move(sink.callback), chunk_size, max_queue_elements);
}

std::optional<StreamHolder> start_aligned_read_stream(vorn::Device& device, std::uint32_t addr, std::uint64_t alignment,
                                                      DataViewCallable callback, std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
  if (alignment == 0) {
    throw std::runtime_error("alignment must be at least 1 byte, got " + std::to_string(alignment));
  }
  UntakenCallback sink{make_data_view_sink(std::move(callback), device_code(device))};
  UntakenCallback chunker{make_aligned_chunker(std::move(sink.callback), alignment)};
  return start_with(device, addr, std::move(chunker.callback), chunk_size, max_queue_elements);
}

void register_data_stream(py::module_& m) {
  // Whoever ends a pump while holding the GIL (the module, or plug-in code
  // running inside a Device method or a device's destructor) gives it up
  // while the pump waits for its worker, which needs it to finish.
  set_shutdown_wait_hooks({[]() -> void* { return holds_gil() ? PyEval_SaveThread() : nullptr; },
                           [](void* token) {
                             if (token != nullptr) {
                               PyEval_RestoreThread(static_cast<PyThreadState*>(token));
                             }
                           }});
  py::class_<DataStream, PyDataStream, StreamHolder>(m, "DataStream")
      .def("stop", &stop_stream)
      .def(
          "__enter__", [](DataStream& stream) -> DataStream& { return stream; }, py::return_value_policy::reference)
      .def("__exit__", [](DataStream& stream, const std::optional<py::type>&, const std::optional<py::object>&,
                          const std::optional<py::object>&) { stop_stream(stream); });
  py::module_::import("atexit").attr("register")(py::cpp_function(&stop_live_streams));
}

}  // namespace pyvorn
