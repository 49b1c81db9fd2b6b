// The Python objects of ManagedBuffer and DataView: how stream deliveries
// make them, how they export their bytes, and how a ManagedBuffer goes. An
// exported buffer holds a reference to its object, so a memoryview of a
// ManagedBuffer keeps the block alive.
#include "bridges/buffer_objects.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/stream/event_pump.hpp"
#include "runtime/binding_internals.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// The address an expired DataView points at. Never dereferenced.
std::uint8_t expired_tag;
// The address an empty block with null data is exported at, so that no
// consumer of the buffer sees a null pointer. Never written: its length is 0.
std::uint8_t empty_block;

getbufferproc pybind11_getbuffer_slot = nullptr;
destructor pybind11_dealloc_slot = nullptr;

// Holds of device code for ManagedBuffers alive, one per block deleter.
// Guarded by the GIL (made and destroyed only with it held). Entries are
// never removed, so a pointer to one stays valid.
struct DeleterPin {
  std::int64_t objects = 0;
  std::shared_ptr<void> code;
};

DeleterPin& pin_of(vorn::BlockDeleter deleter) {
  static auto* const pins = new std::unordered_map<vorn::BlockDeleter, DeleterPin>();
  static vorn::BlockDeleter last_deleter = nullptr;
  static DeleterPin* last_pin = nullptr;
  if (deleter != last_deleter || last_pin == nullptr) {
    last_pin = &(*pins)[deleter];
    last_deleter = deleter;
  }
  return *last_pin;
}

// Blocks whose deleter is the device's: those need its code loaded.
bool needs_pin(const vorn::ManagedBuffer& block) noexcept {
  return block.data != nullptr && block.data.get_deleter() != pump_block_deleter();
}

// Counts one more object alive with `block`, holding `device_code` for its
// deleter from the first on.
void pin_block(const vorn::ManagedBuffer& block, const std::shared_ptr<void>& device_code) noexcept {
  if (needs_pin(block)) {
    DeleterPin& pin = pin_of(block.data.get_deleter());
    if (!pin.code) {
      pin.code = device_code;
    }
    ++pin.objects;
  }
}

// One object fewer with a block of `deleter` (null: none that was pinned).
void unpin(vorn::BlockDeleter deleter) noexcept {
  if (deleter != nullptr) {
    DeleterPin& pin = pin_of(deleter);
    if (--pin.objects == 0) {
      std::shared_ptr<void> last = std::move(pin.code);  // may unload the device's code
    }
  }
}

// The ManagedBuffer type's deallocation, then the release of the object's
// share of its deleter's code hold. An object made by new_managed_buffer
// (exactly this type, the simple layout, unregistered, nothing attached) is
// taken apart here as the binding layer would, without its type look-ups;
// any other goes through the binding layer's own deallocation.
void managed_buffer_dealloc(PyObject* object) {
  const vorn::ManagedBuffer* block = internals::simple_value<vorn::ManagedBuffer>(object);
  const vorn::BlockDeleter pinned = block != nullptr && needs_pin(*block) ? block->data.get_deleter() : nullptr;
  // Either way the block's deleter runs here.
  if (!internals::release_adopted<vorn::ManagedBuffer>(object)) {
    pybind11_dealloc_slot(object);
  }
  unpin(pinned);
}

// The block behind a buffer object's value: a ManagedBuffer's or a DataView's.
template <bool IsView>
vorn::DataView block_of(const void* value) noexcept {
  if constexpr (IsView) {
    return *static_cast<const vorn::DataView*>(value);
  } else {
    const auto& chunk = *static_cast<const vorn::ManagedBuffer*>(value);
    return {chunk.data.get(), chunk.size};
  }
}

// Why a buffer object's value cannot be exported, or an empty text: the
// native part was never made (created with __new__ alone), the DataView has
// expired, or no buffer can describe the block (null data with a non-zero
// size, or a size beyond Py_ssize_t; the event pump hands such chunks on as
// error texts, so none should get here).
template <bool IsView>
std::string refusal_of(const void* value) {
  if (value == nullptr) {
    return "buffer object is not initialized";
  }
  const vorn::DataView block = block_of<IsView>(value);
  if (IsView && block.data == &expired_tag) {
    return "DataView is no longer valid: its bytes were lent only for the duration of the callback; "
           "copy them (bytes(view)) inside the callback to keep them";
  }
  if (block.data == nullptr && block.size != 0) {
    return "cannot export a buffer with null data and " + std::to_string(block.size) + " bytes";
  }
  if (block.size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    return "cannot export a buffer of " + std::to_string(block.size) + " bytes: more than a buffer can hold";
  }
  return {};
}

