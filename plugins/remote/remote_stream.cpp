#include "remote_stream.hpp"

#include <stdexcept>
#include <utility>

namespace vorn::remote {
namespace {

// Takes the callback back out of a channel that never became a stream.
void give_back(StreamChannel& channel, StreamCallback& callback) {
  std::lock_guard lock(channel.mutex);
  channel.open = false;
  callback = std::move(channel.callback);
}

}  // namespace

std::optional<std::unique_ptr<Device::DataStream>> RemoteStream::start(std::shared_ptr<Connection> connection,
                                                                       std::uint32_t addr, StreamCallback& callback,
                                                                       std::uint64_t chunk_size) {
  auto channel = std::make_shared<StreamChannel>();
  channel->callback = std::move(callback);
  std::uint32_t id = 0;
  try {
    id = connection->attach(channel);
  } catch (...) {
    give_back(*channel, callback);
    throw;
  }
  Request request;
  request.op = Op::start_stream;
  request.addr = addr;
  request.length = chunk_size;
  request.stream = id;
  std::optional<CallResult> result;
  try {
    result = connection->call(request);
  } catch (...) {
    connection->detach(id);
    give_back(*channel, callback);
    Request stop;  // in case the server started it after all
    stop.op = Op::stop_stream;
    stop.stream = id;
    connection->post(stop);
    throw;
  }
  if (result->reply.outcome != Outcome::value) {
    connection->detach(id);
    give_back(*channel, callback);
    if (result->reply.outcome == Outcome::error) {
      throw std::runtime_error(result->reply.text);
    }
    return std::nullopt;
  }
  return std::make_unique<RemoteStream>(std::move(connection), std::move(channel), id);
}

void RemoteStream::stop() {
  StreamCallback callback;
  {
    std::lock_guard lock(channel_->mutex);
    if (!channel_->open && !channel_->callback) {
      return;  // stopped before
    }
    channel_->open = false;
    if (!connection_->on_io_thread()) {
      callback = std::move(channel_->callback);
    }
  }
  connection_->detach(id_);
  Request request;
  request.op = Op::stop_stream;
  request.stream = id_;
  connection_->post(request);
  // The callback dies here, on the stopping thread, outside the lock.
}

}  // namespace vorn::remote
