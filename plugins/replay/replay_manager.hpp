// The replay plug-in's device manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "vorn/device_manager.hpp"

namespace vorn::replay {

// Stateless apart from a counter: every operation is safe to call from
// several threads at once. Each device keeps its manager (and so this
// library) alive, and the module keeps a device's reference while its
// streams and chunks live.
class ReplayManager final : public DeviceManager {
 public:
  std::string info() override;
  // The folder of the binary holding this code; empty if it cannot be found.
  std::filesystem::path location() override;
  // Empty: any recording is a device, named by its path.
  std::string list_devices() override;
  std::string get_device_options() override;
  // Throws std::runtime_error for a bad device text or a recording that is
  // missing, truncated or does not agree with its metadata.
  DeviceHolder create_device(const std::string& options) override;

 private:
  std::atomic<std::uint64_t> devices_created_{0};
};

}  // namespace vorn::replay
