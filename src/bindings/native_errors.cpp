// How native exceptions reach Python when their text is not valid UTF-8.
//
// The binding layer raises an exception derived from std::exception as a
// Python exception whose message is the what() text decoded strictly as
// UTF-8; a text that is not (a plug-in path or a device text with other
// bytes, a loader message of the system) would turn into UnicodeDecodeError
// and hide the real error. This translator raises the same Python exception
// type the binding layer would, with each invalid byte replaced by U+FFFD,
// and leaves every exception with a valid text to the binding layer, so
// those arrive exactly as before.
#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "bindings/registration.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

bool is_utf8(const char* text) noexcept {
  PyObject* decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
  if (decoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_DECREF(decoded);
  return true;
}

// The Python exception type the binding layer raises for `error`.
PyObject* python_type_of(const std::exception& error) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    return PyExc_MemoryError;
  }
  if (dynamic_cast<const std::domain_error*>(&error) != nullptr ||
      dynamic_cast<const std::invalid_argument*>(&error) != nullptr ||
      dynamic_cast<const std::length_error*>(&error) != nullptr ||
      dynamic_cast<const std::range_error*>(&error) != nullptr) {
    return PyExc_ValueError;
  }
  if (dynamic_cast<const std::out_of_range*>(&error) != nullptr) {
    return PyExc_IndexError;
  }
  if (dynamic_cast<const std::overflow_error*>(&error) != nullptr) {
    return PyExc_OverflowError;
  }
  return PyExc_RuntimeError;
}

void translate(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const py::error_already_set&) {
    throw;  // a Python error, raised again as itself
  } catch (const py::builtin_exception&) {
    throw;  // the binding layer's own, with its own type
  } catch (const std::exception& error) {
    const char* what = error.what();
    if (is_utf8(what)) {
      throw;
    }
    PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
    if (text == nullptr) {
      return;  // the decoder's own error is set
    }
    PyErr_SetObject(python_type_of(error), text);
    Py_DECREF(text);
  }
}

}  // namespace

void register_native_errors() { py::register_exception_translator(&translate); }

}  // namespace pyvorn
