// The module's only use of the binding layer's and the interpreter's private
// structures and symbols. Nothing else in the module reaches into
// pybind11::detail or CPython's private layouts; it calls the helpers below.
// Each helper names the reason the public interface does not do.
//
// GIL held for every helper unless it says otherwise. Helpers that may throw
// say so; the others do not.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

#if PYBIND11_VERSION_MAJOR != 2 || PYBIND11_VERSION_MINOR != 10
#error "binding_internals.hpp reads pybind11 2.10's instance layout: review every helper for another pybind11"
#endif
#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 12
#error "binding_internals.hpp reads CPython 3.12's private structures: review every helper for another CPython"
#endif

namespace pyvorn::internals {

// The Python type registered for T, looked up once. Throws when T is not
// registered. Reason: the delivery path cannot afford a look-up per object.
template <typename T>
PyTypeObject* python_type() {
  static PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(pybind11::type::handle_of<T>().ptr());
  return type;
}

// True when the native part `object` has for the registered type `type` was
// made (false for an object made with __new__ alone). Reason: pybind11 has
// no public test of a holder.
bool holds_native_value(pybind11::handle object, const std::type_info& type) noexcept;

// The value pointer of `object`'s first registered base, or null while it
// has none. Reason: a buffer export runs before any caster could check it.
void* first_value(pybind11::handle object) noexcept;

// The holder of the Python object that wraps `native`, or null when none
// wraps it or its holder was never made. Reason: pybind11's registry of
// instances is private.
template <typename Holder, typename T>
const Holder* registered_holder(const T& native) noexcept {
  namespace detail = pybind11::detail;
  const detail::type_info* type = detail::get_type_info(typeid(T));
  pybind11::handle self = detail::get_object_handle(&native, type);
  if (!self) {
    return nullptr;
  }
  detail::value_and_holder slot = reinterpret_cast<detail::instance*>(self.ptr())->get_value_and_holder(type, false);
  return slot && slot.holder_constructed() ? &slot.template holder<Holder>() : nullptr;
}

// The Python object registered for the native object at `native` (a new
// reference), or null when there is none, also once an owner that is being
// taken apart has been unregistered. Only the address is used. Reason:
// pybind11::cast would wrap an unregistered pointer in a new object that
// keeps nothing alive.
template <typename T>
pybind11::object registered_object(const T* native) {
  namespace detail = pybind11::detail;
  pybind11::handle self = detail::get_object_handle(native, detail::get_type_info(typeid(T)));
  return pybind11::reinterpret_borrow<pybind11::object>(self);
}

// A new instance of T's Python class that owns `value` through its
// std::unique_ptr holder and is not entered in the registry of instances
// (nothing looks it up by native address). Throws error_already_set when
// allocation fails. Reason: pybind11::cast registers every instance and
// looks its type up per call, too slow for every stream delivery.
template <typename T>
pybind11::object adopt(std::unique_ptr<T> value) {
  namespace detail = pybind11::detail;
  PyTypeObject* type = python_type<T>();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    throw pybind11::error_already_set();
  }
  // The layout of a class with one registered base and a one-pointer holder:
  // the value pointer, then the holder, in place.
  static_assert(sizeof(std::unique_ptr<T>) <= sizeof(void*) * detail::instance_simple_holder_in_ptrs());
  auto* instance = reinterpret_cast<detail::instance*>(self);
  instance->simple_layout = true;
  instance->simple_value_holder[0] = value.get();
  new (&instance->simple_value_holder[1]) std::unique_ptr<T>(std::move(value));
  instance->simple_holder_constructed = true;
  instance->simple_instance_registered = false;
  instance->owned = true;
  return pybind11::reinterpret_steal<pybind11::object>(self);
}

// The value of an object of T's class (or a subclass) with a one-base layout
// and a made holder, else null. For a deallocation, which may not look at
// anything else. Reason: as for adopt.
template <typename T>
const T* simple_value(PyObject* object) noexcept {
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
  return instance->simple_layout && instance->simple_holder_constructed
             ? static_cast<const T*>(instance->simple_value_holder[0])
             : nullptr;
}

// Takes apart an object made by adopt<T> that nothing was attached to since
// (exactly T's type, unregistered, no keep-alive patients, no weak
// references) as pybind11's deallocation would, without its type look-ups:
// destroys the holder, then frees the object. Returns false and leaves any
// other object untouched. Reason: as for adopt.
template <typename T>
bool release_adopted(PyObject* object) noexcept {
  using Holder = std::unique_ptr<T>;
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
  PyTypeObject* type = Py_TYPE(object);
  if (type != python_type<T>() || !instance->simple_layout || !instance->simple_holder_constructed ||
      instance->simple_instance_registered || instance->has_patients || instance->weakrefs != nullptr) {
    return false;
  }
  std::launder(reinterpret_cast<Holder*>(&instance->simple_value_holder[1]))->~Holder();
  instance->simple_holder_constructed = false;
  type->tp_free(object);
  Py_DECREF(type);
  return true;
}

// Keeps `patient` alive while `nurse` lives, as pybind11::keep_alive does
// for call arguments. May throw error_already_set. Reason: pybind11 offers
// it for arbitrary objects only in its private part.
void keep_alive(pybind11::handle nurse, pybind11::handle patient);

// Install `replacement` in a registered class's buffer export or
// deallocation slot and return pybind11's own, which the replacement calls
// on. Called once per class, at registration. Reason: pybind11 has no hook
// around either slot.
getbufferproc replace_getbuffer(pybind11::handle cls, getbufferproc replacement) noexcept;
destructor replace_dealloc(pybind11::handle cls, destructor replacement) noexcept;

// Buffers exported by the memoryview `view` itself, and exports of the
// managed buffer it shares with the views derived from it (one per view).
// Reason: CPython offers no accessor for either count.
Py_ssize_t memoryview_exports(pybind11::handle view) noexcept;
Py_ssize_t memoryview_shared_exports(pybind11::handle view) noexcept;

// The calling thread's Python thread state while it holds the GIL, else
// null. Any thread, GIL not needed. Reason: PyThreadState_Get aborts without
// one, and PyGILState_Check is wrong once subinterpreters exist.
PyThreadState* current_thread_state() noexcept;

// The address of a function the interpreter exports, or null. Any thread,
// GIL not needed. Reason: such names differ between interpreter versions,
// and a missing one must not keep the module from loading.
void* interpreter_symbol(const char* name) noexcept;

}  // namespace pyvorn::internals
