#include "remote_device.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "remote_stream.hpp"

namespace vorn::remote {
namespace {

Request request_of(Op op, std::uint32_t addr = 0, std::uint32_t value = 0, std::uint32_t extra = 0) {
  Request request;
  request.op = op;
  request.addr = addr;
  request.value = value;
  request.extra = extra;
  return request;
}

}  // namespace

RemoteDevice::~RemoteDevice() { connection_->post(request_of(Op::close_device)); }

std::optional<CallResult> RemoteDevice::try_call(const Request& request, const std::uint8_t* payload,
                                                 std::uint64_t size) noexcept {
  try {
    std::optional<CallResult> result = connection_->call(request, payload, size);
    if (result->reply.outcome == Outcome::error) {
      return std::nullopt;  // the server could not run it
    }
    return result;
  } catch (...) {
    return std::nullopt;
  }
}

BasicDeviceStatus RemoteDevice::status_call(const Request& request) noexcept {
  const auto result = try_call(request);
  if (!result) {
    return BasicDeviceStatus::Failure;
  }
  return static_cast<BasicDeviceStatus>(static_cast<int>(static_cast<std::uint32_t>(result->reply.number)));
}

BasicDeviceStatus RemoteDevice::set_register_sync(std::uint32_t addr, std::uint32_t value,
                                                  std::uint32_t extra) noexcept {
  return status_call(request_of(Op::set_register_sync, addr, value, extra));
}

BasicDeviceStatus RemoteDevice::set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept {
  return status_call(request_of(Op::set_register, addr, value, extra));
}

BasicDeviceStatus RemoteDevice::send_registers() noexcept { return status_call(request_of(Op::send_registers)); }

std::optional<std::uint32_t> RemoteDevice::get_register_sync(std::uint32_t addr) noexcept {
  const auto result = try_call(request_of(Op::get_register_sync, addr));
  if (!result || result->reply.outcome == Outcome::none) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(result->reply.number);
}

std::uint32_t RemoteDevice::get_register(std::uint32_t addr) noexcept {
  const auto result = try_call(request_of(Op::get_register, addr));
  return result ? static_cast<std::uint32_t>(result->reply.number) : 0;
}

BasicDeviceStatus RemoteDevice::read_registers() noexcept { return status_call(request_of(Op::read_registers)); }

BasicDeviceStatus RemoteDevice::trigger(std::uint32_t addr, int value) noexcept {
  return status_call(request_of(Op::trigger, addr, static_cast<std::uint32_t>(value)));
}

std::uint64_t RemoteDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  if (length > kMaxBlock) {
    return 0;
  }
  Request request = request_of(Op::write, addr);
  request.length = length;
  const auto result = try_call(request, data, length);
  return result ? result->reply.number : 0;
}

std::uint64_t RemoteDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  if (length > kMaxBlock) {
    return 0;
  }
  Request request = request_of(Op::read, addr);
  request.length = length;
  const auto result = try_call(request);
  if (!result) {
    return 0;
  }
  // The bytes the device filled in; the rest of the caller's block stays as it was.
  const std::size_t filled = std::min<std::size_t>(result->payload.size(), static_cast<std::size_t>(length));
  if (filled != 0) {
    std::memcpy(data, result->payload.data(), filled);
  }
  return result->reply.number;
}

std::optional<std::unique_ptr<Device::DataStream>> RemoteDevice::start_read_stream(std::uint32_t addr,
                                                                                   StreamCallback&& callback,
                                                                                   std::uint64_t chunk_size) {
  return RemoteStream::start(connection_, addr, callback, chunk_size);
}

std::optional<std::string> RemoteDevice::text_call(Op op) {
  CallResult result = connection_->call(request_of(op));
  switch (result.reply.outcome) {
    case Outcome::value:
      return std::move(result.reply.text);
    case Outcome::none:
      return std::nullopt;
    case Outcome::error:
      break;
  }
  throw std::runtime_error(result.reply.text);
}

std::optional<std::string> RemoteDevice::get_status() { return text_call(Op::get_status); }

std::optional<std::string> RemoteDevice::get_info() { return text_call(Op::get_info); }

}  // namespace vorn::remote
