// The last adapters of a stream: they call the Python callback.
#pragma once

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/stream/stream_lifecycle.hpp"
#include "vorn/stream.hpp"

namespace pyvorn {

// A Python callable that receives stream deliveries (None is refused when
// the argument is converted). Holds one reference; copy and destroy it only
// with the GIL held.
struct ManagedBufferCallable {
  pybind11::object target;
};
struct DataViewCallable {
  pybind11::object target;
};

// The Python side of a stream's control: the stream's callable lives here,
// not in its sink, so that the garbage collector can see it through the
// Python DataStream and clear it, which breaks a cycle through a callback
// that refers back to the stream's owner. `callable` is read and changed only
// with the GIL held; the sink drops it (or, at exit, abandons it) before the
// control can be released on a thread without the GIL. Null once cleared.
struct PythonStreamControl final : StreamControl {
  PythonStreamControl(std::shared_ptr<void> device_code, std::string label, pybind11::object target) noexcept
      : StreamControl(std::move(device_code), std::move(label)), callable(std::move(target)) {}

  pybind11::object callable;
};

// Sinks: StreamCallbacks that deliver each event to a Python callable as
// (chunk or None, text or None), taking the GIL for the call. They run on the
// stream's worker thread, which keeps one Python thread state for its whole
// life. Every delivery is guarded: an exception from the callable (or from
// converting its arguments) is logged through spdlog's default logger as
// "Error in callback: {}" and the stream goes on.
//
// `control` is the stream's and holds the callable: a delivery begins only
// while it is not muted,
// and its device_code() keeps the code of the device that feeds the stream
// loaded (may be null). Chunks carry deleters that live in that code, so the
// sink holds it until it is destroyed, and every ManagedBuffer or kept
// DataView it hands to Python holds it too, however long Python keeps them.
//
// Deliveries stop as soon as the stream is stopped or muted, also in the
// middle of an event's deliveries, and once the interpreter exits. A device
// error text that is not valid UTF-8 is delivered with each invalid byte
// replaced by U+FFFD.
//
// In a child process forked from inside a delivery, the forking thread is the
// child's only thread and the stream's producer is gone: when the callback
// returns there, the child ends as a program would whose last statement was
// the callback (exit status 0, or what SystemExit asks for, or 1 after an
// exception, which is printed), running its exit handlers.
//
// ManagedBufferSink: owning chunks become ManagedBuffer objects (moved, no
// copy); a chunk view gets (None, "Unsupported data type: DataView").
vorn::StreamCallback make_managed_buffer_sink(std::shared_ptr<PythonStreamControl> control);

// DataViewSink: owning chunks and chunk views become DataView objects that
// point at the bytes in place. A DataView is lent for the call only: if
// Python still refers to it afterwards, it exports no further buffers, and
// the bytes behind buffers it already exported are taken over (through the
// ViewLease of the emitting adapter, or from the event itself) and kept alive
// for as long as the DataView object lives.
vorn::StreamCallback make_data_view_sink(std::shared_ptr<PythonStreamControl> control);

}  // namespace pyvorn

namespace pybind11::detail {

// Both callables render and convert like the std::function types of the
// stream methods, but keep the Python object itself so the sinks control
// how arguments are made and released.
template <typename Callable, typename Signature>
struct stream_callable_caster {
  PYBIND11_TYPE_CASTER(Callable, make_caster<std::function<Signature>>::name);

  bool load(handle src, bool) {
    if (src.is_none() || PyCallable_Check(src.ptr()) == 0) {
      return false;
    }
    value.target = reinterpret_borrow<object>(src);
    return true;
  }
  static handle cast(const Callable& src, return_value_policy, handle) { return src.target.inc_ref(); }
};

template <>
struct type_caster<pyvorn::ManagedBufferCallable>
    : stream_callable_caster<pyvorn::ManagedBufferCallable,
                             void(std::optional<vorn::ManagedBuffer>, std::optional<std::string>)> {};
template <>
struct type_caster<pyvorn::DataViewCallable>
    : stream_callable_caster<pyvorn::DataViewCallable,
                             void(std::optional<vorn::DataView>, std::optional<std::string>)> {};

}  // namespace pybind11::detail
