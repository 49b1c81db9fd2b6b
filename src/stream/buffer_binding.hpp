// Python classes ManagedBuffer and DataView.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "vorn/buffers.hpp"

namespace pyvorn {

// Marks a DataView whose loan has ended: later buffer requests on its Python
// object raise BufferError. Buffers it exported before keep their pointer.
void expire_data_view(vorn::DataView& view) noexcept;

// New Python objects for stream deliveries, made without the binding
// layer's general conversion: the type is looked up once, and the objects
// are not entered in its registry of instances (nothing looks them up by
// native address). GIL held; throw std::bad_alloc or error_already_set.
//
// A ManagedBuffer whose block carries a device's deleter keeps
// `device_code` (the device's keep-alive reference) held while it lives:
// one shared hold per deleter, counted by the objects alive, instead of a
// reference per object.
pybind11::object new_managed_buffer(vorn::ManagedBuffer&& block, const std::shared_ptr<void>& device_code);
pybind11::object new_data_view(const vorn::DataView& view);

}  // namespace pyvorn
