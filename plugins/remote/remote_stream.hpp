// A read stream of a remote device.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "connection.hpp"
#include "vorn/device.hpp"

namespace vorn::remote {

// The client side of a stream that runs on the server. The connection's I/O
// thread invokes the callback (see StreamChannel); stop() and the destructor
// destroy it, on their own thread. Holds the connection, so the stream goes
// on after its device is gone, as a local one does.
class RemoteStream final : public Device::DataStream {
 public:
  // Starts the stream on the server. On success the callback is taken; on
  // failure it is left with the caller. Returns nothing when the server's
  // device started no stream. Throws std::runtime_error with the server
  // device's error text, or CallFailed.
  static std::optional<std::unique_ptr<Device::DataStream>> start(std::shared_ptr<Connection> connection,
                                                                  std::uint32_t addr, StreamCallback& callback,
                                                                  std::uint64_t chunk_size);

  RemoteStream(std::shared_ptr<Connection> connection, std::shared_ptr<StreamChannel> channel,
               std::uint32_t id) noexcept
      : connection_(std::move(connection)), channel_(std::move(channel)), id_(id) {}
  ~RemoteStream() override { stop(); }
  RemoteStream(const RemoteStream&) = delete;
  RemoteStream& operator=(const RemoteStream&) = delete;

  // Nothing is delivered once it returns; the server stops its stream
  // moments later. Any thread, repeatedly. Called on the I/O thread (from
  // inside the callback) it only closes the stream: the callback then goes
  // with the stream's destructor.
  void stop() override;

 private:
  std::shared_ptr<Connection> connection_;
  std::shared_ptr<StreamChannel> channel_;
  std::uint32_t id_;
};

}  // namespace vorn::remote
