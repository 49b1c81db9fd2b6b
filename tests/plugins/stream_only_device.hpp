// The register and transfer operations of a device that only streams, shared
// by the script stream test plug-in and the benchmark clock plug-in: there are
// no registers and no block memory, so writes and triggers report Failure,
// register reads give 0 and block transfers move 0 bytes. send_registers and
// read_registers, having nothing to do, succeed.
#pragma once

#include <cstdint>

#include "vorn/vorn.hpp"

namespace vorn_test {

class StreamOnlyDevice : public vorn::Device {
 public:
  vorn::BasicDeviceStatus set_register(std::uint32_t, std::uint32_t, std::uint32_t) noexcept override {
    return vorn::BasicDeviceStatus::Failure;
  }
  vorn::BasicDeviceStatus send_registers() noexcept override { return vorn::BasicDeviceStatus::Success; }
  std::uint32_t get_register(std::uint32_t) noexcept override { return 0; }
  vorn::BasicDeviceStatus read_registers() noexcept override { return vorn::BasicDeviceStatus::Success; }
  vorn::BasicDeviceStatus trigger(std::uint32_t, int) noexcept override { return vorn::BasicDeviceStatus::Failure; }
  std::uint64_t write(std::uint32_t, std::uint64_t, std::uint8_t*) noexcept override { return 0; }
  std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t*) noexcept override { return 0; }
};

}  // namespace vorn_test
