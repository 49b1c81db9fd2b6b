#include "register_bank.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace vorn::sim {

RegisterBank::RegisterBank(std::uint32_t count)
    : count_(count), live_(count, 0), staged_value_(count, 0), is_staged_(count, false) {
  if (count < kFirstPlainRegister) {
    throw std::runtime_error("sim: a register bank needs at least " + std::to_string(kFirstPlainRegister) +
                             " registers, not " + std::to_string(count));
  }
  live_[kIdentityRegister] = kIdentityValue;
  snapshot_ = live_;
  staged_order_.reserve(count);
}

bool RegisterBank::is_read_only(std::uint32_t addr) noexcept {
  return addr < kFirstPlainRegister && kFixedRegisters[addr].read_only;
}

std::string describe_fixed_registers(std::string_view separator) {
  std::string text;
  for (const FixedRegister& reg : kFixedRegisters) {
    text += text.empty() ? "" : separator;
    text += std::to_string(reg.index) + " " + std::string(reg.name);
    if (reg.index == kIdentityRegister) {
      char value[16];
      std::snprintf(value, sizeof value, " 0x%08X", kIdentityValue);
      text += value;
    }
    text += reg.read_only ? " read-only" : "";
  }
  return text;
}

BasicDeviceStatus RegisterBank::stage(std::uint32_t addr, std::uint32_t value) noexcept {
  if (addr >= count_ || is_read_only(addr)) {
    return BasicDeviceStatus::Failure;
  }
  std::lock_guard lock(mutex_);
  staged_value_[addr] = value;
  if (!is_staged_[addr]) {
    is_staged_[addr] = true;
    staged_order_.push_back(addr);
  }
  return BasicDeviceStatus::Success;
}

BasicDeviceStatus RegisterBank::commit() noexcept {
  std::lock_guard lock(mutex_);
  for (std::uint32_t addr : staged_order_) {
    live_[addr] = staged_value_[addr];
    is_staged_[addr] = false;
  }
  counts_.committed_writes += staged_order_.size();
  staged_order_.clear();
  return BasicDeviceStatus::Success;
}

BasicDeviceStatus RegisterBank::refresh() noexcept {
  std::lock_guard lock(mutex_);
  snapshot_ = live_;  // same size: copies in place without allocating
  ++counts_.refreshes;
  return BasicDeviceStatus::Success;
}

std::uint32_t RegisterBank::value(std::uint32_t addr) const noexcept {
  if (addr >= count_) {
    return 0;
  }
  std::lock_guard lock(mutex_);
  return snapshot_[addr];
}

BasicDeviceStatus RegisterBank::trigger(std::uint32_t addr, int value) noexcept {
  if (addr >= count_) {
    return BasicDeviceStatus::Failure;
  }
  std::lock_guard lock(mutex_);
  ++live_[kTriggerCountRegister];
  live_[kTriggerAddrRegister] = addr;
  live_[kTriggerValueRegister] = static_cast<std::uint32_t>(value);
  ++counts_.triggers;
  return BasicDeviceStatus::Success;
}

RegisterBank::Counts RegisterBank::counts() const noexcept {
  std::lock_guard lock(mutex_);
  return counts_;
}

}  // namespace vorn::sim
