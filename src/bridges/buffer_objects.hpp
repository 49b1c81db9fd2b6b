// The Python objects of ManagedBuffer and DataView (the classes are
// registered by the bindings).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
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

// Reuse of a delivery's object that Python let go of, instead of freeing it
// and making the next one. reclaim_* takes back an object made by new_*
// (or refilled) once the caller holds the only reference and nothing was
// attached to it (internals::reusable_value), and returns its value: a
// ManagedBuffer's block is released at once, as its deallocation would, and
// a DataView expires. Null leaves any other object as it is. refill_* gives
// a reclaimed object's value its next block or view, as new_* would make it.
// GIL held; never throw.
//
// A reclaimed ManagedBuffer keeps counting in the hold of its old block's
// device code (see new_managed_buffer): reclaim sets `pin` to that block's
// deleter (null when it held none), refill takes it over (kept when the new
// block has the same deleter, the usual case, else released), and
// release_pin releases it for an object dropped without a refill.
vorn::ManagedBuffer* reclaim_managed_buffer(pybind11::handle object, vorn::BlockDeleter& pin) noexcept;
void refill_managed_buffer(vorn::ManagedBuffer& value, vorn::ManagedBuffer&& block, vorn::BlockDeleter pin,
                           const std::shared_ptr<void>& device_code) noexcept;
void release_pin(vorn::BlockDeleter pin) noexcept;
vorn::DataView* reclaim_data_view(pybind11::handle object) noexcept;
void refill_data_view(vorn::DataView& value, const vorn::DataView& view) noexcept;

// The buffer both classes export: `size` unsigned bytes at `data`, one
// dimension, writable (an empty block with null data at a valid address).
// GIL held.
pybind11::buffer_info describe_block(std::uint8_t* data, std::uint64_t size);

// Installs, once, at registration, the buffer export that refuses what no
// buffer can describe (an object without its native part, an expired
// DataView, a block no buffer can hold) and the ManagedBuffer deallocation
// that releases the hold on its device's code. GIL held.
void install_buffer_slots(pybind11::handle managed_buffer_class, pybind11::handle data_view_class);

}  // namespace pyvorn
