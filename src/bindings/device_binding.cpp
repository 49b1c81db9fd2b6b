// The Python class Device.
//
// Every method takes the device by reference (the register methods and the
// queries as DeviceSelf, which converts the same way at less cost), so an
// object whose native part was never constructed (made with __new__ alone)
// raises RuntimeError before any device operation. Every method holds the GIL for the whole call,
// including the device operation, and raises the error a Python-implemented
// device left pending during the call.
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/registration.hpp"
#include "bindings/stream_binding.hpp"
#include "bridges/py_device.hpp"
#include "runtime/buffer_args.hpp"
#include "runtime/checked_casters.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::BasicDeviceStatus;
using vorn::Device;

std::uint64_t write_block(Device& device, std::uint32_t addr, const py::buffer& data) {
  ByteBuffer block(data, /*writable=*/false);
  LentBuffer lent(data, block.data(), block.size());
  return call_device([&] { return device.write(addr, block.size(), block.data()); });
}

std::uint64_t read_block(Device& device, std::uint32_t addr, const py::buffer& data) {
  ByteBuffer block(data, /*writable=*/true);
  LentBuffer lent(data, block.data(), block.size());
  return call_device([&] { return device.read(addr, block.size(), block.data()); });
}

}  // namespace

void register_device(py::module_& m) {
  py::class_<Device, PyDevice, vorn::DeviceHolder>(m, "Device")
      .def(py::init<>())
      .def("__repr__",
           [](const Device& device) { return fmt::format("<pyvorn_device.Device at {}>", fmt::ptr(&device)); })
      .def("set_register_sync",
           [](DeviceSelf device, std::uint32_t addr, std::uint32_t value, std::uint32_t extra) {
             return call_device([&] { return device->set_register_sync(addr, value, extra); });
           })
      .def("set_register",
           [](DeviceSelf device, std::uint32_t addr, std::uint32_t value, std::uint32_t extra) {
             return call_device([&] { return device->set_register(addr, value, extra); });
           })
      .def("send_registers", [](DeviceSelf device) { return call_device([&] { return device->send_registers(); }); })
      .def("get_register_sync",
           [](DeviceSelf device, std::uint32_t addr) {
             return call_device([&] { return device->get_register_sync(addr); });
           })
      .def("get_register", [](DeviceSelf device,
                              std::uint32_t addr) { return call_device([&] { return device->get_register(addr); }); })
      .def("read_registers", [](DeviceSelf device) { return call_device([&] { return device->read_registers(); }); })
      .def("trigger", [](DeviceSelf device, std::uint32_t addr,
                         int value) { return call_device([&] { return device->trigger(addr, value); }); })
      .def("write", &write_block)
      .def("read", &read_block)
      .def("start_read_stream", &start_read_stream, py::arg("addr"), py::arg("callback"), py::kw_only(),
           py::arg("chunk_size") = 0, py::arg("max_queue_elements") = 4096, py::return_value_policy::move,
           py::keep_alive<0, 1>())
      .def("start_aligned_read_stream", &start_aligned_read_stream, py::arg("addr"), py::arg("alignment"),
           py::arg("callback"), py::kw_only(), py::arg("chunk_size") = 0, py::arg("max_queue_elements") = 4096,
           py::return_value_policy::move, py::keep_alive<0, 1>())
      .def("get_status", [](DeviceSelf device) { return call_device([&] { return device->get_status(); }); })
      .def("get_info", [](DeviceSelf device) { return call_device([&] { return device->get_info(); }); });
}

}  // namespace pyvorn
