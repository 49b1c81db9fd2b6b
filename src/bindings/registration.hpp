// Registration steps of the module, called in this order by the module entry.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "runtime/checked_casters.hpp"

namespace pyvorn {

// Not a registration of the Python surface: how native errors whose text is
// not valid UTF-8 reach Python. Called first.
void register_native_errors();
void register_return_code(pybind11::module_& m);
void register_data_stream(pybind11::module_& m);
void register_buffers(pybind11::module_& m);
void register_device(pybind11::module_& m);
void register_device_manager(pybind11::module_& m);

}  // namespace pyvorn
