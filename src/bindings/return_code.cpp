// ReturnCode: the Python face of vorn::BasicDeviceStatus.
//
// A scoped, non-arithmetic enumeration: equality is strict (a ReturnCode
// never equals an int), there is no ordering, and the members are not
// exported to the module. Every native status converts to a new instance.
#include <pybind11/pybind11.h>

#include "bindings/registration.hpp"
#include "vorn/status.hpp"

namespace pyvorn {

void register_return_code(pybind11::module_& m) {
  namespace py = pybind11;
  py::enum_<vorn::BasicDeviceStatus> cls(m, "ReturnCode");
  cls.value("Success", vorn::BasicDeviceStatus::Success).value("Failure", vorn::BasicDeviceStatus::Failure);
  // Pickle protocols 0 and 1 would rebuild the object through the binding
  // layer's base type, which aborts the process; rebuild from the value
  // instead. Protocol 2 and later keep the __getstate__/__setstate__ path.
  cls.attr("__reduce_ex__") = py::cpp_function(
      [](const py::object& self, int protocol) -> py::object {
        if (protocol >= 2) {
          return py::module_::import("builtins").attr("object").attr("__reduce_ex__")(self, protocol);
        }
        return py::make_tuple(py::type::of(self), py::make_tuple(py::int_(self)));
      },
      py::is_method(cls));
}

}  // namespace pyvorn
