// The simulator's device manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "vorn/device_manager.hpp"

namespace vorn::sim {

// Stateless apart from counters: every operation is safe to call from
// several threads at once. Must be owned by a std::shared_ptr before
// create_device is called (each device keeps its manager alive).
class SimManager final : public DeviceManager {
 public:
  SimManager() noexcept;
  SimManager(const SimManager&) = delete;
  SimManager& operator=(const SimManager&) = delete;
  // Runs after every device of this manager is gone, just before the
  // library may be unloaded: pins the library if streams or owned chunks
  // still need its code.
  ~SimManager() override;

  std::string info() override;
  // The folder of the binary holding this code; empty if it cannot be found.
  std::filesystem::path location() override;
  std::string list_devices() override;
  std::string get_device_options() override;
  // Throws std::runtime_error for a bad device text (see parse_device_text),
  // std::runtime_error or std::bad_alloc when the device's memory cannot be
  // allocated, std::bad_weak_ptr when the manager is not owned by a
  // std::shared_ptr.
  DeviceHolder create_device(const std::string& options) override;

 private:
  std::atomic<std::uint64_t> devices_created_{0};
};

}  // namespace vorn::sim
