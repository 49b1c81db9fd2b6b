#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "block_pool.hpp"
#include "sim_device.hpp"
#include "stream_pattern.hpp"
#include "stream_recorder.hpp"

namespace vorn::sim {
namespace {

using test::RecordedEvent;
using test::StreamRecorder;
using namespace std::chrono_literals;

std::unique_ptr<SimDevice> make_device(const std::string& text) {
  return std::make_unique<SimDevice>(parse_device_text(text));
}

std::unique_ptr<Device::DataStream> start(Device& device, std::uint32_t addr,
                                          const std::shared_ptr<StreamRecorder>& recorder,
                                          std::uint64_t chunk_size = 0) {
  StreamCallback callback = StreamRecorder::callback(recorder);
  auto stream = device.start_read_stream(addr, std::move(callback), chunk_size);
  EXPECT_FALSE(callback) << "the device takes the callback";
  return stream ? std::move(*stream) : nullptr;
}

TEST(StreamPattern, PiecesOfAnySizeContinueTheCounters) {
  std::vector<std::uint8_t> whole(4096);
  fill_pattern(whole.data(), 0, whole.size());
  std::uint64_t first = 0;
  std::memcpy(&first, whole.data() + 8 * 37, 8);
  EXPECT_EQ(first, 37u);
  EXPECT_EQ(whole[8 * 258 + 1], 1) << "little-endian: second byte of counter 258";
  for (std::uint64_t piece : {1, 3, 7, 8, 13, 64, 999, 4095}) {
    std::vector<std::uint8_t> joined(whole.size());
    for (std::uint64_t at = 0; at < joined.size(); at += piece) {
      fill_pattern(joined.data() + at, at, std::min<std::uint64_t>(piece, joined.size() - at));
    }
    EXPECT_EQ(joined, whole) << "pieces of " << piece;
    EXPECT_EQ(find_pattern_mismatch(joined.data() + 5, 5, 4090), 4090u);
  }
  whole[500] ^= 1;
  EXPECT_EQ(find_pattern_mismatch(whole.data(), 0, whole.size()), 500u);
}

struct FiniteStream {
  std::string options;
  std::uint32_t addr;
  std::uint64_t chunk_size;  // passed to start_read_stream
  std::uint64_t expected_chunk;
  std::uint64_t length;
};

void PrintTo(const FiniteStream& p, std::ostream* out) {
  *out << "'" << p.options << "' addr " << p.addr << " chunk_size " << p.chunk_size << " length " << p.length;
}

class SimFiniteStream : public testing::TestWithParam<FiniteStream> {};

TEST_P(SimFiniteStream, DeliversThePatternInChunksThenTheEndMarker) {
  const FiniteStream& p = GetParam();
  auto device = make_device("sim0 length=" + std::to_string(p.length) + " " + p.options);
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, p.addr, recorder, p.chunk_size);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder->wait_for_end());
  std::this_thread::sleep_for(20ms);  // room for a stray event after the end

  const std::vector<RecordedEvent> events = recorder->events();
  const bool owned =
      p.addr == kStreamOwned || (p.addr == kStreamDefaultMode && p.options.find("view") == std::string::npos);
  const std::uint64_t chunks = (p.length + p.expected_chunk - 1) / p.expected_chunk;
  ASSERT_EQ(events.size(), chunks + 1);
  for (std::uint64_t i = 0; i < chunks; ++i) {
    EXPECT_EQ(events[i].kind, owned ? RecordedEvent::owned : RecordedEvent::view) << i;
    const std::uint64_t expected = i + 1 < chunks ? p.expected_chunk : p.length - i * p.expected_chunk;
    ASSERT_EQ(events[i].size, expected) << "chunk " << i;
  }
  EXPECT_EQ(events.back().kind, RecordedEvent::end);
  EXPECT_EQ(recorder->stream_offset(), p.length);
  EXPECT_EQ(recorder->pattern_errors(), 0u);
  EXPECT_EQ(recorder->events_after_end(), 0u);
  EXPECT_EQ(recorder->overlapping_calls(), 0u);
  EXPECT_EQ(recorder->threads_seen(), 1u);
  if (!owned && chunks > 1) {
    EXPECT_EQ(events[0].data, events[1].data) << "views reuse one buffer";
  }
  EXPECT_FALSE(recorder->destroyed());
  stream.reset();
  EXPECT_TRUE(recorder->destroyed());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SimFiniteStream,
    testing::Values(FiniteStream{"", kStreamDefaultMode, 0, 64 * 1024, 200 * 1024},
                    FiniteStream{"chunks=view chunk_size=4K", kStreamDefaultMode, 0, 4096, 4096 * 5},
                    FiniteStream{"", kStreamOwned, 64, 64, 4096}, FiniteStream{"", kStreamView, 13, 13, 1000},
                    FiniteStream{"chunks=view", kStreamOwned, 1, 1, 100}, FiniteStream{"", kStreamView, 1, 1, 1},
                    FiniteStream{"chunk_size=1M", kStreamOwned, 0, 1024 * 1024, 4 * 1024 * 1024 + 5},
                    FiniteStream{"", kStreamOwned, 1000, 1000, 999}));

