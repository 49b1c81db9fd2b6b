// Module entry of pyvorn_device.
//
// PYBIND11_MODULE provides the interpreter-version gate (the module only
// loads into CPython 3.12 and names both versions otherwise), creates the
// module object and turns what registration throws into ImportError.
#include <dlfcn.h>
#include <pybind11/pybind11.h>

#include "module/registration.hpp"

namespace py = pybind11;

// The binding layer reads the current thread state through this function,
// which CPython 3.12 exports and 3.13 no longer does. Without a definition
// the dynamic loader refuses the module under 3.13 before the version gate
// can say why. This weak definition only fills the gap: in a 3.12 process
// the interpreter's own export is found first and this one is never used.
extern "C" __attribute__((weak)) PyThreadState* _PyThreadState_UncheckedGet(void) {
  using Getter = PyThreadState* (*)();
  static const auto get_unchecked = reinterpret_cast<Getter>(dlsym(RTLD_DEFAULT, "PyThreadState_GetUnchecked"));
  return get_unchecked != nullptr ? get_unchecked() : nullptr;
}

PYBIND11_MODULE(pyvorn_device, m) {
  m.doc() = "Python binding for VORN Device";
  pyvorn::register_return_code(m);
  pyvorn::register_data_stream(m);
  pyvorn::register_buffers(m);
  pyvorn::register_device(m);
  pyvorn::register_device_manager(m);
}
