#include "bridges/python_sinks.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "bridges/buffer_objects.hpp"
#include "core/stream/event_pump.hpp"
#include "core/stream/view_lease.hpp"
#include "runtime/binding_internals.hpp"
#include "runtime/python_runtime.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// How many deliveries one hold of the GIL may span, and for how long, when
// events wait back to back: long enough to spread the cost of taking the
// GIL, short enough that stop() and other threads never wait long (a
// callback that runs Python still yields the GIL on the interpreter's
// switch interval).
constexpr int kMaxBatch = 256;
constexpr auto kMaxBatchTime = std::chrono::milliseconds(1);

// State of a sink, owned by its StreamCallback. Lives on the stream's worker
// thread; the callable reference is dropped there too, with the GIL held.
struct SinkState {
  WorkerThreadState thread_state;
  // Keeps the device's code loaded (see make_managed_buffer_sink), as a
  // capsule that a kept DataView also keeps; null without one.
  py::object code_pin;
  // Holds the callable.
  std::shared_ptr<PythonStreamControl> control;
  // The process this sink was made in (see fork_generation).
  std::uint64_t fork_generation = 0;
  // The last delivery's object, reclaimed because Python kept no reference
  // to it (buffer_objects.hpp): the next delivery refills it instead of
  // making a new one. Only the sink refers to it; null when there is none.
  // Its value (a ManagedBuffer or a DataView, by the sink's kind), and for a
  // ManagedBuffer the deleter whose hold of device code it still counts.
  py::object spare;
  void* spare_value = nullptr;
  vorn::BlockDeleter spare_pin = nullptr;

  // The hold on Python across back-to-back deliveries: admitted through the
  // exit gate, marked as delivering on the stream, GIL taken.
  bool holding = false;
  int batch = 0;
  // The worker this sink delivers on, found at the first delivery.
  const DeliveryContext* worker = nullptr;
  std::chrono::steady_clock::time_point batch_start;
};

// Gives up the hold. Worker thread; also the pump's idle hook.
void release_hold(void* state) noexcept {
  auto& sink = *static_cast<SinkState*>(state);
  if (!sink.holding) {
    return;
  }
  sink.holding = false;
  sink.thread_state.exit();
  sink.control->end_delivery();
  PythonGate::leave();
}

// Takes (or keeps) the hold for one delivery. False when nothing may be
// delivered: the interpreter is exiting, or the stream was muted or stopped,
// also in the middle of an event's deliveries. Worker thread.
bool hold_for_delivery(SinkState& sink) noexcept {
  if (sink.holding) {
    if (!sink.control->muted() && !stop_requested(*sink.worker)) {
      return true;
    }
    release_hold(&sink);
    return false;
  }
  if (sink.worker == nullptr) {
    sink.worker = current_delivery();
    if (sink.worker == nullptr) {
      return false;  // sinks deliver on a pump's worker only
    }
    // A muted stream delivers nothing more: its worker stops polling. The
    // control outlives the worker's use of the flag (the sink holds it).
    set_poll_guard(*sink.worker, &sink.control->muted_flag());
  }
  if (!PythonGate::admit()) {
    return false;
  }
  if (!sink.control->begin_delivery()) {
    PythonGate::leave();
    return false;
  }
  if (stop_requested(*sink.worker) || interpreter_finalizing()) {
    sink.control->end_delivery();
    PythonGate::leave();
    return false;
  }
  sink.thread_state.enter();
  sink.holding = true;
  sink.batch = 0;
  sink.batch_start = std::chrono::steady_clock::now();
  set_idle_hook(*sink.worker, &release_hold, &sink);
  return true;
}

// After a delivery: keeps the hold while the batch is young, else gives it
// up. The pump's idle hook gives it up as soon as no event waits, so a lone
// event never holds the GIL past its delivery. Worker thread.
void after_delivery(SinkState& sink) noexcept {
  ++sink.batch;
  if (sink.batch < kMaxBatch &&
      (sink.batch % 16 != 0 || std::chrono::steady_clock::now() - sink.batch_start < kMaxBatchTime)) {
    return;  // the clock is read every 16 deliveries
  }
  release_hold(&sink);
}

// Brackets one delivery: `if (Delivery d{sink}; d) ...`.
class Delivery {
 public:
  explicit Delivery(SinkState& sink) noexcept : sink_(sink), held_(hold_for_delivery(sink)) {}
  ~Delivery() {
    if (held_) after_delivery(sink_);
  }
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  SinkState& sink_;
  bool held_;
};

