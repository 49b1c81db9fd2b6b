// The Python classes ManagedBuffer and DataView: nothing but the buffer
// protocol, a one-dimensional, writable buffer of unsigned bytes ("B").
#include <pybind11/pybind11.h>

#include <memory>

#include "bindings/registration.hpp"
#include "bridges/buffer_objects.hpp"

namespace py = pybind11;

namespace pyvorn {

void register_buffers(py::module_& m) {
  py::class_<vorn::ManagedBuffer, std::unique_ptr<vorn::ManagedBuffer>>(m, "ManagedBuffer", py::buffer_protocol())
      .def_buffer([](vorn::ManagedBuffer& block) { return describe_block(block.data.get(), block.size); });
  py::class_<vorn::DataView, std::unique_ptr<vorn::DataView>>(m, "DataView", py::buffer_protocol())
      .def_buffer([](vorn::DataView& view) { return describe_block(view.data, view.size); });
  install_buffer_slots(m.attr("ManagedBuffer"), m.attr("DataView"));
}

}  // namespace pyvorn
