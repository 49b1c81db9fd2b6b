// ManagedBuffer and DataView offer Python nothing but the buffer protocol:
// a one-dimensional, writable buffer of unsigned bytes ("B"). An exported
// buffer holds a reference to its object, so a memoryview of a ManagedBuffer
// keeps the block alive.
#include "stream/buffer_binding.hpp"

#include <pybind11/pybind11.h>

#include "module/registration.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// The address an expired DataView points at. Never dereferenced.
std::uint8_t expired_tag;

getbufferproc pybind11_getbuffer_slot = nullptr;

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

void expire_data_view(vorn::DataView& view) noexcept {
  view.data = &expired_tag;
  view.size = 0;
}

void register_buffers(py::module_& m) {
  py::class_<vorn::ManagedBuffer, std::unique_ptr<vorn::ManagedBuffer>>(m, "ManagedBuffer", py::buffer_protocol())
      .def_buffer([](vorn::ManagedBuffer& block) { return describe(block.data.get(), block.size); });

  guard_buffer_export<false>(m.attr("ManagedBuffer"));

  py::class_<vorn::DataView, std::unique_ptr<vorn::DataView>>(m, "DataView", py::buffer_protocol())
      .def_buffer([](vorn::DataView& view) { return describe(view.data, view.size); });
  guard_buffer_export<true>(m.attr("DataView"));
}

}  // namespace pyvorn