TEST(SimStream, ErrorTextsArriveInTheirPlace) {
  auto device = make_device("sim0 chunk_size=16 length=160 error_every=3 error_text='glitch, again'");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamView, recorder);
  ASSERT_TRUE(recorder->wait_for_end());
  std::string shape;
  for (const RecordedEvent& event : recorder->events()) {
    shape += event.kind == RecordedEvent::error ? 'E' : event.kind == RecordedEvent::end ? '.' : 'c';
    if (event.kind == RecordedEvent::error) {
      EXPECT_EQ(event.text, "glitch, again");
    }
  }
  EXPECT_EQ(shape, "cccEcccEcccEc.");
  EXPECT_EQ(recorder->pattern_errors(), 0u);
  EXPECT_NE(device->get_status().value().find("stream_errors=3"), std::string::npos);
}

TEST(SimStream, StopEndsDeliveryAndIsIdempotent) {
  auto device = make_device("sim0 chunk_size=256");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamOwned, recorder);
  ASSERT_TRUE(recorder->wait_for_chunks(100));
  stream->stop();
  const std::size_t after_stop = recorder->event_count();
  stream->stop();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(recorder->event_count(), after_stop) << "stop() joined the producer";
  EXPECT_EQ(recorder->events().back().kind, RecordedEvent::owned) << "a stopped stream pushes no end marker";
  EXPECT_TRUE(recorder->destroyed()) << "stop() releases the callback: queued events are not delivered";
  EXPECT_EQ(recorder->pattern_errors(), 0u);
  EXPECT_NE(device->get_status().value().find("streams_running=0"), std::string::npos);
  stream.reset();
}

TEST(SimStream, ConcurrentStopsAllReturnAfterTheProducerEnded) {
  auto device = make_device("sim0 chunk_size=64");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamView, recorder);
  ASSERT_TRUE(recorder->wait_for_chunks(10));
  std::vector<std::thread> stoppers;
  std::atomic<std::size_t> seen_after{0};
  for (int i = 0; i < 4; ++i) {
    stoppers.emplace_back([&] {
      stream->stop();
      seen_after = recorder->event_count();
    });
  }
  for (auto& thread : stoppers) {
    thread.join();
  }
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(recorder->event_count(), seen_after.load());
}

TEST(SimStream, StopFromInsideTheCallbackDoesNotDeadlock) {
  auto device = make_device("sim0 chunk_size=64");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamOwned, recorder);
  ASSERT_TRUE(recorder->wait_for_chunks(5));
  Device::DataStream* raw = stream.get();
  recorder->on_next_invoke([raw] { raw->stop(); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (device->get_status().value().find("streams_running=0") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the producer did not end";
    std::this_thread::sleep_for(1ms);
  }
  const std::size_t count = recorder->event_count();
  stream.reset();
  EXPECT_EQ(recorder->event_count(), count);
}

// Destroying the module's callback waits for its delivery thread, and that
// thread may itself call stop() (a Python callback stopping its stream). Here
// the callback's destroy waits for such a stop() on another thread. Every wait
// is bounded, so a deadlock shows as a failure, not as a hung suite.
TEST(SimStream, StopWhileTheCallbackIsDestroyedReturnsAtOnce) {
  struct Scenario {
    std::mutex mutex;
    std::condition_variable changed;
    bool destroying = false;
    bool other_stop_returned = false;
    bool returned_during_destroy = false;
  } scenario;
  static constexpr StreamCallbackOps ops{[](void*, StreamEvent&) {},
                                         [](void* state) {
                                           auto& shared = *static_cast<Scenario*>(state);
                                           std::unique_lock lock(shared.mutex);
                                           shared.destroying = true;
                                           shared.changed.notify_all();
                                           shared.returned_during_destroy = shared.changed.wait_for(
                                               lock, 10s, [&] { return shared.other_stop_returned; });
                                         }};
  auto device = make_device("sim0 chunk_size=64");
  auto stream = std::move(*device->start_read_stream(kStreamView, StreamCallback(&ops, &scenario), 0));
  std::thread delivery([&] {
    std::unique_lock lock(scenario.mutex);
    if (scenario.changed.wait_for(lock, 10s, [&] { return scenario.destroying; })) {
      lock.unlock();
      stream->stop();
      lock.lock();
      scenario.other_stop_returned = true;
      scenario.changed.notify_all();
    }
  });
  stream->stop();
  delivery.join();
  EXPECT_TRUE(scenario.destroying) << "stop() destroys the callback";
  EXPECT_TRUE(scenario.returned_during_destroy) << "the second stop() waited for the callback's destruction";
}

TEST(SimStream, OutlivesItsDevice) {
  auto device = make_device("sim0 chunk_size=512");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamOwned, recorder);
  ASSERT_TRUE(recorder->wait_for_chunks(10));
  device.reset();
  const std::uint64_t chunks = recorder->events().size();
  ASSERT_TRUE(recorder->wait_for_chunks(chunks + 100)) << "keeps producing without its device";
  stream->stop();
  EXPECT_EQ(recorder->pattern_errors(), 0u);
}

