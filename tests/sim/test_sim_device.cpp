#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim_device.hpp"

namespace vorn::sim {
namespace {

using Status = BasicDeviceStatus;

SimDevice make_device(std::uint32_t registers = 16) {
  DeviceSettings settings;
  settings.register_count = registers;
  settings.memory_size = 0;
  return SimDevice(settings);
}

TEST(SimRegisters, StagedWritesAppearTogetherOnlyAfterSend) {
  SimDevice device = make_device();
  ASSERT_EQ(device.set_register(kScratchRegister, 11, 0), Status::Success);
  ASSERT_EQ(device.set_register(7, 22, 0), Status::Success);
  ASSERT_EQ(device.set_register(7, 23, 0), Status::Success);  // the later staging wins
  EXPECT_EQ(device.get_register_sync(kScratchRegister), 0u);
  EXPECT_EQ(device.get_register_sync(7), 0u);

  ASSERT_EQ(device.send_registers(), Status::Success);
  EXPECT_EQ(device.get_register(7), 0u) << "get_register reads the last snapshot";
  ASSERT_EQ(device.read_registers(), Status::Success);
  EXPECT_EQ(device.get_register(kScratchRegister), 11u);
  EXPECT_EQ(device.get_register(7), 23u);

  EXPECT_EQ(device.send_registers(), Status::Success) << "sending nothing staged";
  EXPECT_EQ(device.get_register_sync(7), 23u);
}

TEST(SimRegisters, EachCommitAppliesItsOwnWrite) {
  SimDevice device = make_device();
  for (std::uint32_t value : {0x11u, 0x22u}) {
    ASSERT_EQ(device.set_register(7, value, 0), Status::Success);
    ASSERT_EQ(device.send_registers(), Status::Success);
  }
  EXPECT_EQ(device.get_register_sync(7), 0x22u);
}

TEST(SimRegisters, SyncOperationsRoundTripOnEveryWritableRegister) {
  SimDevice device = make_device();
  for (std::uint32_t addr = 0; addr < device.settings().register_count; ++addr) {
    if (RegisterBank::is_read_only(addr)) {
      continue;
    }
    const std::uint32_t value = 0xA5000000u | addr;
    ASSERT_EQ(device.set_register_sync(addr, value, 0), Status::Success) << addr;
    EXPECT_EQ(device.get_register_sync(addr), value) << addr;
  }
}

struct RefusedWrite {
  std::uint32_t addr;
  const char* why;
};

void PrintTo(const RefusedWrite& p, std::ostream* out) { *out << p.why; }

class SimRegisterRefusal : public testing::TestWithParam<RefusedWrite> {};

TEST_P(SimRegisterRefusal, FailsAndChangesNothing) {
  SimDevice device = make_device(16);
  ASSERT_EQ(device.read_registers(), Status::Success);
  const std::uint32_t before = device.get_register(GetParam().addr);
  EXPECT_EQ(device.set_register(GetParam().addr, 0xDEAD, 0), Status::Failure);
  EXPECT_EQ(device.send_registers(), Status::Success);
  EXPECT_EQ(device.set_register_sync(GetParam().addr, 0xBEEF, 0), Status::Failure);
  EXPECT_EQ(device.get_register(GetParam().addr), before);
  if (GetParam().addr < 16) {
    EXPECT_EQ(device.get_register_sync(GetParam().addr), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Registers, SimRegisterRefusal,
                         testing::Values(RefusedWrite{kIdentityRegister, "identity"},
                                         RefusedWrite{kTriggerCountRegister, "trigger count"},
                                         RefusedWrite{kTriggerAddrRegister, "trigger address"},
                                         RefusedWrite{kTriggerValueRegister, "trigger value"},
                                         RefusedWrite{16, "first out of range"},
                                         RefusedWrite{0xFFFFFFFF, "far out of range"}),
                         [](const auto& instance) { return "addr_" + std::to_string(instance.param.addr); });

TEST(SimRegisters, IdentityIsConstantAndOutOfRangeHasNoValue) {
  SimDevice device = make_device(16);
  EXPECT_EQ(device.get_register(kIdentityRegister), kIdentityValue) << "before any read_registers";
  EXPECT_EQ(device.get_register_sync(kIdentityRegister), kIdentityValue);
  EXPECT_EQ(device.get_register_sync(15), 0u) << "the last register";
  EXPECT_EQ(device.get_register(16), 0u);
  EXPECT_EQ(device.read_registers(), Status::Success) << "refreshing succeeds whatever comes next";
  for (const std::uint32_t addr : {16u, 300u, 0xFFFFFFFFu}) {
    EXPECT_EQ(device.get_register_sync(addr), std::nullopt) << addr;
  }
  EXPECT_NE(device.get_status().value().find("register_reads=3 "), std::string::npos)
      << "an address out of range takes no snapshot";
}

TEST(SimRegisters, TriggerRecordsCountAddressAndValueAtOnce) {
  SimDevice device = make_device(16);
  EXPECT_EQ(device.trigger(9, -2), Status::Success);
  EXPECT_EQ(device.trigger(15, 42), Status::Success);
  EXPECT_EQ(device.trigger(16, 1), Status::Failure);
  ASSERT_EQ(device.read_registers(), Status::Success);
  EXPECT_EQ(device.get_register(kTriggerCountRegister), 2u);
  EXPECT_EQ(device.get_register(kTriggerAddrRegister), 15u);
  EXPECT_EQ(device.get_register(kTriggerValueRegister), 42u);
  EXPECT_EQ(device.trigger(0, -1), Status::Success);
  EXPECT_EQ(device.get_register_sync(kTriggerValueRegister), 0xFFFFFFFFu);
  EXPECT_EQ(device.get_register(kTriggerAddrRegister), 0u);
}

TEST(SimRegisters, StatusCountsRegisterTraffic) {
  SimDevice device = make_device();
  device.set_register(1, 1, 0);
  device.set_register(5, 1, 0);
  device.send_registers();
  device.trigger(1, 1);
  device.read_registers();
  const std::string status = device.get_status().value();
  for (const char* expected : {"register_writes=2", "register_reads=1", "triggers=1"}) {
    EXPECT_NE(status.find(expected), std::string::npos) << status;
  }
}

struct Transfer {
  std::uint32_t addr;
  std::uint64_t length;
  std::uint64_t expected;
};

void PrintTo(const Transfer& p, std::ostream* out) { *out << "addr " << p.addr << " length " << p.length; }

class SimMemoryClamp : public testing::TestWithParam<Transfer> {};

TEST_P(SimMemoryClamp, WriteAndReadStopAtTheEnd) {
  DeviceSettings settings;
  settings.memory_size = 4096;
  SimDevice device(settings);
  const auto [addr, length, expected] = GetParam();
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  EXPECT_EQ(device.write(addr, length, out.data()), expected);
  std::vector<std::uint8_t> in(length, 0);
  EXPECT_EQ(device.read(addr, length, in.data()), expected);
  EXPECT_TRUE(std::equal(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(expected), out.begin()));
  EXPECT_TRUE(std::all_of(in.begin() + static_cast<std::ptrdiff_t>(expected), in.end(), [](auto b) { return b == 0; }))
      << "bytes past the end are left alone";
}

INSTANTIATE_TEST_SUITE_P(Memory, SimMemoryClamp,
                         testing::Values(Transfer{0, 4096, 4096}, Transfer{0, 0, 0}, Transfer{100, 50, 50},
                                         Transfer{4000, 200, 96}, Transfer{4095, 2, 1}, Transfer{4096, 10, 0},
                                         Transfer{0xFFFFFFFF, 10, 0}, Transfer{0, 5000, 4096}));

TEST(SimMemory, StartsZeroedAndKeepsOtherBytes) {
  SimDevice device(DeviceSettings{});
  std::vector<std::uint8_t> block(64, 0xEE);
  ASSERT_EQ(device.read(16 * 1024 * 1024 - 64, 64, block.data()), 64u);
  EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](auto b) { return b == 0; }));
  std::uint8_t byte = 9;
  ASSERT_EQ(device.write(10, 1, &byte), 1u);
  ASSERT_EQ(device.read(8, 4, block.data()), 4u);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[2], 9);
  EXPECT_EQ(block[3], 0);
  const std::string status = device.get_status().value();
  EXPECT_NE(status.find("bytes_written=1 "), std::string::npos) << status;
  EXPECT_NE(status.find("bytes_read=68 "), std::string::npos) << status;
}

}  // namespace
}  // namespace vorn::sim
