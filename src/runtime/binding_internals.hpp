// The module's only use of the binding layer's and the interpreter's private
// structures and symbols. Nothing else in the module reaches into
// pybind11::detail or CPython's private layouts; it calls the helpers below.
// Each helper names the reason the public interface does not do.
//
// Stream deliveries make and free their objects one of two ways, chosen by
// the build (cmake/VornBinding.cmake) as VORN_BINDING_FAST_PATH:
//   1, fast: adopt, simple_value and release_adopted write and read
//      pybind11's instance layout directly. Only for the pybind11 versions
//      whose layout and deallocation were reviewed; the layout expected of
//      each is pinned below at compile time.
//   0, generic: pybind11::cast makes the objects and pybind11's own
//      deallocation frees them; no field of an instance is touched. Any
//      other pybind11 version, or when the build forces it.
// The other helpers call pybind11's functions (instance registry, holder
// queries, keep-alive), never its layout, and are the same on both ways.
//
// GIL held for every helper unless it says otherwise. Helpers that may throw
// say so; the others do not.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <typeinfo>
#include <utility>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 12
#error "binding_internals.hpp reads CPython 3.12's private structures: review every helper for another CPython"
#endif

#ifndef VORN_BINDING_FAST_PATH
#define VORN_BINDING_FAST_PATH 0
#endif

