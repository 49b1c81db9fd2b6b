// _vorn_native_caller: calls a Device's block transfers from native code,
// with native memory, as a plug-in or another extension would. Test-only.
//
//   write(device, addr, data) -> int   copies data into a native block first
//   read(device, addr, n) -> (int, bytes)
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vorn/device.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_vorn_native_caller, m) {
  m.def("write", [](vorn::Device& device, std::uint32_t addr, const py::bytes& data) {
    const std::string text = data;
    std::vector<std::uint8_t> block(text.begin(), text.end());
    return device.write(addr, block.size(), block.data());
  });
  m.def("read", [](vorn::Device& device, std::uint32_t addr, std::uint64_t n) {
    std::vector<std::uint8_t> block(n);
    const std::uint64_t count = device.read(addr, n, block.data());
    return py::make_tuple(count, py::bytes(reinterpret_cast<const char*>(block.data()), block.size()));
  });
}
