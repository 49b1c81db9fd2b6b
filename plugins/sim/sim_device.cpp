#include "sim_device.hpp"

#include <stdexcept>
#include <utility>

#include "sim_stream.hpp"

namespace vorn::sim {
namespace {

const char* mode_name(ChunkMode mode) { return mode == ChunkMode::owned ? "owned chunks" : "chunk views"; }

}  // namespace

SimDevice::SimDevice(DeviceSettings settings)
    : settings_(std::move(settings)),
      registers_(settings_.register_count),
      memory_(settings_.memory_size),
      stats_(std::make_shared<DeviceStats>()) {}

SimDevice::Status SimDevice::set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t extra) noexcept {
  static_cast<void>(extra);  // no meaning on the simulator
  return registers_.stage(addr, value);
}

SimDevice::Status SimDevice::send_registers() noexcept { return registers_.commit(); }

std::uint32_t SimDevice::get_register(std::uint32_t addr) noexcept { return registers_.value(addr); }

std::optional<std::uint32_t> SimDevice::get_register_sync(std::uint32_t addr) noexcept {
  if (addr >= registers_.size()) {
    return std::nullopt;
  }
  return Device::get_register_sync(addr);
}

SimDevice::Status SimDevice::read_registers() noexcept { return registers_.refresh(); }

SimDevice::Status SimDevice::trigger(std::uint32_t addr, int value) noexcept { return registers_.trigger(addr, value); }

std::uint64_t SimDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  const std::uint64_t count = memory_.write(addr, length, data);
  stats_->bytes_written.fetch_add(count, std::memory_order_relaxed);
  return count;
}

std::uint64_t SimDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  const std::uint64_t count = memory_.read(addr, length, data);
  stats_->bytes_read.fetch_add(count, std::memory_order_relaxed);
  return count;
}

std::optional<std::unique_ptr<Device::DataStream>> SimDevice::start_read_stream(std::uint32_t addr,
                                                                                StreamCallback&& callback,
                                                                                std::uint64_t chunk_size) {
  StreamSettings stream = settings_.stream;
  switch (addr) {
    case kStreamDefaultMode:
      break;
    case kStreamOwned:
      stream.chunks = ChunkMode::owned;
      break;
    case kStreamView:
      stream.chunks = ChunkMode::view;
      break;
    default:
      throw std::runtime_error("sim: no stream at address " + std::to_string(addr) +
                               " (0 = chunks= option, 1 = owned chunks, 2 = chunk views)");
  }
  if (chunk_size > kMaxChunkSize) {
    throw std::runtime_error("sim: chunk_size " + std::to_string(chunk_size) + " is above the limit of " +
                             format_size(kMaxChunkSize));
  }
  if (!callback) {
    throw std::runtime_error("sim: start_read_stream needs a callback, got an empty one");
  }
  if (chunk_size != 0) {
    stream.chunk_size = chunk_size;
  }
  auto started = std::make_unique<SimStream>(stream, std::move(callback), stats_);
  stats_->streams_started.fetch_add(1, std::memory_order_relaxed);
  return started;
}

std::optional<std::string> SimDevice::get_status() {
  const RegisterBank::Counts counts = registers_.counts();
  const DeviceStats& s = *stats_;
  const auto field = [](const char* key, std::uint64_t value) {
    return std::string(key) + "=" + std::to_string(value);
  };
  return field("register_writes", counts.committed_writes) + " " + field("register_reads", counts.refreshes) + " " +
         field("triggers", counts.triggers) + " " + field("bytes_written", s.bytes_written.load()) + " " +
         field("bytes_read", s.bytes_read.load()) + " " + field("streams_started", s.streams_started.load()) + " " +
         field("streams_running", s.streams_running.load()) + " " + field("stream_chunks", s.stream_chunks.load()) +
         " " + field("stream_bytes", s.stream_bytes.load()) + " " + field("stream_errors", s.stream_errors.load());
}

std::optional<std::string> SimDevice::get_info() {
  std::string info = settings_.name + ": simulated data-acquisition device (" + std::string(kSimulatorName) + ")\n";
  info += "options: " + format_device_text(settings_) + "\n";
  info += "registers: " + std::to_string(registers_.size()) + " (" + describe_fixed_registers(", ") +
          ", the rest read/write)\n";
  info += "memory: " + std::to_string(memory_.size()) + " bytes\n";
  info += "streams: address 0 = " + std::string(mode_name(settings_.stream.chunks)) +
          ", 1 = " + mode_name(ChunkMode::owned) + ", 2 = " + mode_name(ChunkMode::view) + "; default chunk size " +
          std::to_string(settings_.stream.chunk_size) + " bytes";
  return info;
}

}  // namespace vorn::sim
