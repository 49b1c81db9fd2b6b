// The remote plug-in's device manager: devices of vorn-servers.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <zmq.hpp>

#include "vorn/device_manager.hpp"

namespace vorn::remote {

// Environment variable naming the servers list_devices() asks: addresses
// (with their options), separated by spaces or commas.
inline constexpr char kServersVariable[] = "VORN_REMOTE_SERVERS";

// Owns the ZeroMQ context its connections share (each connection holds it
// too, so it ends with the last of them). Every operation is safe from
// several threads at once.
class RemoteManager final : public DeviceManager {
 public:
  RemoteManager();
  // Pins the library when received chunks outlive the manager.
  ~RemoteManager() override;
  RemoteManager(const RemoteManager&) = delete;
  RemoteManager& operator=(const RemoteManager&) = delete;

  std::string info() override;
  std::filesystem::path location() override;
  // One line per device of each server in VORN_REMOTE_SERVERS, as a device
  // text for create_device followed by the server's description of it; a
  // server that does not answer gets one line saying so.
  std::string list_devices() override;
  std::string get_device_options() override;
  // Connects to the server named in the text and opens the device there.
  // Throws std::runtime_error: a bad address or option ("remote: ..."), the
  // server's own error text for a device it refuses, "remote: no answer ..."
  // when the server does not answer in time. Gives an empty holder when the
  // server's plug-in made no device.
  DeviceHolder create_device(const std::string& options) override;

 private:
  std::shared_ptr<zmq::context_t> context_;
  std::atomic<std::uint64_t> devices_created_{0};
};

}  // namespace vorn::remote
