// DeviceManager and get_device_manager: the Python face of device-manager
// plug-ins.
//
// A Python DeviceManager holds one std::shared_ptr to its manager and nothing
// else. Devices it creates are not linked to it at the Python level: each
// device's deleter carries the manager's own reference, which keeps the
// manager and its library alive while the device lives. There is no
// constructor and no trampoline; managers come only from get_device_manager.
//
// Every method runs with the GIL held except create_device, which releases it
// around the manager's call only, so a slow device open does not stall other
// Python threads. Texts are decoded as strict UTF-8; invalid bytes raise
// UnicodeDecodeError. Paths cross as os.PathLike in and pathlib.Path out.
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include "bindings/registration.hpp"
#include "core/loader/plugin_loader.hpp"
#include "runtime/python_runtime.hpp"
#include "vorn/device_manager.hpp"

namespace py = pybind11;

namespace pyvorn {

void register_device_manager(py::module_& m) {
  // The result type of create_device, vorn::DeviceHolder, is the holder of
  // the Device class registered before this: the Python Device takes the
  // holder over whole, deleter included, and an empty holder becomes None.
  py::class_<vorn::DeviceManager, std::shared_ptr<vorn::DeviceManager>>(m, "DeviceManager")
      .def("info", &vorn::DeviceManager::info)
      .def("location", &vorn::DeviceManager::location)
      .def("list_devices", &vorn::DeviceManager::list_devices)
      .def("get_device_options", &vorn::DeviceManager::get_device_options)
      .def("create_device", &vorn::DeviceManager::create_device, py::call_guard<ReleasedGil>());

  // A null manager becomes None; the loader's temporary reference is dropped
  // after conversion, so the Python object holds the only one.
  m.def("get_device_manager", &load_device_manager);
}

}  // namespace pyvorn
