// A simulated data-acquisition device.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device_memory.hpp"
#include "device_stats.hpp"
#include "register_bank.hpp"
#include "sim_options.hpp"
#include "vorn/device.hpp"

namespace vorn::sim {

// Stream addresses: which kind of chunks start_read_stream delivers.
enum StreamAddress : std::uint32_t {
  kStreamDefaultMode = 0,  // the device's chunks= option
  kStreamOwned = 1,        // owning chunks from a block pool
  kStreamView = 2,         // chunk views of a reused buffer
};

// Register operations, write and read are noexcept and report failure by
// their results. Calls may overlap with stream stops and with each other;
// only write/read against overlapping bytes must not run concurrently.
class SimDevice final : public Device {
 public:
  using Status = BasicDeviceStatus;

  // Throws std::bad_alloc or std::runtime_error when the memory or register
  // bank cannot be allocated.
  explicit SimDevice(DeviceSettings settings);

  const DeviceSettings& settings() const noexcept { return settings_; }

  Status set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  Status send_registers() noexcept override;
  std::uint32_t get_register(std::uint32_t addr) noexcept override;
  // Empty for an address at or past the register count (no snapshot is
  // taken then); otherwise read_registers, then get_register.
  std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) noexcept override;
  Status read_registers() noexcept override;
  Status trigger(std::uint32_t addr, int value) noexcept override;

  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;

  // Throws std::runtime_error for an address other than the StreamAddress
  // values, a chunk size above the limit or an empty callback; the callback
  // is then left to the caller. chunk_size 0 means the chunk_size= option.
  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override;

  // get_info: name, version, settings in effect, register map summary.
  // get_status: one line of counters, "key=value" separated by spaces.
  std::optional<std::string> get_status() override;
  std::optional<std::string> get_info() override;

 private:
  const DeviceSettings settings_;
  RegisterBank registers_;
  DeviceMemory memory_;
  std::shared_ptr<DeviceStats> stats_;
};

}  // namespace vorn::sim