// A capsule that holds `owned` until Python drops it. GIL held.
py::object owner_capsule(std::shared_ptr<void> owned) {
  auto owner = std::make_unique<std::shared_ptr<void>>(std::move(owned));
  py::object capsule = py::capsule(owner.get(), [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
  owner.release();
  return capsule;
}

// Ties the lifetime of `object` to the device's code: chunks released through
// it may run the device's deleters. GIL held.
void pin_device_code(const SinkState& sink, const py::object& object) {
  if (sink.code_pin) {
    internals::keep_alive(object, sink.code_pin);
  }
}

// The callable, or throws std::bad_function_call once the garbage collector
// has cleared it (the stream is muted then). GIL held.
PyObject* callable_of(const SinkState& sink) {
  PyObject* callable = sink.control->callable.ptr();
  if (callable == nullptr) {
    throw std::bad_function_call();
  }
  return callable;
}

// Calls the callable with (first, second). Throws error_already_set when the
// callable raises, std::bad_function_call once it is cleared. The callable is
// held for the call: the collector may clear the stream's own reference
// during it. GIL held.
void call_target(const SinkState& sink, py::handle first, py::handle second) {
  PyObject* callable = callable_of(sink);
  PyObject* args[] = {first.ptr(), second.ptr()};
  Py_INCREF(callable);
  PyObject* result = PyObject_Vectorcall(callable, args, 2, nullptr);
  Py_DECREF(callable);
  if (sink.fork_generation != fork_generation()) {
    end_forked_child(result);  // this thread forked inside the call; it is the child's only thread
  }
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

// Deliveries common to both sinks: a broken event (reported as a failed
// delivery), the end marker and error texts. Returns false for data events.
bool deliver_control(const SinkState& sink, vorn::StreamEvent& event) {
  if (event.valueless_by_exception()) {
    guarded([] { throw std::bad_variant_access(); });
    return true;
  }
  switch (event.index()) {
    case vorn::event_kind::end:
      guarded([&] { call_target(sink, Py_None, Py_None); });
      return true;
    case vorn::event_kind::error:
      guarded([&] { call_target(sink, Py_None, text_object(std::get<vorn::event_kind::error>(event))); });
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
  release_hold(sink.get());
  PythonAdmission admitted;
  if (!admitted || interpreter_finalizing()) {
    // Taking the GIL now would end this thread inside native code. The
    // interpreter is going away; its references are kept to the end.
    abandon_at_exit(sink->control->callable.release().ptr());
    abandon_at_exit(sink->code_pin.release().ptr());
    abandon_at_exit(sink->spare.release().ptr());
    return;
  }
  sink->thread_state.enter();
  sink->control->callable = py::object();
  sink->code_pin = py::object();
  release_pin(std::exchange(sink->spare_pin, nullptr));
  sink->spare = py::object();
  sink->thread_state.exit_for_good();
}

// The data deliveries of the two sinks. GIL held.
void deliver_managed_buffer(SinkState& sink, vorn::StreamEvent& event) {
  guarded([&] {
    if (auto* chunk = std::get_if<vorn::ManagedBuffer>(&event)) {
      callable_of(sink);
      // Moved into the Python object; released through its own deleter when
      // Python drops it, or at once when Python kept no reference.
      py::object buffer;
      if (sink.spare) {
        buffer = std::move(sink.spare);
        refill_managed_buffer(*static_cast<vorn::ManagedBuffer*>(sink.spare_value), std::move(*chunk),
                              std::exchange(sink.spare_pin, nullptr), sink.control->device_code());
      } else {
        buffer = new_managed_buffer(std::move(*chunk), sink.control->device_code());
      }
      call_target(sink, buffer, Py_None);
      if (vorn::ManagedBuffer* value = reclaim_managed_buffer(buffer, sink.spare_pin)) {
        sink.spare = std::move(buffer);
        sink.spare_value = value;
      }
    } else {
      call_target(sink, Py_None, text_object("Unsupported data type: DataView"));
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
  internals::keep_alive(view_object, owner_capsule(std::move(storage)));
  pin_device_code(sink, view_object);
}

void deliver_data_view(SinkState& sink, vorn::StreamEvent& event) {
  vorn::DataView lent;
  if (auto* chunk = std::get_if<vorn::ManagedBuffer>(&event)) {
    lent = vorn::DataView{chunk->data.get(), chunk->size};
  } else {
    lent = std::get<vorn::DataView>(event);
  }
  py::object view_object;
  guarded([&] {
    callable_of(sink);
    if (sink.spare) {
      view_object = std::move(sink.spare);
      refill_data_view(*static_cast<vorn::DataView*>(sink.spare_value), lent);
    } else {
      view_object = new_data_view(lent);
    }
    call_target(sink, view_object, Py_None);
  });
  if (view_object && view_object.ref_count() > 1) {
    guarded([&] { retain_view_storage(sink, view_object, event); });
  } else if (vorn::DataView* value = view_object ? reclaim_data_view(view_object) : nullptr) {
    sink.spare = std::move(view_object);
    sink.spare_value = value;
  }
}

// One event of a sink whose data events go to DeliverData. Worker thread.
template <void (*DeliverData)(SinkState&, vorn::StreamEvent&)>
void invoke(void* state, vorn::StreamEvent& event) {
  auto& sink = *static_cast<SinkState*>(state);
  if (Delivery delivery(sink); delivery && !deliver_control(sink, event)) {
    DeliverData(sink, event);
  }
}

constexpr vorn::StreamCallbackOps managed_buffer_ops{invoke<deliver_managed_buffer>, destroy_sink};
constexpr vorn::StreamCallbackOps data_view_ops{invoke<deliver_data_view>, destroy_sink};

vorn::StreamCallback make_sink(const vorn::StreamCallbackOps& ops, std::shared_ptr<PythonStreamControl> control) {
  auto state = std::make_unique<SinkState>();
  if (const std::shared_ptr<void>& device_code = control->device_code()) {
    state->code_pin = owner_capsule(device_code);
  }
  state->control = std::move(control);
  state->fork_generation = fork_generation();
  return vorn::StreamCallback(&ops, state.release());
}

}  // namespace

vorn::StreamCallback make_managed_buffer_sink(std::shared_ptr<PythonStreamControl> control) {
  return make_sink(managed_buffer_ops, std::move(control));
}

vorn::StreamCallback make_data_view_sink(std::shared_ptr<PythonStreamControl> control) {
  return make_sink(data_view_ops, std::move(control));
}

}  // namespace pyvorn
