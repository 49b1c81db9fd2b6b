// A scriptable in-memory device for the test plug-ins. Its purpose: the
// loader, device-binding and manager tests, with working registers, block
// transfers and a plain pattern stream; the stream edge cases are the script
// stream plug-in's.
//
// Registers: set_register stages a value, send_registers commits every staged
// value, read_registers copies the committed values into the read-back set
// that get_register returns from (0 for a register never written). Block
// transfers go to 4 KiB of memory at byte offset addr and return the number of
// bytes moved. get_status reports how often each operation ran, get_info the
// option text the device was created with.
//
// Options (comma-separated, see parse_options):
//   fail_send, fail_read   send_registers / read_registers return Failure
//   chunks=N               stream: N chunks, then the end marker (default 3)
//   endless                stream: chunks until stopped
//   chunk_bytes=N          stream chunk size when chunk_size is 0 (default 16)
//   interval_ms=N          stream: pause between chunks (default 0, 1 if endless)
//   views                  stream: chunk views instead of owning chunks
//   error=TEXT             stream: an error event before the end marker
// Stream chunk k holds bytes (addr + k * size + i) mod 256 for i = 0..size-1.
//
// Like every device, called by the module with the GIL held, one call at a
// time; the stream's producer thread touches only the stream's own state.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "vorn/vorn.hpp"

namespace vorn_test {

struct StreamPlan {
  std::uint64_t chunks = 3;
  bool endless = false;
  std::uint64_t chunk_bytes = 16;
  unsigned interval_ms = 0;
  bool views = false;
  std::optional<std::string> error;
};

class TestDevice : public vorn::Device {
 public:
  explicit TestDevice(std::string options);

  vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  vorn::BasicDeviceStatus send_registers() noexcept override;
  std::uint32_t get_register(std::uint32_t addr) noexcept override;
  vorn::BasicDeviceStatus read_registers() noexcept override;
  vorn::BasicDeviceStatus trigger(std::uint32_t addr, int value) noexcept override;
  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, vorn::StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override;
  std::optional<std::string> get_status() override;
  std::optional<std::string> get_info() override;

 private:
  enum Counter {
    kSetRegister,
    kSendRegisters,
    kGetRegister,
    kReadRegisters,
    kTrigger,
    kWrite,
    kRead,
    kStreams,
    kCount
  };

  std::string options_;
  bool fail_send_ = false;
  bool fail_read_ = false;
  StreamPlan plan_;
  std::map<std::uint32_t, std::uint32_t> staged_;
  std::map<std::uint32_t, std::uint32_t> committed_;
  std::map<std::uint32_t, std::uint32_t> read_back_;
  std::array<std::uint8_t, 4096> memory_{};
  std::array<std::uint64_t, kCount> counters_{};
  std::string last_trigger_;
};

}  // namespace vorn_test
