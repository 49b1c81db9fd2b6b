// A minimal device-manager plug-in: one manager that makes "echo" devices,
// each a bank of 256 registers and 256 bytes of memory.
//
// The rules every plug-in follows:
//   - export create_manager with VORN_PLUGIN_EXPORT; do not call
//     shared_from_this() inside it;
//   - put a reference that keeps the manager alive (shared_from_this()) into
//     each device's deleter: the manager, and through it this library, then
//     stays loaded for as long as any device lives;
//   - device operations other than start_read_stream, get_status and
//     get_info must not throw.
#include <algorithm>
#include <array>
#include <cstring>

#include "vorn/vorn.hpp"

namespace {

class EchoDevice final : public vorn::Device {
 public:
  explicit EchoDevice(std::string name) : name_(std::move(name)) {}

  // set_register writes straight through; send_registers has nothing to do.
  vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t) noexcept override {
    if (addr >= registers_.size()) {
      return vorn::BasicDeviceStatus::Failure;
    }
    registers_[addr] = value;
    return vorn::BasicDeviceStatus::Success;
  }
  vorn::BasicDeviceStatus send_registers() noexcept override { return vorn::BasicDeviceStatus::Success; }
  std::uint32_t get_register(std::uint32_t addr) noexcept override {
    return addr < registers_.size() ? registers_[addr] : 0;
  }
  vorn::BasicDeviceStatus read_registers() noexcept override { return vorn::BasicDeviceStatus::Success; }
  vorn::BasicDeviceStatus trigger(std::uint32_t, int) noexcept override { return vorn::BasicDeviceStatus::Success; }

  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override {
    const auto count = available(addr, length);
    std::memcpy(memory_.data() + addr, data, count);
    return count;
  }
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override {
    const auto count = available(addr, length);
    std::memcpy(data, memory_.data() + addr, count);
    return count;
  }

  std::optional<std::string> get_info() override { return "echo device " + name_; }

 private:
  std::uint64_t available(std::uint32_t addr, std::uint64_t length) const noexcept {
    return addr < memory_.size() ? std::min<std::uint64_t>(length, memory_.size() - addr) : 0;
  }

  std::string name_;
  std::array<std::uint32_t, 256> registers_{};
  std::array<std::uint8_t, 256> memory_{};
};

class EchoManager final : public vorn::DeviceManager {
 public:
  std::string info() override { return "VORN example plug-in"; }
  // This plug-in has no files of its own to point at.
  std::filesystem::path location() override { return {}; }
  std::string list_devices() override { return "echo"; }
  std::string get_device_options() override { return "any text: it becomes the device's name"; }

  // May be called from several threads at once; it touches no shared state.
  vorn::DeviceHolder create_device(const std::string& options) override {
    return vorn::DeviceHolder(new EchoDevice(options), vorn::device_deleter{shared_from_this()});
  }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new EchoManager(); }
