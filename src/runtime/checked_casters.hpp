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

template <>
class type_caster<vorn::Device> : public checked_caster<vorn::Device> {};
template <>
class type_caster<vorn::Device::DataStream> : public checked_caster<vorn::Device::DataStream> {};
template <>
class type_caster<vorn::DeviceManager> : public checked_caster<vorn::DeviceManager> {};
template <>
class type_caster<vorn::BasicDeviceStatus> : public checked_caster<vorn::BasicDeviceStatus> {};

}  // namespace pybind11::detail
