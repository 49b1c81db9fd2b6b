// A device that replays a recording.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "data_file.hpp"
#include "recording.hpp"
#include "replay_options.hpp"
#include "replay_stream.hpp"
#include "vorn/device.hpp"

namespace vorn::replay {

// Its streams replay the recording; read() serves the data file's bytes at
// the address as byte offset; it has no registers (every register operation
// fails) and cannot be written to.
class ReplayDevice final : public Device {
 public:
  using Status = BasicDeviceStatus;

  // Loads and checks the recording and opens its data file. Throws
  // std::runtime_error naming what is missing or wrong.
  explicit ReplayDevice(ReplayOptions options);

  Status set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  Status send_registers() noexcept override;
  std::uint32_t get_register(std::uint32_t addr) noexcept override;
  Status read_registers() noexcept override;
  Status trigger(std::uint32_t addr, int value) noexcept override;

  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;

  // Address 0 or the recorded one; chunk_size is not used (the recorded
  // sizes are). Throws std::runtime_error for another address or an empty
  // callback; the callback is then left to the caller.
  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override;

  // get_info: what is replayed and how, then the metadata file's text.
  // get_status: one line of counters, "key=value" separated by spaces.
  std::optional<std::string> get_status() override;
  std::optional<std::string> get_info() override;

  // The bytes per second the streams keep to; 0 for as fast as taken.
  std::uint64_t bytes_per_second() const noexcept;

 private:
  const ReplayOptions options_;
  const std::shared_ptr<const Recording> recording_;
  std::shared_ptr<DataFile> file_;
  std::shared_ptr<ReplayStats> stats_;
};

}  // namespace vorn::replay
