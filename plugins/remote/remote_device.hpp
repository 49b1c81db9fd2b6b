// A device that lives on a vorn-server.
#pragma once

#include <memory>

#include "connection.hpp"
#include "vorn/device.hpp"

namespace vorn::remote {

// Forwards every operation to the server's device and waits for its answer
// (up to the timeout of the device text). Calls that get no answer (the
// connection is lost, or the server is too slow) give the operation's failure
// result: Failure, an empty optional, 0; start_read_stream, get_status and
// get_info throw std::runtime_error ("connection lost: ..." or "remote: no
// answer ..."). Errors of the server's device keep their text.
class RemoteDevice final : public Device {
 public:
  explicit RemoteDevice(std::shared_ptr<Connection> connection) noexcept : connection_(std::move(connection)) {}
  // Closes the server's device; its streams go on (they hold the connection).
  ~RemoteDevice() override;
  RemoteDevice(const RemoteDevice&) = delete;
  RemoteDevice& operator=(const RemoteDevice&) = delete;

  BasicDeviceStatus set_register_sync(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept override;
  BasicDeviceStatus send_registers() noexcept override;
  std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) noexcept override;
  std::uint32_t get_register(std::uint32_t addr) noexcept override;
  BasicDeviceStatus read_registers() noexcept override;
  BasicDeviceStatus trigger(std::uint32_t addr, int value) noexcept override;
  std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept override;
  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override;
  std::optional<std::string> get_status() override;
  std::optional<std::string> get_info() override;

 private:
  // The reply, or nothing when the call failed.
  std::optional<CallResult> try_call(const Request& request, const std::uint8_t* payload = nullptr,
                                     std::uint64_t size = 0) noexcept;
  BasicDeviceStatus status_call(const Request& request) noexcept;
  std::optional<std::string> text_call(Op op);

  std::shared_ptr<Connection> connection_;
};

}  // namespace vorn::remote
