#include "runtime/binding_internals.hpp"

#ifdef _WIN32
#error "pyvorn_device is built for Linux only: interpreter symbols are looked up through the dynamic loader"
#else
#include <dlfcn.h>
#endif

namespace py = pybind11;

// CPython 3.12 exports the reader of the current thread state under this
// name; 3.13 no longer does. Without a definition the dynamic loader refuses
// the module under 3.13 before the interpreter-version gate can say why.
// This weak definition only fills that gap: in a 3.12 process the
// interpreter's own export is found first and this one is never used.
extern "C" __attribute__((weak)) PyThreadState* _PyThreadState_UncheckedGet(void) {
  using Getter = PyThreadState* (*)();
  static const auto get_unchecked =
      reinterpret_cast<Getter>(pyvorn::internals::interpreter_symbol("PyThreadState_GetUnchecked"));
  return get_unchecked != nullptr ? get_unchecked() : nullptr;
}

namespace pyvorn::internals {

bool holds_native_value(py::handle object, const std::type_info& type) noexcept {
  auto* self = reinterpret_cast<py::detail::instance*>(object.ptr());
  py::detail::value_and_holder slot = self->get_value_and_holder(py::detail::get_type_info(type), false);
  return slot && slot.holder_constructed();
}

void* first_value(py::handle object) noexcept {
  py::detail::value_and_holder slot =
      reinterpret_cast<py::detail::instance*>(object.ptr())->get_value_and_holder(nullptr, false);
  return slot ? slot.value_ptr() : nullptr;
}

void keep_alive(py::handle nurse, py::handle patient) { py::detail::keep_alive_impl(nurse, patient); }

getbufferproc replace_getbuffer(py::handle cls, getbufferproc replacement) noexcept {
  PyBufferProcs* slots = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_as_buffer;
  getbufferproc own = slots->bf_getbuffer;
  slots->bf_getbuffer = replacement;
  return own;
}

destructor replace_dealloc(py::handle cls, destructor replacement) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  destructor own = type->tp_dealloc;
  type->tp_dealloc = replacement;
  return own;
}

Py_ssize_t memoryview_exports(py::handle view) noexcept {
  return reinterpret_cast<PyMemoryViewObject*>(view.ptr())->exports;
}

Py_ssize_t memoryview_shared_exports(py::handle view) noexcept {
  return reinterpret_cast<PyMemoryViewObject*>(view.ptr())->mbuf->exports;
}

PyThreadState* current_thread_state() noexcept { return _PyThreadState_UncheckedGet(); }

void* interpreter_symbol(const char* name) noexcept { return dlsym(RTLD_DEFAULT, name); }

}  // namespace pyvorn::internals
