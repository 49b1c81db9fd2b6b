#include "stream/python_sinks.hpp"

#include <spdlog/spdlog.h>

#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "stream/buffer_binding.hpp"
#include "stream/event_pump.hpp"
#include "stream/python_runtime.hpp"
#include "stream/view_lease.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// State of a sink, owned by its StreamCallback. Lives on the stream's worker
// thread; the callable reference is dropped there too, with the GIL held.
struct SinkState {
  py::object target;
  WorkerThreadState thread_state;
  // Keeps the device's code loaded (see make_managed_buffer_sink), as a
  // capsule that every object handed to Python also keeps; null without one.
  py::object code_pin;
  std::shared_ptr<StreamControl> control;
};

// Admission into Python and into the stream for one delivery: true when the
// delivery may run. Worker thread.
class DeliveryScope {
 public:
  explicit DeliveryScope(StreamControl& control) noexcept
      : control_(control), admitted_(), delivering_(admitted_ && control.begin_delivery()) {}
  ~DeliveryScope() {
    if (delivering_) control_.end_delivery();
  }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
  explicit operator bool() const noexcept { return delivering_ && may_deliver(); }

 private:
  // Whether a delivery may run Python now. False once the interpreter is
  // shutting down or the stream was stopped during this event's deliveries.
  static bool may_deliver() noexcept { return !delivery_stop_requested() && !interpreter_finalizing(); }

  StreamControl& control_;
  PythonAdmission admitted_;
  bool delivering_;
};

// Ties the lifetime of `object` to the device's code: chunks released through
// it may run the device's deleters. GIL held.
void pin_device_code(const SinkState& sink, const py::object& object) {
  if (sink.code_pin) {
    py::detail::keep_alive_impl(object, sink.code_pin);
  }
}

// Calls the callable with (first, second). Throws error_already_set when the
// callable raises, std::bad_function_call when it is None. GIL held.
void call_target(const py::object& target, py::handle first, py::handle second) {
  if (target.is_none()) {
    throw std::bad_function_call();
  }
  PyObject* args[] = {first.ptr(), second.ptr()};
  PyObject* result = PyObject_Vectorcall(target.ptr(), args, 2, nullptr);
  if (result == nullptr) {
    throw py::error_already_set();
  }
  Py_DECREF(result);
}

// Runs one delivery; a failure is logged and the stream goes on. The
// exception (and the Python traceback it may hold) is gone when this
// returns. GIL held.
template <typename Delivery>
void guarded(Delivery&& delivery) noexcept {
  try {
    delivery();
  } catch (const std::exception& e) {
    spdlog::error("Error in callback: {}", e.what());
  } catch (...) {
    spdlog::error("Error in callback: {}", "unknown exception");
  }
}

py::object text_object(const std::string& text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(decoded);
}

// Deliveries common to both sinks: the end marker and error texts.
// Returns false for data events.
bool deliver_control(const SinkState& sink, vorn::StreamEvent& event) {
  switch (event.index()) {
    case 0:
      guarded([&] { call_target(sink.target, Py_None, Py_None); });
      return true;
    case 1:
      guarded([&] { call_target(sink.target, Py_None, text_object(std::get<1>(event))); });
      return true;
    default:
      return false;
  }
}

void destroy_sink(void* state) {
  if (state == nullptr) {
    return;
  }
  std::unique_ptr<SinkState> sink(static_cast<SinkState*>(state));
  PythonAdmission admitted;
  if (!admitted || interpreter_finalizing()) {
    // Taking the GIL now would end this thread inside native code. The
    // interpreter is going away; leave its objects to it.
    sink->target.release();
    sink->code_pin.release();
    return;
  }
  sink->thread_state.enter();
  sink->target = py::object();
  sink->code_pin = py::object();
  sink->thread_state.exit_for_good();
}

