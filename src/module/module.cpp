// Module entry of pyvorn_device.
//
// PYBIND11_MODULE provides the interpreter-version gate (the module only
// loads into CPython 3.12 and names both versions otherwise), creates the
// module object and turns what registration throws into ImportError. The
// module loads under other interpreters far enough to reach that gate (see
// binding_internals.cpp).
#include <pybind11/pybind11.h>

#include "module/registration.hpp"

PYBIND11_MODULE(pyvorn_device, m) {
  m.doc() = "Python binding for VORN Device";
  pyvorn::register_return_code(m);
  pyvorn::register_data_stream(m);
  pyvorn::register_buffers(m);
  pyvorn::register_device(m);
  pyvorn::register_device_manager(m);
}
