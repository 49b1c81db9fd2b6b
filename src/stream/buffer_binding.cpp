// ManagedBuffer and DataView offer Python nothing but the buffer protocol:
// a one-dimensional, writable buffer of unsigned bytes ("B"). An exported
// buffer holds a reference to its object, so a memoryview of a ManagedBuffer
// keeps the block alive.
#include "stream/buffer_binding.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

#include "module/registration.hpp"
#include "stream/event_pump.hpp"

namespace py = pybind11;

// Objects are laid out and taken apart below as this binding layer does it.
static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 10,
              "the direct instance layout in buffer_binding.cpp was written for pybind11 2.10");

namespace pyvorn {
namespace {

// The address an expired DataView points at. Never dereferenced.
std::uint8_t expired_tag;

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

template <typename T>
PyTypeObject* python_type() {
  static PyTypeObject* const type = py::detail::get_type_info(typeid(T))->type;
  return type;
}

// The ManagedBuffer type's deallocation, then the release of the object's
// share of its deleter's code hold. An object made by new_managed_buffer
// (exactly this type, the simple layout, unregistered, nothing attached) is
// taken apart here as the binding layer would, without its type look-ups;
// any other goes through the binding layer's own deallocation.
void managed_buffer_dealloc(PyObject* object) {
  using Holder = std::unique_ptr<vorn::ManagedBuffer>;
  vorn::BlockDeleter pinned = nullptr;
  auto* instance = reinterpret_cast<py::detail::instance*>(object);
  if (instance->simple_layout && instance->simple_holder_constructed) {
    const auto& block = *static_cast<const vorn::ManagedBuffer*>(instance->simple_value_holder[0]);
    pinned = needs_pin(block) ? block.data.get_deleter() : nullptr;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (type == python_type<vorn::ManagedBuffer>() && instance->simple_layout && instance->simple_holder_constructed &&
      !instance->simple_instance_registered && !instance->has_patients && instance->weakrefs == nullptr) {
    std::launder(reinterpret_cast<Holder*>(&instance->simple_value_holder[1]))->~Holder();  // runs the block's deleter
    instance->simple_holder_constructed = false;
    type->tp_free(object);
    Py_DECREF(type);
  } else {
    pybind11_dealloc_slot(object);  // runs the block's deleter
  }
  if (pinned != nullptr) {
    DeleterPin& pin = pin_of(pinned);
    if (--pin.objects == 0) {
      std::shared_ptr<void> last = std::move(pin.code);  // may unload the device's code
    }
  }
}

// A new instance of T's Python class that owns `value` through its holder.
template <typename T>
py::object adopt(std::unique_ptr<T> value) {
  PyTypeObject* type = python_type<T>();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    throw py::error_already_set();
  }
  // The layout the binding layer gives a class with one registered base and
  // a one-pointer holder: the value pointer, then the holder, in place.
  static_assert(sizeof(std::unique_ptr<T>) <= sizeof(void*) * py::detail::instance_simple_holder_in_ptrs());
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  instance->simple_layout = true;
  instance->simple_value_holder[0] = value.get();
  new (&instance->simple_value_holder[1]) std::unique_ptr<T>(std::move(value));
  instance->simple_holder_constructed = true;
  instance->simple_instance_registered = false;
  instance->owned = true;
  return py::reinterpret_steal<py::object>(self);
}

py::buffer_info describe(std::uint8_t* data, std::uint64_t size) {
  return py::buffer_info(data, 1, py::format_descriptor<std::uint8_t>::format(), 1, {static_cast<py::ssize_t>(size)},
                         {py::ssize_t{1}}, /*readonly=*/false);
}

// Refuses buffer requests on an object whose native part was never made
// (created with __new__ alone) and on an expired DataView, then defers to the
// binding layer's own export.
template <bool IsView>
int checked_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  py::detail::value_and_holder slot =
      reinterpret_cast<py::detail::instance*>(object)->get_value_and_holder(nullptr, false);
  const char* refusal = nullptr;
  if (!slot || slot.value_ptr() == nullptr) {
    refusal = "buffer object is not initialized";
  } else if constexpr (IsView) {
    if (static_cast<const vorn::DataView*>(slot.value_ptr())->data == &expired_tag) {
      refusal =
          "DataView is no longer valid: its bytes were lent only for the duration of the callback; "
          "copy them (bytes(view)) inside the callback to keep them";
    }
  }
  if (refusal != nullptr) {
    if (view != nullptr) {
      view->obj = nullptr;
    }
    PyErr_SetString(PyExc_BufferError, refusal);
    return -1;
  }
  return pybind11_getbuffer_slot(object, view, flags);
}

template <bool IsView>
void guard_buffer_export(const py::handle& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  pybind11_getbuffer_slot = type->tp_as_buffer->bf_getbuffer;
  type->tp_as_buffer->bf_getbuffer = [](PyObject* object, Py_buffer* view, int flags) {
    return checked_getbuffer<IsView>(object, view, flags);
  };
}

}  // namespace

py::object new_managed_buffer(vorn::ManagedBuffer&& block, const std::shared_ptr<void>& device_code) {
  auto value = std::make_unique<vorn::ManagedBuffer>(std::move(block));
  if (needs_pin(*value)) {
    DeleterPin& pin = pin_of(value->data.get_deleter());
    if (!pin.code) {
      pin.code = device_code;
    }
    ++pin.objects;
    try {
      return adopt(std::move(value));
    } catch (...) {
      --pin.objects;  // the block was released with `value`; the hold stays until the next object goes
      throw;
    }
  }
  return adopt(std::move(value));
}

py::object new_data_view(const vorn::DataView& view) { return adopt(std::make_unique<vorn::DataView>(view)); }

void expire_data_view(vorn::DataView& view) noexcept {
  view.data = &expired_tag;
  view.size = 0;
}

void register_buffers(py::module_& m) {
  py::class_<vorn::ManagedBuffer, std::unique_ptr<vorn::ManagedBuffer>>(m, "ManagedBuffer", py::buffer_protocol())
      .def_buffer([](vorn::ManagedBuffer& block) { return describe(block.data.get(), block.size); });

  guard_buffer_export<false>(m.attr("ManagedBuffer"));
  auto* managed_type = reinterpret_cast<PyTypeObject*>(m.attr("ManagedBuffer").ptr());
  pybind11_dealloc_slot = managed_type->tp_dealloc;
  managed_type->tp_dealloc = &managed_buffer_dealloc;

  py::class_<vorn::DataView, std::unique_ptr<vorn::DataView>>(m, "DataView", py::buffer_protocol())
      .def_buffer([](vorn::DataView& view) { return describe(view.data, view.size); });
  guard_buffer_export<true>(m.attr("DataView"));
}

}  // namespace pyvorn
