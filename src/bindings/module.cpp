// Module entry of pyvorn_device.
//
// The entry point checks, in this order, that the interpreter is CPython 3.12
// (naming both versions otherwise) and that it is the main interpreter, then
// creates the module once and runs the registration. The module loads under
// other interpreters far enough to reach the version gate (see
// binding_internals.cpp).
//
// Only the main interpreter may import the module. The binding layer keeps
// one registry of types for the whole process, the exit gate and the stream
// registry are process-wide, and stream workers enter Python with thread
// states of the main interpreter: a module object shared with, or made in, a
// subinterpreter would deliver into the wrong interpreter, or leave the main
// one unable to import it after the subinterpreter is gone. So the module
// definition asks the interpreter to call the entry point on every import
// (a state size of 0 instead of -1, whose saved copy of the module would let
// a subinterpreter import it without asking), the entry point refuses every
// interpreter but the main one, and the main interpreter gets its one module
// object back on a repeated import.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>

#include "bindings/registration.hpp"

namespace {

PyModuleDef module_definition{};
// The main interpreter's module, kept for repeated imports (after
// `del sys.modules["pyvorn_device"]`). GIL held for every use.
PyObject* main_module = nullptr;

void register_module(pybind11::module_& m) {
  pyvorn::register_native_errors();
  m.doc() = "Python binding for VORN Device";
  pyvorn::register_return_code(m);
  pyvorn::register_data_stream(m);
  pyvorn::register_buffers(m);
  pyvorn::register_device(m);
  pyvorn::register_device_manager(m);
  // pybind11 2.13.6 and later give every class a method through which other
  // extensions take raw pointers to its objects (_pybind11_conduit_v1_). The
  // module's classes offer none, so their surface is the same on every
  // pybind11.
  for (auto item : pybind11::reinterpret_borrow<pybind11::dict>(m.attr("__dict__"))) {
    pybind11::handle value = item.second;
    if (PyType_Check(value.ptr()) && value.attr("__dict__").contains("_pybind11_conduit_v1_")) {
      pybind11::delattr(value, "_pybind11_conduit_v1_");
    }
  }
}

// Sets ImportError and returns false unless the calling thread runs in the
// main interpreter. GIL held.
bool refuse_subinterpreter() {
  PyInterpreterState* current = PyInterpreterState_Get();
  if (current == PyInterpreterState_Main()) {
    return false;
  }
  PyErr_Format(PyExc_ImportError,
               "pyvorn_device can only be imported in the main interpreter, not in subinterpreter %lld",
               static_cast<long long>(PyInterpreterState_GetID(current)));
  return true;
}

}  // namespace

PYBIND11_PLUGIN_IMPL(pyvorn_device) {
  PYBIND11_CHECK_PYTHON_VERSION
  if (refuse_subinterpreter()) {
    return nullptr;
  }
  if (main_module != nullptr) {
    Py_INCREF(main_module);
    return main_module;
  }
  PYBIND11_ENSURE_INTERNALS_READY
  try {
    module_definition = PyModuleDef{PyModuleDef_HEAD_INIT,
                                    /* m_name */ "pyvorn_device",
                                    /* m_doc */ nullptr,
                                    /* m_size */ 0,
                                    /* m_methods */ nullptr,
                                    /* m_slots */ nullptr,
                                    /* m_traverse */ nullptr,
                                    /* m_clear */ nullptr,
                                    /* m_free */ nullptr};
    PyObject* created = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (created == nullptr) {
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_ImportError, "Internal error in module_::create_extension_module()");
      }
      return nullptr;
    }
    auto m = pybind11::reinterpret_steal<pybind11::module_>(created);
    register_module(m);
    main_module = m.inc_ref().ptr();
    return m.release().ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
}