void managed_buffer_invoke(void* state, vorn::StreamEvent& event) {
  auto& sink = *static_cast<SinkState*>(state);
  DeliveryScope delivery(*sink.control);
  if (!delivery) {
    return;
  }
  WorkerGil gil(sink.thread_state);
  if (event.valueless_by_exception()) {
    guarded([] { throw std::bad_variant_access(); });
    return;
  }
  if (deliver_control(sink, event)) {
    return;
  }
  guarded([&] {
    if (auto* chunk = std::get_if<vorn::ManagedBuffer>(&event)) {
      if (sink.target.is_none()) {
        throw std::bad_function_call();
      }
      // Moved into the Python object; released through its own deleter when
      // Python drops it.
      const bool device_block = chunk->data.get_deleter() != pump_block_deleter();
      py::object buffer = py::cast(std::move(*chunk), py::return_value_policy::move);
      if (device_block) {
        pin_device_code(sink, buffer);
      }
      call_target(sink.target, buffer, Py_None);
    } else {
      call_target(sink.target, Py_None, text_object("Unsupported data type: DataView"));
    }
  });
}

// Keeps the bytes behind a DataView that Python still refers to after its
// delivery: the view exports nothing more, and the storage behind buffers it
// already exported lives as long as the Python object.
void retain_view_storage(const SinkState& sink, const py::object& view_object, vorn::StreamEvent& event) {
  auto& view = view_object.cast<vorn::DataView&>();
  expire_data_view(view);
  std::shared_ptr<void> storage;
  if (ViewLease* lease = current_view_lease()) {
    storage = lease->take();
  } else if (auto* chunk = std::get_if<vorn::ManagedBuffer>(&event)) {
    storage = std::make_shared<vorn::ManagedBuffer>(std::move(*chunk));
  }
  if (!storage) {
    return;  // the bytes belong to the device; nothing can keep them
  }
  auto owner = std::make_unique<std::shared_ptr<void>>(std::move(storage));
  py::capsule keeper(owner.get(), [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
  owner.release();
  py::detail::keep_alive_impl(view_object, keeper);
  pin_device_code(sink, view_object);
}

void data_view_invoke(void* state, vorn::StreamEvent& event) {
  auto& sink = *static_cast<SinkState*>(state);
  DeliveryScope delivery(*sink.control);
  if (!delivery) {
    return;
  }
  WorkerGil gil(sink.thread_state);
  if (event.valueless_by_exception()) {
    guarded([] { throw std::bad_variant_access(); });
    return;
  }
  if (deliver_control(sink, event)) {
    return;
  }
  vorn::DataView lent;
  if (auto* chunk = std::get_if<vorn::ManagedBuffer>(&event)) {
    lent = vorn::DataView{chunk->data.get(), chunk->size};
  } else {
    lent = std::get<vorn::DataView>(event);
  }
  py::object view_object;
  guarded([&] {
    if (sink.target.is_none()) {
      throw std::bad_function_call();
    }
    view_object = py::cast(lent, py::return_value_policy::move);
    call_target(sink.target, view_object, Py_None);
  });
  if (view_object && view_object.ref_count() > 1) {
    guarded([&] { retain_view_storage(sink, view_object, event); });
  }
}

constexpr vorn::StreamCallbackOps managed_buffer_ops{managed_buffer_invoke, destroy_sink};
constexpr vorn::StreamCallbackOps data_view_ops{data_view_invoke, destroy_sink};

vorn::StreamCallback make_sink(const vorn::StreamCallbackOps& ops, py::object target,
                               std::shared_ptr<StreamControl> control) {
  auto state = std::make_unique<SinkState>();
  state->target = std::move(target);
  if (const std::shared_ptr<void>& device_code = control->device_code()) {
    auto owner = std::make_unique<std::shared_ptr<void>>(device_code);
    state->code_pin = py::capsule(owner.get(), [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
    owner.release();
  }
  state->control = std::move(control);
  return vorn::StreamCallback(&ops, state.release());
}

}  // namespace

vorn::StreamCallback make_managed_buffer_sink(ManagedBufferCallable callable, std::shared_ptr<StreamControl> control) {
  return make_sink(managed_buffer_ops, std::move(callable.target), std::move(control));
}

vorn::StreamCallback make_data_view_sink(DataViewCallable callable, std::shared_ptr<StreamControl> control) {
  return make_sink(data_view_ops, std::move(callable.target), std::move(control));
}

}  // namespace pyvorn
