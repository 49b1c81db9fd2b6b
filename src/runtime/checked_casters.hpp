// How Python objects of the module's classes convert to their native values.
//
// An object made with a class's __new__ alone holds no native value; its
// value pointer is garbage. Every class the module registers with a holder
// refuses such an object with RuntimeError before anything reads the value.
// Every translation unit that converts one of these types must include this
// header (it specialises the conversions; two definitions would break the
// one-definition rule).
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "runtime/binding_internals.hpp"
#include "vorn/device.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/status.hpp"

namespace pyvorn {

// The device a Device method is called on, as its first (self) parameter.
// Converts as vorn::Device& does, and renders as the Device class in
// signatures, but is not the class's own caster, which must build on
// pybind11's generic one (that looks the type up by name on every call): an
// object of exactly the class costs a type comparison.
struct DeviceSelf {
  vorn::Device* device = nullptr;
  vorn::Device& operator*() const noexcept { return *device; }
  vorn::Device* operator->() const noexcept { return device; }
};

}  // namespace pyvorn

namespace pybind11::detail {

template <typename T>
class checked_caster : public type_caster_base<T> {
 public:
  bool load(handle src, bool convert) {
    if (!type_caster_base<T>::load(src, convert)) {
      return false;
    }
    if (src.is_none()) {
      return true;
    }
    if (!pyvorn::internals::holds_native_value(src, typeid(T))) {
      // Not reference_cast_error: the dispatcher would try the next overload
      // and report a TypeError instead.
      throw std::runtime_error(message(src));
    }
    return true;
  }

 private:
  static std::string message(handle src) {
    if constexpr (std::is_same_v<T, vorn::Device>) {
      static_cast<void>(src);
      return "";  // a Device made with __new__ alone: an empty message
    } else {
      return std::string(Py_TYPE(src.ptr())->tp_name) + " object holds no native value (made with __new__ alone)";
    }
  }
};

// Device is converted for every method call (as self): an object of exactly
// the class takes a short way (internals::exact_value), with the same
// outcome; any other object (a Python subclass, None) the checked one.
template <>
class type_caster<vorn::Device> : public checked_caster<vorn::Device> {
 public:
  bool load(handle src, bool convert) {
    bool exact = false;
    vorn::Device* device = pyvorn::internals::exact_value<vorn::Device>(src.ptr(), exact);
    if (!exact) {
      return checked_caster<vorn::Device>::load(src, convert);
    }
    if (device == nullptr) {
      throw std::runtime_error("");  // made with __new__ alone: as checked_caster says it
    }
    value = device;
    return true;
  }
};

template <>
class type_caster<pyvorn::DeviceSelf> {
 public:
  static constexpr auto name = const_name<vorn::Device>();
  template <typename T>
  using cast_op_type = pyvorn::DeviceSelf&;

  bool load(handle src, bool convert) {
    bool exact = false;
    value_.device = pyvorn::internals::exact_value<vorn::Device>(src.ptr(), exact);
    if (exact) {
      if (value_.device == nullptr) {
        throw std::runtime_error("");  // as type_caster<vorn::Device> says it
      }
      return true;
    }
    type_caster<vorn::Device> general;  // only off the short way: it looks the type up
    if (!general.load(src, convert)) {
      return false;
    }
    value_.device = static_cast<vorn::Device*>(general);
    return true;
  }
  // As the conversion to vorn::Device& (None converts, then fails here).
  operator pyvorn::DeviceSelf&() {
    if (value_.device == nullptr) {
      throw reference_cast_error();
    }
    return value_;
  }

 private:
  pyvorn::DeviceSelf value_;
};
template <>
class type_caster<vorn::Device::DataStream> : public checked_caster<vorn::Device::DataStream> {};
template <>
class type_caster<vorn::DeviceManager> : public checked_caster<vorn::DeviceManager> {};
template <>
class type_caster<vorn::BasicDeviceStatus> : public checked_caster<vorn::BasicDeviceStatus> {};

}  // namespace pybind11::detail
