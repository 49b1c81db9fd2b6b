#include "stream/stream_binding.hpp"

#include <pybind11/stl.h>
#include <spdlog/spdlog.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "module/binding_internals.hpp"
#include "module/registration.hpp"
#include "stream/core/aligned_chunker.hpp"
#include "stream/core/event_pump.hpp"
#include "stream/core/stream_lifecycle.hpp"
#include "stream/python_runtime.hpp"

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

void stop_stream(DataStream& stream) {
  ReleasedGil release;
  StreamRegistry::stop(&stream);
}

void report_stop_error(const char* what) noexcept {
  try {
    spdlog::error("Error in callback: {}", what);
  } catch (...) {
  }
}

// Runs at interpreter exit, before finalization, while stream workers can
// still finish their Python calls: stops every stream Python still owns and
// lets the stopper finish what callbacks handed it, until nothing new turns
// up; then closes the way into Python and waits for those inside. Each
// stream's Python object is held while it stops, since other threads (or its
// own callback) may drop streams meanwhile. GIL held.
void stop_live_streams() {
  std::set<std::shared_ptr<StreamControl>> seen;
  for (bool found = true; found;) {
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
      try {
        stop_stream(*stream);
      } catch (const std::exception&) {
        // A device whose stop() fails still gets its destructor later.
      }
    }
    ReleasedGil release;
    StreamRegistry::wait_for_stopper();
  }
  PythonGate::close();
}

}  // namespace

void StreamDeleter::operator()(DataStream* stream) const noexcept {
  if (stream != nullptr) {
    ReleasedGil release;
    StreamRegistry::destroy(stream);
  }
}

std::optional<StreamHolder> start_read_stream(vorn::Device& device, std::uint32_t addr, ManagedBufferCallable callback,
                                              std::uint64_t chunk_size, std::uint64_t max_queue_elements) {
  auto control = std::make_shared<StreamControl>(device_code(device));
  UntakenCallback sink{make_managed_buffer_sink(std::move(callback), control)};
  return start_with(device, addr, std::move(sink.callback), std::move(control), chunk_size, max_queue_elements);
}

std::optional<StreamHolder> start_aligned_read_stream(vorn::Device& device, std::uint32_t addr, std::uint64_t alignment,
                                                      DataViewCallable callback, std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements) {
  if (alignment == 0) {
    throw std::runtime_error("alignment must be at least 1 byte, got " + std::to_string(alignment));
  }
  auto control = std::make_shared<StreamControl>(device_code(device));
  UntakenCallback sink{make_data_view_sink(std::move(callback), control)};
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
  py::class_<DataStream, PyDataStream, StreamHolder>(m, "DataStream")
      .def("stop", &stop_stream)
      .def(
          "__enter__", [](DataStream& stream) -> DataStream& { return stream; }, py::return_value_policy::reference)
      .def("__exit__", [](DataStream& stream, const std::optional<py::type>&, const std::optional<py::object>&,
                          const std::optional<py::object>&) { stop_stream(stream); });
  py::module_::import("atexit").attr("register")(py::cpp_function(&stop_live_streams));
}

}  // namespace pyvorn
