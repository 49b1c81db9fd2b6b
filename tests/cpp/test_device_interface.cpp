// The SDK's own behaviour: the interface's built-in operations, the callback
// object's ownership, and owning chunks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vorn/vorn.hpp"

namespace {

using vorn::BasicDeviceStatus;

// Records the calls the interface's own operations make.
class FakeDevice : public vorn::Device {
 public:
  std::vector<std::string> calls;
  BasicDeviceStatus set_result = BasicDeviceStatus::Success;
  BasicDeviceStatus send_result = BasicDeviceStatus::Success;
  BasicDeviceStatus read_result = BasicDeviceStatus::Success;
  std::uint32_t value = 0;

  BasicDeviceStatus set_register(std::uint32_t a, std::uint32_t v, std::uint32_t x) noexcept override {
    calls.push_back("set " + std::to_string(a) + " " + std::to_string(v) + " " + std::to_string(x));
    return set_result;
  }
  BasicDeviceStatus send_registers() noexcept override {
    calls.emplace_back("send");
    return send_result;
  }
  std::uint32_t get_register(std::uint32_t a) noexcept override {
    calls.push_back("get " + std::to_string(a));
    return value;
  }
  BasicDeviceStatus read_registers() noexcept override {
    calls.emplace_back("read");
    return read_result;
  }
  BasicDeviceStatus trigger(std::uint32_t, int) noexcept override { return BasicDeviceStatus::Success; }
  std::uint64_t write(std::uint32_t, std::uint64_t n, std::uint8_t*) noexcept override { return n; }
  std::uint64_t read(std::uint32_t, std::uint64_t n, std::uint8_t*) noexcept override { return n; }
};

TEST(DeviceInterface, SetRegisterSyncStagesSendsAndSucceedsOnlyIfBothDid) {
  struct Case {
    int set, send;
    BasicDeviceStatus expected;
  };
  for (auto c : {Case{0, 0, BasicDeviceStatus::Success}, Case{1, 0, BasicDeviceStatus::Failure},
                 Case{0, 1, BasicDeviceStatus::Failure}, Case{2, 0, BasicDeviceStatus::Failure},
                 Case{0, -1, BasicDeviceStatus::Failure}}) {
    FakeDevice device;
    device.set_result = static_cast<BasicDeviceStatus>(c.set);
    device.send_result = static_cast<BasicDeviceStatus>(c.send);
    vorn::Device& base = device;
    EXPECT_EQ(base.set_register_sync(4294967295u, 7, 9), c.expected) << "set " << c.set << " send " << c.send;
    EXPECT_EQ(device.calls, (std::vector<std::string>{"set 4294967295 7 9", "send"})) << "sends also after a failure";
  }
}

TEST(DeviceInterface, GetRegisterSyncReadsOnlyAfterSuccessfulRefresh) {
  FakeDevice device;
  device.value = 0;
  EXPECT_EQ(device.get_register_sync(3), std::optional<std::uint32_t>(0));
  EXPECT_EQ(device.calls, (std::vector<std::string>{"read", "get 3"}));

  for (int status : {1, 2, -1}) {
    FakeDevice failing;
    failing.read_result = static_cast<BasicDeviceStatus>(status);
    EXPECT_EQ(failing.get_register_sync(3), std::nullopt) << "status " << status;
    EXPECT_EQ(failing.calls, std::vector<std::string>{"read"});
  }
}

TEST(DeviceInterface, DefaultsStartNoStreamAndDescribeNothing) {
  FakeDevice device;
  int destroyed = 0;
  static const vorn::StreamCallbackOps ops{[](void*, vorn::StreamEvent&) {},
                                           [](void* state) { ++*static_cast<int*>(state); }};
  vorn::StreamCallback callback(&ops, &destroyed);
  EXPECT_FALSE(device.start_read_stream(0, std::move(callback), 0).has_value());
  EXPECT_FALSE(device.get_status().has_value());
  EXPECT_FALSE(device.get_info().has_value());
}

struct Counters {
  int invoked = 0;
  int destroyed = 0;
};

const vorn::StreamCallbackOps counting_ops{
    [](void* state, vorn::StreamEvent&) { ++static_cast<Counters*>(state)->invoked; },
    [](void* state) { ++static_cast<Counters*>(state)->destroyed; }};

TEST(StreamCallback, MoveTransfersOwnershipAndDestroysOnce) {
  Counters counters;
  {
    vorn::StreamCallback a(&counting_ops, &counters);
    vorn::StreamCallback b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    vorn::StreamEvent event;
    b(event);
    vorn::StreamCallback c;
    c = std::move(b);
    vorn::StreamCallback& same = c;  // through a reference: g++ 14 warns of a plain self-move
    c = std::move(same);             // self-move keeps the state
    EXPECT_TRUE(c);
    EXPECT_EQ(counters.destroyed, 0);
  }
  EXPECT_EQ(counters.invoked, 1);
  EXPECT_EQ(counters.destroyed, 1);
}

TEST(StreamCallback, AssigningOverALiveCallbackDestroysTheOldState) {
  Counters first, second;
  vorn::StreamCallback a(&counting_ops, &first);
  a = vorn::StreamCallback(&counting_ops, &second);
  EXPECT_EQ(first.destroyed, 1);
  EXPECT_EQ(second.destroyed, 0);
  a.reset();
  a.reset();
  EXPECT_EQ(second.destroyed, 1);
}

int deleted_blocks = 0;
void count_delete(std::uint8_t* block) {
  ++deleted_blocks;
  delete[] block;
}

TEST(ManagedBuffer, DeleterRunsOnceAndNeverForNull) {
  deleted_blocks = 0;
  {
    vorn::StreamEvent event = vorn::ManagedBuffer(new std::uint8_t[4], 4, count_delete);
    vorn::ManagedBuffer taken = std::move(std::get<vorn::ManagedBuffer>(event));
    EXPECT_EQ(taken.size, 4u);
    vorn::StreamEvent null_chunk = vorn::ManagedBuffer(nullptr, 16, count_delete);
    vorn::ManagedBuffer moved_from;
    moved_from = vorn::ManagedBuffer(nullptr, 0, nullptr);  // no deleter at all: never called
  }
  EXPECT_EQ(deleted_blocks, 1);
}

TEST(StreamEvent, AlternativesKeepTheirIndexOrder) {
  EXPECT_EQ(vorn::StreamEvent(std::monostate{}).index(), 0u);
  EXPECT_EQ(vorn::StreamEvent(std::string("e")).index(), 1u);
  EXPECT_EQ(vorn::StreamEvent(vorn::ManagedBuffer()).index(), 2u);
  EXPECT_EQ(vorn::StreamEvent(vorn::DataView()).index(), 3u);
  static_assert(sizeof(vorn::ManagedBuffer) == 3 * sizeof(void*));
  static_assert(sizeof(vorn::DataView) == 2 * sizeof(void*));
  static_assert(std::is_trivially_copyable_v<vorn::DataView>);
}

}  // namespace