// Refuses the requests refusal_of names, then defers to the binding layer's
// own export.
template <bool IsView>
int checked_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  const std::string refusal = refusal_of<IsView>(internals::first_value(object));
  if (!refusal.empty()) {
    if (view != nullptr) {
      view->obj = nullptr;
    }
    PyErr_SetString(PyExc_BufferError, refusal.c_str());
    return -1;
  }
  return pybind11_getbuffer_slot(object, view, flags);
}

template <bool IsView>
void guard_buffer_export(const py::handle& cls) {
  pybind11_getbuffer_slot = internals::replace_getbuffer(
      cls, [](PyObject* object, Py_buffer* view, int flags) { return checked_getbuffer<IsView>(object, view, flags); });
}

}  // namespace

py::object new_managed_buffer(vorn::ManagedBuffer&& block, const std::shared_ptr<void>& device_code) {
  auto value = std::make_unique<vorn::ManagedBuffer>(std::move(block));
  if (needs_pin(*value)) {
    DeleterPin& pin = pin_of(value->data.get_deleter());
    pin_block(*value, device_code);
    try {
      return internals::adopt(std::move(value));
    } catch (...) {
      --pin.objects;  // the block was released with `value`; the hold stays until the next object goes
      throw;
    }
  }
  return internals::adopt(std::move(value));
}

py::object new_data_view(const vorn::DataView& view) {
  return internals::adopt(std::make_unique<vorn::DataView>(view));
}

vorn::ManagedBuffer* reclaim_managed_buffer(py::handle object, vorn::BlockDeleter& pin) noexcept {
  vorn::ManagedBuffer* value = internals::reusable_value<vorn::ManagedBuffer>(object.ptr());
  if (value == nullptr) {
    return nullptr;
  }
  // As managed_buffer_dealloc, the block's deleter runs here; the object's
  // share of the hold of its code stays with `pin`.
  pin = needs_pin(*value) ? value->data.get_deleter() : nullptr;
  *value = vorn::ManagedBuffer();
  return value;
}

void refill_managed_buffer(vorn::ManagedBuffer& value, vorn::ManagedBuffer&& block, vorn::BlockDeleter pin,
                           const std::shared_ptr<void>& device_code) noexcept {
  value = std::move(block);
  const vorn::BlockDeleter wanted = needs_pin(value) ? value.data.get_deleter() : nullptr;
  if (wanted != pin) {
    unpin(pin);
    pin_block(value, device_code);
  }
}

void release_pin(vorn::BlockDeleter pin) noexcept { unpin(pin); }

vorn::DataView* reclaim_data_view(py::handle object) noexcept {
  vorn::DataView* value = internals::reusable_value<vorn::DataView>(object.ptr());
  if (value != nullptr) {
    expire_data_view(*value);
  }
  return value;
}

void refill_data_view(vorn::DataView& value, const vorn::DataView& view) noexcept { value = view; }

void expire_data_view(vorn::DataView& view) noexcept {
  view.data = &expired_tag;
  view.size = 0;
}

py::buffer_info describe_block(std::uint8_t* data, std::uint64_t size) {
  return py::buffer_info(data != nullptr ? data : &empty_block, 1, py::format_descriptor<std::uint8_t>::format(), 1,
                         {static_cast<py::ssize_t>(size)}, {py::ssize_t{1}}, /*readonly=*/false);
}

void install_buffer_slots(py::handle managed_buffer_class, py::handle data_view_class) {
  guard_buffer_export<false>(managed_buffer_class);
  pybind11_dealloc_slot = internals::replace_dealloc(managed_buffer_class, &managed_buffer_dealloc);
  guard_buffer_export<true>(data_view_class);
}

}  // namespace pyvorn
