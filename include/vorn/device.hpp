// The device interface that plug-ins implement and the module calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorn/status.hpp"
#include "vorn/stream.hpp"

namespace vorn {

// Abstract device. The order of the virtual operations is part of the plug-in
// ABI and must not change.
//
// The module calls every operation on the calling Python thread with the GIL
// held; calls from Python therefore never overlap for one device. Only
// start_read_stream, get_status and get_info may throw.
template <typename Address, typename Value, typename Status>
class BasicDevice {
 public:
  // A running read stream, owned by whoever started it through
  // std::unique_ptr<DataStream>. stop() may be called more than once, and the
  // stream may be destroyed without stop(). stop() runs without the GIL; the
  // destructor may run with it held.
  struct DataStream {
    virtual ~DataStream() = default;
    virtual void stop() = 0;
  };

  virtual ~BasicDevice() = default;

  // Stages the register with set_register, then commits with send_registers
  // (also when staging failed, so writes staged earlier are still sent).
  // Success only when both returned Success, else Failure.
  virtual Status set_register_sync(Address addr, Value value, std::uint32_t extra) noexcept {
    const Status staged = set_register(addr, value, extra);
    const Status sent = send_registers();
    return staged == Status::Success && sent == Status::Success ? Status::Success : Status::Failure;
  }
  virtual Status set_register(Address addr, Value value, std::uint32_t extra) noexcept = 0;
  virtual Status send_registers() noexcept = 0;

  // Refreshes with read_registers; empty unless that returned Success, else
  // the value of get_register.
  virtual std::optional<Value> get_register_sync(Address addr) noexcept {
    if (read_registers() != Status::Success) {
      return std::nullopt;
    }
    return get_register(addr);
  }
  virtual Value get_register(Address addr) noexcept = 0;
  virtual Status read_registers() noexcept = 0;
  virtual Status trigger(Address addr, int value) noexcept = 0;

  // Block transfers. data points to length bytes, valid only during the call;
  // write must neither modify nor keep them. The result is the device's own
  // count (usually the bytes transferred).
  virtual std::uint64_t write(Address addr, std::uint64_t length, std::uint8_t* data) noexcept = 0;
  virtual std::uint64_t read(Address addr, std::uint64_t length, std::uint8_t* data) noexcept = 0;

  // Starts a stream. A device that starts one moves the callback into its own
  // storage, invokes it from one thread at a time, ends the data with the end
  // marker, and destroys the callback when the stream is stopped or
  // destroyed. Whatever the device does not take is destroyed by the caller.
  // An empty result means no stream was started.
  virtual std::optional<std::unique_ptr<DataStream>> start_read_stream(Address addr, StreamCallback&& callback,
                                                                       std::uint64_t chunk_size) {
    static_cast<void>(addr);
    static_cast<void>(callback);
    static_cast<void>(chunk_size);
    return std::nullopt;
  }

  // Descriptive texts in UTF-8; empty when the device has none.
  virtual std::optional<std::string> get_status() { return std::nullopt; }
  virtual std::optional<std::string> get_info() { return std::nullopt; }
};

using Device = BasicDevice<std::uint32_t, std::uint32_t, BasicDeviceStatus>;

// Deleter of the device holder. keep_alive is supplied by whoever created the
// device and keeps its code loaded (a plug-in puts its manager's
// shared_from_this() here). The device is deleted first; the reference is
// released afterwards, when the deleter itself is destroyed.
struct device_deleter {
  std::shared_ptr<void> keep_alive;

  void operator()(Device* device) const noexcept { delete device; }
};

using DeviceHolder = std::unique_ptr<Device, device_deleter>;

}  // namespace vorn