namespace pyvorn::internals {

// Where the fast path expects an instance's parts: the instance's size, its
// value pointers (the first one, then the holder in place, in the simple
// layout of a class with one registered base), its list of weak references,
// and how many pointers a holder may take in place.
struct InstanceLayout {
  std::size_t size;
  std::size_t value_and_holder;
  std::size_t weakrefs;
  std::size_t holder_pointers;
};

// The pybind11 versions whose layout, deallocation and registry use were
// reviewed, each with the layout its headers define (cmake/VornBinding.cmake
// lists the same versions). 2.10 to 2.13 share one: the object header, a
// union of three pointers (value, two-pointer holder) with the non-simple
// part, the weak references, then the flag bits.
struct ReviewedVersion {
  int major;
  int minor;
  InstanceLayout layout;
};
constexpr InstanceLayout kLayout2x{sizeof(PyObject) + 5 * sizeof(void*), sizeof(PyObject),
                                   sizeof(PyObject) + 3 * sizeof(void*), 2};
constexpr ReviewedVersion kReviewedVersions[] = {
    {2, 10, kLayout2x}, {2, 11, kLayout2x}, {2, 12, kLayout2x}, {2, 13, kLayout2x}};

// The reviewed layout of the pybind11 being compiled against; all zero for
// one not reviewed.
constexpr InstanceLayout reviewed_layout() {
  for (const ReviewedVersion& version : kReviewedVersions) {
    if (version.major == PYBIND11_VERSION_MAJOR && version.minor == PYBIND11_VERSION_MINOR) {
      return version.layout;
    }
  }
  return {0, 0, 0, 0};
}
constexpr InstanceLayout kReviewedLayout = reviewed_layout();

#if VORN_BINDING_FAST_PATH
static_assert(kReviewedLayout.size != 0,
              "cmake/VornBinding.cmake chose the fast path for a pybind11 whose instance layout is not reviewed here");
using Instance = pybind11::detail::instance;
static_assert(std::is_standard_layout_v<Instance>);
static_assert(sizeof(Instance) == kReviewedLayout.size, "pybind11's instance has another size than reviewed");
static_assert(offsetof(Instance, simple_value_holder) == kReviewedLayout.value_and_holder,
              "pybind11's value pointer and holder are not where reviewed");
static_assert(offsetof(Instance, weakrefs) == kReviewedLayout.weakrefs,
              "pybind11's weak-reference list is not where reviewed");
static_assert(pybind11::detail::instance_simple_holder_in_ptrs() == kReviewedLayout.holder_pointers,
              "pybind11's in-place holder has another size than reviewed");
#endif

// The way this build delivers ("fast" or "generic"), for what reports it.
constexpr const char* kBindingPath = VORN_BINDING_FAST_PATH ? "fast" : "generic";

// The Python type registered for T, looked up once. Throws when T is not
// registered. Reason: the delivery path cannot afford a look-up per object.
template <typename T>
PyTypeObject* python_type() {
  static PyTypeObject* const type = reinterpret_cast<PyTypeObject*>(pybind11::type::handle_of<T>().ptr());
  return type;
}

// For an object of exactly T's registered class (not a subclass): sets
// `exact` and returns its native value, or null when that was never made
// (__new__ alone). For any other object `exact` is false and the caller
// converts it the general way. The class's type record is looked up once.
// Reason: pybind11's conversion looks the type up by its mangled name (a
// string hash) for every call, and again to check the holder.
template <typename T>
T* exact_value(PyObject* object, bool& exact) noexcept {
  namespace detail = pybind11::detail;
  static const detail::type_info* type = nullptr;  // guarded by the GIL
  if (type == nullptr) {
    type = detail::get_type_info(typeid(T));
  }
  exact = type != nullptr && Py_TYPE(object) == type->type;
  if (!exact) {
    return nullptr;
  }
  // An object of exactly the class: its first value, without a search.
  detail::value_and_holder slot = reinterpret_cast<detail::instance*>(object)->get_value_and_holder(type, false);
  return slot && slot.holder_constructed() ? static_cast<T*>(slot.value_ptr()) : nullptr;
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
// std::unique_ptr holder. Fast: not entered in the registry of instances
// (nothing looks it up by native address); throws error_already_set when
// allocation fails. Generic: pybind11::cast; throws what it throws. Reason:
// pybind11::cast registers every instance and looks its type up per call,
// too slow for every stream delivery.
template <typename T>
pybind11::object adopt(std::unique_ptr<T> value) {
#if VORN_BINDING_FAST_PATH
  namespace detail = pybind11::detail;
  PyTypeObject* type = python_type<T>();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    throw pybind11::error_already_set();
  }
  // The simple layout: the value pointer, then the holder, in place.
  static_assert(sizeof(std::unique_ptr<T>) <= sizeof(void*) * detail::instance_simple_holder_in_ptrs());
  auto* instance = reinterpret_cast<detail::instance*>(self);
  instance->simple_layout = true;
  instance->simple_value_holder[0] = value.get();
  new (&instance->simple_value_holder[1]) std::unique_ptr<T>(std::move(value));
  instance->simple_holder_constructed = true;
  instance->simple_instance_registered = false;
  instance->owned = true;
  return pybind11::reinterpret_steal<pybind11::object>(self);
#else
  return pybind11::cast(std::move(value));
#endif
}

// The value of an object of T's class (or a subclass) whose holder was
// made, else null. For a deallocation, which may not look at anything else
// (fast: the simple layout only, as adopt makes it). Reason: as for adopt.
template <typename T>
const T* simple_value(PyObject* object) noexcept {
#if VORN_BINDING_FAST_PATH
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
  return instance->simple_layout && instance->simple_holder_constructed
             ? static_cast<const T*>(instance->simple_value_holder[0])
             : nullptr;
#else
  return holds_native_value(object, typeid(T)) ? static_cast<const T*>(first_value(object)) : nullptr;
#endif
}

// Takes apart an object made by adopt<T> that nothing was attached to since
// (exactly T's type, unregistered, no keep-alive patients, no weak
// references) as pybind11's deallocation would, without its type look-ups:
// destroys the holder, then frees the object. Returns false and leaves any
// other object untouched; the generic way always does. Reason: as for adopt.
template <typename T>
bool release_adopted(PyObject* object) noexcept {
#if VORN_BINDING_FAST_PATH
  using Holder = std::unique_ptr<T>;
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
  PyTypeObject* type = Py_TYPE(object);
  if (type != python_type<T>() || !instance->simple_layout || !instance->simple_holder_constructed ||
      instance->simple_instance_registered || instance->has_patients || instance->weakrefs != nullptr) {
    return false;
  }
  // As pybind11 2.13 does, an object of a type with a collector slot is
  // untracked first (adopt's types have none).
  if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC) != 0) {
    PyObject_GC_UnTrack(object);
  }
  std::launder(reinterpret_cast<Holder*>(&instance->simple_value_holder[1]))->~Holder();
  instance->simple_holder_constructed = false;
  type->tp_free(object);
  Py_DECREF(type);
  return true;
#else
  static_cast<void>(object);
  return false;
#endif
}

// The value of an object made by adopt<T> that the caller holds the only
// reference to and that nothing was attached to since (exactly T's type,
// unregistered, no keep-alive patients, no weak references): the caller may
// then give the object a new value and hand it out again instead of making
// a new one. Null for any other object; the generic way always returns null.
// Reason: as for adopt; pybind11 has no notion of reusing an instance.
template <typename T>
T* reusable_value(PyObject* object) noexcept {
#if VORN_BINDING_FAST_PATH
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
  if (Py_REFCNT(object) != 1 || Py_TYPE(object) != python_type<T>() || !instance->simple_layout ||
      !instance->simple_holder_constructed || instance->simple_instance_registered || instance->has_patients ||
      instance->weakrefs != nullptr) {
    return nullptr;
  }
  return static_cast<T*>(instance->simple_value_holder[0]);
#else
  static_cast<void>(object);
  return nullptr;
#endif
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
