#include "test_device.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stop_token>
#include <thread>
#include <utility>

#include "plugin_support.hpp"

namespace vorn_test {
namespace {

void delete_block(std::uint8_t* block) { delete[] block; }

// Produces the planned chunks on its own thread. The callback stays in this
// object until stop() (or destruction), which joins the producer first and
// then destroys the callback, on the thread that stops the stream.
class PatternStream final : public vorn::Device::DataStream {
 public:
  PatternStream(std::uint32_t addr, std::uint64_t chunk_size, StreamPlan plan, vorn::StreamCallback&& callback)
      : callback_(std::move(callback)),
        producer_([this, addr, chunk_size, plan = std::move(plan)](std::stop_token stop) {
          produce(stop, addr, chunk_size, plan);
        }) {}

  ~PatternStream() override { stop(); }

  void stop() override {
    if (producer_.joinable()) {
      producer_.request_stop();
      producer_.join();
    }
    callback_.reset();
  }

 private:
  void produce(const std::stop_token& stop, std::uint32_t addr, std::uint64_t size, const StreamPlan& plan) {
    for (std::uint64_t k = 0; (plan.endless || k < plan.chunks) && !stop.stop_requested(); ++k) {
      auto block = std::make_unique<std::uint8_t[]>(size);
      for (std::uint64_t i = 0; i < size; ++i) {
        block[i] = static_cast<std::uint8_t>(addr + k * size + i);
      }
      if (plan.views) {
        vorn::StreamEvent event{vorn::DataView{block.get(), size}};
        callback_(event);
      } else {
        vorn::StreamEvent event{vorn::ManagedBuffer{block.release(), size, &delete_block}};
        callback_(event);
      }
      if (plan.interval_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(plan.interval_ms));
      }
    }
    if (plan.error) {
      vorn::StreamEvent event{*plan.error};
      callback_(event);
    }
    vorn::StreamEvent end{};
    callback_(end);
  }

  vorn::StreamCallback callback_;
  std::jthread producer_;  // last: starts after callback_ exists
};

std::uint64_t to_number(const std::string& text) { return text.empty() ? 0 : std::stoull(text); }

}  // namespace

TestDevice::TestDevice(std::string options) : options_(std::move(options)) {
  for (const auto& [key, value] : parse_options(options_)) {
    if (key == "fail_send") {
      fail_send_ = true;
    } else if (key == "fail_read") {
      fail_read_ = true;
    } else if (key == "chunks") {
      plan_.chunks = to_number(value);
    } else if (key == "endless") {
      plan_.endless = true;
      plan_.interval_ms = std::max(plan_.interval_ms, 1U);
    } else if (key == "chunk_bytes") {
      plan_.chunk_bytes = to_number(value);
    } else if (key == "interval_ms") {
      plan_.interval_ms = static_cast<unsigned>(to_number(value));
    } else if (key == "views") {
      plan_.views = true;
    } else if (key == "error") {
      plan_.error = value;
    }
  }
}

vorn::BasicDeviceStatus TestDevice::set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t) noexcept {
  ++counters_[kSetRegister];
  staged_[addr] = value;
  return vorn::BasicDeviceStatus::Success;
}

vorn::BasicDeviceStatus TestDevice::send_registers() noexcept {
  ++counters_[kSendRegisters];
  if (fail_send_) {
    return vorn::BasicDeviceStatus::Failure;
  }
  for (const auto& [addr, value] : staged_) {
    committed_[addr] = value;
  }
  staged_.clear();
  return vorn::BasicDeviceStatus::Success;
}

std::uint32_t TestDevice::get_register(std::uint32_t addr) noexcept {
  ++counters_[kGetRegister];
  const auto found = read_back_.find(addr);
  return found == read_back_.end() ? 0 : found->second;
}

vorn::BasicDeviceStatus TestDevice::read_registers() noexcept {
  ++counters_[kReadRegisters];
  if (fail_read_) {
    return vorn::BasicDeviceStatus::Failure;
  }
  read_back_ = committed_;
  return vorn::BasicDeviceStatus::Success;
}

vorn::BasicDeviceStatus TestDevice::trigger(std::uint32_t addr, int value) noexcept {
  ++counters_[kTrigger];
  last_trigger_ = std::to_string(addr) + ":" + std::to_string(value);
  return vorn::BasicDeviceStatus::Success;
}

std::uint64_t TestDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  ++counters_[kWrite];
  if (addr >= memory_.size()) {
    return 0;
  }
  const auto count = std::min<std::uint64_t>(length, memory_.size() - addr);
  std::memcpy(memory_.data() + addr, data, count);
  return count;
}

std::uint64_t TestDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t* data) noexcept {
  ++counters_[kRead];
  if (addr >= memory_.size()) {
    return 0;
  }
  const auto count = std::min<std::uint64_t>(length, memory_.size() - addr);
  std::memcpy(data, memory_.data() + addr, count);
  return count;
}

std::optional<std::unique_ptr<vorn::Device::DataStream>> TestDevice::start_read_stream(std::uint32_t addr,
                                                                                       vorn::StreamCallback&& callback,
                                                                                       std::uint64_t chunk_size) {
  ++counters_[kStreams];
  const auto size = chunk_size != 0 ? chunk_size : plan_.chunk_bytes;
  return std::make_unique<PatternStream>(addr, size, plan_, std::move(callback));
}

std::optional<std::string> TestDevice::get_status() {
  static constexpr std::array<const char*, kCount> kNames = {
      "set_register", "send_registers", "get_register", "read_registers", "trigger", "write", "read", "streams"};
  std::string text;
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    text += std::string(kNames[i]) + "=" + std::to_string(counters_[i]) + " ";
  }
  return text + "last_trigger=" + last_trigger_;
}

std::optional<std::string> TestDevice::get_info() { return options_; }

}  // namespace vorn_test
