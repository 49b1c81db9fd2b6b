// How Python Device objects convert to the native device.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

#include "vorn/device.hpp"

namespace pybind11::detail {

// Converts Python Device objects to the native device, refusing an object
// whose native part was never constructed (made with __new__ alone): that
// raises RuntimeError with an empty message before any device operation.
// Every translation unit that converts a Device must see this.
template <>
class type_caster<vorn::Device> : public type_caster_base<vorn::Device> {
 public:
  bool load(handle src, bool convert) {
    if (!type_caster_base<vorn::Device>::load(src, convert)) {
      return false;
    }
    if (src.is_none()) {
      return true;
    }
    auto* self = reinterpret_cast<instance*>(src.ptr());
    value_and_holder slot = self->get_value_and_holder(get_type_info(typeid(vorn::Device)), false);
    if (!slot || !slot.holder_constructed()) {
      // Not reference_cast_error: the dispatcher would try the next overload
      // and report a TypeError instead.
      throw std::runtime_error("");
    }
    return true;
  }
};

}  // namespace pybind11::detail