TEST(SimStream, OwnedChunksOutliveStreamAndDeviceAndAreReleasedOnce) {
  const std::uint64_t pools_before = BlockPool::live_pools();
  auto device = make_device("sim0 chunk_size=100 length=100000");
  auto recorder = std::make_shared<StreamRecorder>(/*keep_owned=*/true);
  auto stream = start(*device, kStreamOwned, recorder);
  ASSERT_TRUE(recorder->wait_for_end());
  stream.reset();
  device.reset();
  std::vector<ManagedBuffer> kept = recorder->take_kept();
  ASSERT_EQ(kept.size(), 1000u);
  EXPECT_EQ(BlockPool::live_pools(), pools_before + 1);
  std::uint64_t offset = 0;
  for (const ManagedBuffer& chunk : kept) {
    ASSERT_EQ(find_pattern_mismatch(chunk.data.get(), offset, chunk.size), chunk.size) << "at " << offset;
    offset += chunk.size;
  }
  std::thread([kept = std::move(kept)]() mutable { kept.clear(); }).join();
  EXPECT_EQ(BlockPool::live_pools(), pools_before);
}

TEST(SimStream, ThrottlesToTheByteAndChunkRates) {
  struct Case {
    const char* options;
    std::chrono::milliseconds at_least;
  };
  for (const Case& c : {Case{"chunk_size=16K rate=256K length=64K", 180ms},  // 3 waits of 1/16 s
                        Case{"chunk_size=8 chunk_rate=100 length=48", 45ms}}) {
    auto device = make_device(std::string("sim0 ") + c.options);
    auto recorder = std::make_shared<StreamRecorder>();
    const auto begin = std::chrono::steady_clock::now();
    auto stream = start(*device, kStreamView, recorder);
    ASSERT_TRUE(recorder->wait_for_end());
    EXPECT_GE(std::chrono::steady_clock::now() - begin, c.at_least) << c.options;
  }
}

TEST(SimStream, StopInterruptsAThrottleWait) {
  auto device = make_device("sim0 chunk_size=1 chunk_rate=1");
  auto recorder = std::make_shared<StreamRecorder>();
  auto stream = start(*device, kStreamView, recorder);
  ASSERT_TRUE(recorder->wait_for_chunks(1));
  const auto begin = std::chrono::steady_clock::now();
  stream->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
}

TEST(SimStream, RefusedStartsLeaveTheCallbackWithTheCaller) {
  auto device = make_device("sim0");
  auto recorder = std::make_shared<StreamRecorder>();
  for (auto [addr, chunk_size, names] : {std::tuple{3u, 0ull, "address 3"}, std::tuple{0xFFFFFFFFu, 0ull, "4294967295"},
                                         std::tuple{0u, 256ull * 1024 * 1024 + 1, "268435457"}}) {
    StreamCallback callback = StreamRecorder::callback(recorder);
    try {
      device->start_read_stream(addr, std::move(callback), chunk_size);
      ADD_FAILURE() << "started at " << addr;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(names), std::string::npos) << error.what();
    }
    EXPECT_TRUE(callback) << "not taken";
  }
  StreamCallback empty;
  EXPECT_THROW(device->start_read_stream(0, std::move(empty), 0), std::runtime_error);
}

}  // namespace
}  // namespace vorn::sim
