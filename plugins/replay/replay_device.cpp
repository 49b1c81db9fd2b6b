#include "replay_device.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace vorn::replay {

ReplayDevice::ReplayDevice(ReplayOptions options)
    : options_(std::move(options)),
      recording_(std::make_shared<const Recording>(load_recording(options_.path))),
      file_(std::make_shared<DataFile>(options_.path)),
      stats_(std::make_shared<ReplayStats>()) {}

ReplayDevice::Status ReplayDevice::set_register(std::uint32_t, std::uint32_t, std::uint32_t) noexcept {
  return Status::Failure;
}

ReplayDevice::Status ReplayDevice::send_registers() noexcept { return Status::Failure; }

std::uint32_t ReplayDevice::get_register(std::uint32_t) noexcept { return 0; }

ReplayDevice::Status ReplayDevice::read_registers() noexcept { return Status::Failure; }

ReplayDevice::Status ReplayDevice::trigger(std::uint32_t, int) noexcept { return Status::Failure; }

std::uint64_t ReplayDevice::write(std::uint32_t, std::uint64_t, std::uint8_t*) noexcept { return 0; }

std::uint64_t ReplayDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  if (addr >= recording_->bytes) {
    return 0;
  }
  const std::uint64_t available = recording_->bytes - addr;
  return file_->read_at(addr, length < available ? length : available, data);
}

std::uint64_t ReplayDevice::bytes_per_second() const noexcept {
  switch (options_.rate) {
    case RateMode::bytes:
      return options_.bytes_per_second;
    case RateMode::realtime:
      if (recording_->duration > 0.0 && recording_->bytes != 0) {
        const double rate = std::ceil(static_cast<double>(recording_->bytes) / recording_->duration);
        return rate >= 1.8e19 ? 0 : static_cast<std::uint64_t>(rate);
      }
      return 0;
    case RateMode::max:
      break;
  }
  return 0;
}

std::optional<std::unique_ptr<Device::DataStream>> ReplayDevice::start_read_stream(std::uint32_t addr,
                                                                                   StreamCallback&& callback,
                                                                                   std::uint64_t chunk_size) {
  static_cast<void>(chunk_size);
  if (addr != 0 && addr != recording_->address) {
    throw std::runtime_error("replay: no stream at address " + std::to_string(addr) + " (0 or the recorded " +
                             std::to_string(recording_->address) + ")");
  }
  if (!callback) {
    throw std::runtime_error("replay: start_read_stream needs a callback, got an empty one");
  }
  auto stream =
      std::make_unique<ReplayStream>(recording_, file_, bytes_per_second(), options_.loop, std::move(callback), stats_);
  stats_->streams_started.fetch_add(1, std::memory_order_relaxed);
  return stream;
}

std::optional<std::string> ReplayDevice::get_status() {
  const ReplayStats& s = *stats_;
  const auto field = [](const char* key, const std::atomic<std::uint64_t>& value) {
    return std::string(key) + "=" + std::to_string(value.load(std::memory_order_relaxed));
  };
  return field("streams_started", s.streams_started) + " " + field("streams_running", s.streams_running) + " " +
         field("chunks", s.chunks) + " " + field("bytes", s.bytes) + " " + field("overflow_notices", s.notices) + " " +
         field("errors", s.errors) + " " + field("rounds", s.rounds);
}

std::optional<std::string> ReplayDevice::get_info() {
  const std::uint64_t rate = bytes_per_second();
  return "replay of " + options_.path + " (" + std::string(kReplayName) + "): " + format_replay_text(options_) + "; " +
         std::to_string(recording_->bytes) + " bytes in " + std::to_string(recording_->chunks) + " chunks, " +
         std::to_string(recording_->gaps.size()) + " gaps, " + std::to_string(recording_->errors.size()) + " errors; " +
         (rate == 0 ? std::string("unpaced") : std::to_string(rate) + " bytes/s") + "\nmetadata " + options_.path +
         ".json:\n" + recording_->metadata;
}

}  // namespace vorn::replay
