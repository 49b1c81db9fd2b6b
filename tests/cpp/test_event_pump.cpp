// EventPump: ordering, the overflow limit, growth, shutdown, wake-ups and
// destruction from the worker itself. No Python.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/stream/copy_blocks.hpp"
#include "core/stream/event_pump.hpp"
#include "stream_callback_access.hpp"
#include "stream_recorder.hpp"
#include "vorn/stream.hpp"

namespace pyvorn {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 20s;  // generous bound for waits that should end at once
const std::string kNotice = "Queue Overflow, dropping event";

// Counting deleters, one counter per test (tag), for owning chunks made here.
template <int Tag>
std::atomic<int> deleted{0};

template <int Tag>
void counting_delete(std::uint8_t* block) {
  deleted<Tag>.fetch_add(1);
  delete[] block;
}

template <int Tag>
vorn::StreamEvent owning_chunk(std::uint32_t value) {
  auto* block = new std::uint8_t[sizeof value];
  std::memcpy(block, &value, sizeof value);
  return vorn::StreamEvent(std::in_place_index<2>, vorn::ManagedBuffer(block, sizeof value, &counting_delete<Tag>));
}

using vorn::test::RecordedEvent;
using vorn::test::StreamRecorder;

// The consumer: a recorder that keeps a copy of each chunk's bytes.
std::shared_ptr<StreamRecorder> make_recorder() { return std::make_shared<StreamRecorder>(false, true); }

vorn::StreamCallback consumer_for(const std::shared_ptr<StreamRecorder>& recorder) {
  return StreamRecorder::callback(recorder);
}

// The value an owning_chunk carried.
std::uint32_t value_of(const RecordedEvent& event) {
  std::uint32_t v = 0;
  if (event.bytes.size() == sizeof v) {
    std::memcpy(&v, event.bytes.data(), sizeof v);
  }
  return v;
}

void push(EventPump& pump, vorn::StreamEvent event) { pump.push(event); }

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Blocks the worker inside the delivery of a first event, so that later
// pushes wait in the queue.
void hold_worker(EventPump& pump, StreamRecorder& r) {
  r.close_gate();
  push(pump, vorn::StreamEvent(std::in_place_index<1>, std::string("first")));
  ASSERT_TRUE(r.wait_for_entered(1));
  ASSERT_EQ(pump.waiting(), 0);
}

// Runs body(pump, recorder) with the worker held as above; the body ends the
// stream. Returns what the consumer saw, once the pump is gone.
template <typename Body>
std::vector<RecordedEvent> with_held_worker(std::int32_t max_elements, Body body) {
  auto r = make_recorder();
  {
    EventPump pump(consumer_for(r), max_elements);
    hold_worker(pump, *r);
    body(pump, *r);
    r->open_gate();  // also when the body failed early, so the pump can go
    EXPECT_TRUE(r->wait_for_destroyed());
  }
  return r->events();
}

// A pump (limit 64) whose worker is held as above, with `count` owning
// chunks of tag Tag waiting behind the held delivery.
template <int Tag>
std::unique_ptr<EventPump> held_with_chunks(const std::shared_ptr<StreamRecorder>& r, std::uint32_t count) {
  deleted<Tag> = 0;
  auto pump = std::make_unique<EventPump>(consumer_for(r), 64);
  hold_worker(*pump, *r);
  for (std::uint32_t i = 0; i < count; ++i) {
    push(*pump, owning_chunk<Tag>(i));
  }
  return pump;
}

// Asserts that got[first + i] is owning_chunk(i) for i in [0, count).
void expect_counting_chunks(const std::vector<RecordedEvent>& got, std::size_t first, std::uint32_t count) {
  ASSERT_GE(got.size(), first + count);
  for (std::uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(got[first + i].kind, RecordedEvent::owned) << i;
    ASSERT_EQ(value_of(got[first + i]), i);
  }
}

TEST(EventPump, MaxElementsBelowInitElementsThrows) {
  auto r = make_recorder();
  try {
    EventPump pump(consumer_for(r), 63);
    FAIL() << "63 was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "max_elements must be greater than init_elements");
  }
  EXPECT_EQ(r->destroy_count(), 1);
  EXPECT_THROW(EventPump(consumer_for(r), -1), std::runtime_error);
  EXPECT_THROW(EventPump(consumer_for(r), INT32_MIN), std::runtime_error);
  EXPECT_THROW(make_event_pump(consumer_for(r), 0), std::runtime_error);
  EXPECT_EQ(r->destroy_count(), 4);
}

TEST(EventPump, SixtyFourIsAccepted) {
  auto r = make_recorder();
  {
    EventPump pump(consumer_for(r), 64);
    EXPECT_EQ(pump.max_elements(), 64);
    EXPECT_EQ(pump.waiting(), 0);
  }
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, NullStateDestroyIsIgnored) {
  auto r = make_recorder();
  vorn::StreamCallback pump = make_event_pump(consumer_for(r), 64);
  vorn::StreamCallbackAccess::ops(pump)->destroy(nullptr);
  vorn::StreamCallback moved = std::move(pump);
  pump.reset();  // empty: nothing happens
  EXPECT_EQ(r->destroy_count(), 0);
  moved.reset();
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, DeliversInPushOrderExactlyOnce) {
  constexpr std::uint32_t kEvents = 20000;
  deleted<1> = 0;
  auto r = make_recorder();
  vorn::StreamCallback pump = make_event_pump(consumer_for(r), 1 << 20);
  std::thread producer([&] {
    std::vector<std::uint8_t> scratch(sizeof(std::uint32_t));
    for (std::uint32_t i = 0; i < kEvents; ++i) {
      switch (i % 3) {
        case 0: {
          vorn::StreamEvent e = owning_chunk<1>(i);
          pump(e);
          break;
        }
        case 1: {
          std::memcpy(scratch.data(), &i, sizeof i);
          vorn::StreamEvent e(std::in_place_index<3>, vorn::DataView{scratch.data(), scratch.size()});
          pump(e);
          break;
        }
        default: {
          vorn::StreamEvent e(std::in_place_index<1>, std::to_string(i));
          pump(e);
          break;
        }
      }
    }
    vorn::StreamEvent end;
    pump(end);
  });
  producer.join();
  ASSERT_TRUE(r->wait_for_destroyed());
  const auto got = r->events();
  ASSERT_EQ(got.size(), kEvents + 1);
  for (std::uint32_t i = 0; i < kEvents; ++i) {
    if (i % 3 == 2) {
      ASSERT_EQ(got[i].kind, RecordedEvent::error) << i;
      ASSERT_EQ(got[i].text, std::to_string(i));
    } else {
      ASSERT_EQ(got[i].kind, RecordedEvent::owned) << i;  // views arrive as owning copies
      ASSERT_EQ(value_of(got[i]), i);
    }
  }
  EXPECT_EQ(got.back().kind, RecordedEvent::end);
  EXPECT_EQ(deleted<1>.load(), static_cast<int>((kEvents + 2) / 3));
  EXPECT_FALSE(r->invoked_on(std::this_thread::get_id()));
  pump.reset();
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, OverflowNoticeAtTheLimit) {
  deleted<2> = 0;
  const auto got = with_held_worker(64, [](EventPump& pump, StreamRecorder& r) {
    for (std::uint32_t i = 0; i < 64; ++i) {
      ASSERT_EQ(pump.waiting(), static_cast<std::int64_t>(i));
      push(pump, owning_chunk<2>(i));
    }
    ASSERT_EQ(pump.waiting(), 64);
    // The next push, and every push while 64 or more wait, gives the notice;
    // the device's event is left untouched and released by the device.
    for (std::uint32_t i = 64; i < 70; ++i) {
      vorn::StreamEvent e = owning_chunk<2>(i);
      pump.push(e);
      ASSERT_EQ(e.index(), 2u);
      ASSERT_NE(std::get<2>(e).data, nullptr);
      // Consecutive notices are one counted element: they hold no more memory
      // and keep the queue no fuller than the first one did.
      ASSERT_EQ(pump.waiting(), 65);
    }
    EXPECT_EQ(deleted<2>.load(), 6);
    r.open_gate();
    ASSERT_TRUE(r.wait_for_events(71));
    push(pump, vorn::StreamEvent{});
  });
  ASSERT_EQ(got.size(), 72u);
  EXPECT_EQ(got[0].text, "first");
  expect_counting_chunks(got, 1, 64);
  for (std::size_t i = 65; i < 71; ++i) {
    ASSERT_EQ(got[i].kind, RecordedEvent::error);
    ASSERT_EQ(got[i].text, kNotice);
  }
  EXPECT_EQ(got[71].kind, RecordedEvent::end);
  EXPECT_EQ(deleted<2>.load(), 70);
}

// A consumer slower than its producer: each dropped event still gets its own
// notice, in order, but the notices take no room in the queue, so data flows
// again whenever the consumer catches up and memory stays bounded.
TEST(EventPump, SustainedOverflowKeepsDeliveringDataWithBoundedQueue) {
#ifdef _WIN32
  GTEST_SKIP() << "needs sleeps of microseconds; Windows sleeps last at least a scheduler tick";
#endif
  deleted<7> = 0;
  auto r = make_recorder();
  r->during = [](vorn::StreamEvent&) { std::this_thread::sleep_for(std::chrono::microseconds(20)); };
  constexpr std::uint32_t kPushes = 5000;
  std::int64_t most_waiting = 0;
  {
    EventPump pump(consumer_for(r), 64);
    for (std::uint32_t i = 0; i < kPushes; ++i) {
      if (i % 50 == 0) {  // still far faster than the consumer, but spread over its work
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
      vorn::StreamEvent e = owning_chunk<7>(i);
      pump.push(e);
      most_waiting = std::max(most_waiting, pump.waiting());
    }
    push(pump, vorn::StreamEvent{});
    ASSERT_TRUE(r->wait_for_destroyed(std::chrono::seconds(30)));
  }
  const auto got = r->events();
  std::size_t data = 0, notices = 0, data_after_first_notice = 0;
  std::uint32_t last_value = 0;
  for (const auto& d : got) {
    if (d.kind == RecordedEvent::owned) {
      ASSERT_TRUE(data == 0 || value_of(d) > last_value) << "data out of order";
      last_value = value_of(d);
      ++data;
      data_after_first_notice += notices > 0 ? 1 : 0;
    } else if (d.kind == RecordedEvent::error) {
      ASSERT_EQ(d.text, kNotice);
      ++notices;
    }
  }
  EXPECT_EQ(got.back().kind, RecordedEvent::end);
  EXPECT_EQ(data + notices, kPushes) << "one notice per dropped event";
  EXPECT_GT(notices, 0u);
  EXPECT_GT(data_after_first_notice, 0u) << "data must flow again once the consumer catches up";
  EXPECT_LE(most_waiting, 65) << "a run of notices is one element";
  EXPECT_EQ(deleted<7>.load(), static_cast<int>(kPushes));
}

TEST(EventPump, QueueGrowsUpToTheLimitWithoutLoss) {
  deleted<3> = 0;
  const auto got = with_held_worker(4096, [](EventPump& pump, StreamRecorder& r) {
    for (std::uint32_t i = 0; i < 1000; ++i) {
      push(pump, owning_chunk<3>(i));
    }
    ASSERT_EQ(pump.waiting(), 1000);
    r.open_gate();
    push(pump, vorn::StreamEvent{});
  });
  ASSERT_EQ(got.size(), 1002u);
  expect_counting_chunks(got, 1, 1000);
  EXPECT_EQ(got.back().kind, RecordedEvent::end);
  EXPECT_EQ(deleted<3>.load(), 1000);
}

// The end marker is stored whatever waits, behind the notices, so a stream
// that ends always says so, last.
TEST(EventPump, EndMarkerIsNeverDropped) {
  const auto got = with_held_worker(64, [](EventPump& pump, StreamRecorder&) {
    for (std::uint32_t i = 0; i < 65; ++i) {
      push(pump, vorn::StreamEvent(std::in_place_index<1>, std::to_string(i)));
    }
    push(pump, vorn::StreamEvent{});
  });
  ASSERT_EQ(got.size(), 67u);
  EXPECT_EQ(got[65].text, kNotice);
  EXPECT_EQ(got.back().kind, RecordedEvent::end);
}

// A drop after an event stored behind an earlier run of notices starts a new
// run: its notice comes after that event, in its place.
TEST(EventPump, OverflowAfterAStoredEventGetsItsOwnNotice) {
  const auto got = with_held_worker(64, [](EventPump& pump, StreamRecorder& r) {
    for (std::uint32_t i = 0; i < 64; ++i) {
      push(pump, vorn::StreamEvent(std::in_place_index<1>, std::to_string(i)));
    }
    push(pump, vorn::StreamEvent(std::in_place_index<1>, std::string("dropped 1")));
    r.let_through(2);  // "first" and "0" return; "1" is being delivered
    ASSERT_TRUE(r.wait_for_entered(3));
    push(pump, vorn::StreamEvent(std::in_place_index<1>, std::string("stored")));
    push(pump, vorn::StreamEvent(std::in_place_index<1>, std::string("dropped 2")));
    push(pump, vorn::StreamEvent{});
  });
  ASSERT_EQ(got.size(), 69u);
  EXPECT_EQ(got[64].text, "63");
  EXPECT_EQ(got[65].text, kNotice);
  EXPECT_EQ(got[66].text, "stored");
  EXPECT_EQ(got[67].text, kNotice);
  EXPECT_EQ(got[68].kind, RecordedEvent::end);
}

TEST(EventPump, ViewsAreCopiedAtPushTime) {
  auto r = make_recorder();
  {
    EventPump pump(consumer_for(r), 4096);
    std::vector<std::uint8_t> device(64);
    for (int round = 0; round < 500; ++round) {
      std::fill(device.begin(), device.end(), static_cast<std::uint8_t>(round));
      push(pump, vorn::StreamEvent(std::in_place_index<3>, vorn::DataView{device.data(), device.size()}));
      std::fill(device.begin(), device.end(), 0xEE);  // the device reuses its memory at once
    }
    push(pump, vorn::StreamEvent(std::in_place_index<3>, vorn::DataView{nullptr, 0}));
    push(pump, vorn::StreamEvent{});
    ASSERT_TRUE(r->wait_for_destroyed());
  }
  const auto got = r->events();
  ASSERT_EQ(got.size(), 502u);
  for (int round = 0; round < 500; ++round) {
    ASSERT_EQ(got[round].kind, RecordedEvent::owned);
    ASSERT_EQ(got[round].bytes, std::vector<std::uint8_t>(64, static_cast<std::uint8_t>(round))) << round;
  }
  EXPECT_EQ(got[500].kind, RecordedEvent::owned);  // an empty view becomes an empty owning chunk
  EXPECT_TRUE(got[500].bytes.empty());
}

// The pool of the pump's copies: a block given back is reused, one still out
// never is; blocks out when the pool closes stay valid until given back (the
// sanitizer builds check that each is freed once).
TEST(CopyBlocks, ReusesOnlyWhatCameBackAndOutlivesItsOwner) {
  const vorn::BlockDeleter give_back = copy_block_deleter();
  CopyBlocks* pool = CopyBlocks::create();
  ASSERT_NE(pool, nullptr);
  std::uint8_t* held = pool->take(64);
  std::uint8_t* again = pool->take(40);  // the same size class
  ASSERT_NE(again, held);
  give_back(again);
  EXPECT_EQ(pool->take(64), again);
  std::uint8_t* fresh = pool->take(64);
  EXPECT_NE(fresh, held);
  EXPECT_NE(fresh, again);
  std::uint8_t* large = pool->take(CopyBlocks::kMaxPooled + 1);  // not pooled
  std::memset(held, 0x5A, 64);
  std::memset(large, 0x5A, CopyBlocks::kMaxPooled + 1);
  pool->close();
  EXPECT_EQ(held[63], 0x5A);
  EXPECT_EQ(large[CopyBlocks::kMaxPooled], 0x5A);
  for (std::uint8_t* block : {held, again, fresh, large}) {
    give_back(block);
  }
}

// Blocks given back on another thread while the owner takes more and then
// closes the pool midway (ThreadSanitizer checks the hand-over).
TEST(CopyBlocks, GiveBacksOnAnotherThreadRaceTakeAndClose) {
  CopyBlocks* pool = CopyBlocks::create();
  ASSERT_NE(pool, nullptr);
  std::mutex mutex;
  std::condition_variable more;
  std::vector<std::uint8_t*> handed;
  bool done = false;
  std::thread giver([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      more.wait(lock, [&] { return done || !handed.empty(); });
      if (handed.empty()) {
        return;
      }
      std::vector<std::uint8_t*> batch;
      batch.swap(handed);
      lock.unlock();
      for (std::uint8_t* block : batch) {
        EXPECT_EQ(block[0], 0xA5);
        copy_block_deleter()(block);
      }
      lock.lock();
    }
  });
  for (int i = 0; i < 20000; ++i) {
    std::uint8_t* block = pool->take(static_cast<std::uint64_t>(1 + i % 200));
    ASSERT_NE(block, nullptr);
    block[0] = 0xA5;
    {
      std::lock_guard lock(mutex);
      handed.push_back(block);
    }
    more.notify_one();
    if (i == 15000) {
      pool->close();  // blocks of the first pool still come back after this
      pool = CopyBlocks::create();
      ASSERT_NE(pool, nullptr);
    }
  }
  pool->close();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  more.notify_one();
  giver.join();
}

TEST(EventPump, ShutdownReleasesQueuedChunksUndelivered) {
  auto r = make_recorder();
  auto pump = held_with_chunks<4>(r, 10);
  push(*pump, vorn::StreamEvent{});
  pump->request_stop();
  r->open_gate();
  pump.reset();
  EXPECT_EQ(deleted<4>.load(), 10);
  EXPECT_EQ(r->events().size(), 1u);  // only the delivery in progress
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, ShutdownWaitsForTheDeliveryInProgress) {
  auto r = make_recorder();
  auto pump = held_with_chunks<5>(r, 5);
  std::thread opener([&] {
    std::this_thread::sleep_for(100ms);
    r->open_gate();
  });
  pump.reset();  // returns only after the held delivery ended
  opener.join();
  EXPECT_EQ(r->destroy_count(), 1);
  EXPECT_EQ(deleted<5>.load(), 5);
  EXPECT_LE(r->events().size(), 6u);
  EXPECT_GE(r->events().size(), 1u);
}

TEST(EventPump, DestroyAfterTheEndMarkerReturnsAtOnce) {
  deleted<6> = 0;
  auto r = make_recorder();
  vorn::StreamCallback pump = make_event_pump(consumer_for(r), 64);
  vorn::StreamEvent end;
  pump(end);
  ASSERT_TRUE(r->wait_for_destroyed());
  for (std::uint32_t i = 0; i < 3; ++i) {  // stored, never delivered
    vorn::StreamEvent e = owning_chunk<6>(i);
    pump(e);
  }
  const auto start = std::chrono::steady_clock::now();
  pump.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_EQ(deleted<6>.load(), 3);
  EXPECT_EQ(r->events().size(), 1u);
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, StopWakesAnIdleWorkerPromptly) {
  auto r = make_recorder();
  auto pump = std::make_unique<EventPump>(consumer_for(r), 64);
  std::this_thread::sleep_for(150ms);  // long past the spin: the worker blocks
  const auto start = std::chrono::steady_clock::now();
  pump.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_EQ(r->destroy_count(), 1);
}

TEST(EventPump, APushWakesAnIdleWorker) {
  auto r = make_recorder();
  EventPump pump(consumer_for(r), 64);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(i % 2 == 0 ? 20ms : 0ms);
    push(pump, vorn::StreamEvent(std::in_place_index<1>, std::to_string(i)));
    ASSERT_TRUE(r->wait_for_events(static_cast<std::size_t>(i + 1), 2000ms)) << i;
  }
}

TEST(EventPump, IdleWorkerUsesLittleCpu) {
  auto r = make_recorder();
  EventPump pump(consumer_for(r), 64);
  push(pump, vorn::StreamEvent(std::in_place_index<1>, std::string("wake")));
  ASSERT_TRUE(r->wait_for_events(1));
  std::this_thread::sleep_for(50ms);
  // The best of three windows, so that a busy machine's noise (another
  // process's work does not count, but ours might be delayed) cannot fail it.
  double best = 1.0;
  for (int attempt = 0; attempt < 3 && best >= 0.010; ++attempt) {
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(300ms);
    best = std::min(best, process_cpu_seconds() - before);
  }
  EXPECT_LT(best, 0.010) << "an idle pump used " << best * 1000 << " ms of CPU in 300 ms";
}

TEST(EventPump, DestroyFromInsideTheConsumer) {
  deleted<7> = 0;
  auto r = make_recorder();
  vorn::StreamCallback pump = make_event_pump(consumer_for(r), 64);
  std::atomic<bool> destroy_returned{false};
  std::atomic<int> queued_released_at_return{-1};
  r->during = [&](vorn::StreamEvent& event) {
    if (event.index() == 1 && std::get<1>(event) == "stop") {
      pump.reset();  // the device destroys the pump inside stop(), on the worker
      queued_released_at_return = deleted<7>.load();
      destroy_returned = true;
    }
  };
  auto& raw = *static_cast<EventPump*>(vorn::StreamCallbackAccess::state(pump));
  r->close_gate();
  push(raw, vorn::StreamEvent(std::in_place_index<1>, std::string("stop")));
  for (std::uint32_t i = 0; i < 5; ++i) {
    push(raw, owning_chunk<7>(i));
  }
  push(raw, vorn::StreamEvent{});
  r->open_gate();
  ASSERT_TRUE(r->wait_for_destroyed());
  EXPECT_TRUE(destroy_returned.load());
  EXPECT_EQ(queued_released_at_return.load(), 5);  // released right away
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(r->destroy_count(), 1);
  const auto got = r->events();
  ASSERT_EQ(got.size(), 1u);  // the delivery in progress finished; nothing after it
  EXPECT_EQ(got[0].text, "stop");
  EXPECT_EQ(deleted<7>.load(), 5);
  EXPECT_FALSE(pump);
}

TEST(EventPump, DestroyFromInsideTheConsumerDuringAChunk) {
  deleted<8> = 0;
  auto r = make_recorder();
  vorn::StreamCallback pump = make_event_pump(consumer_for(r), 64);
  std::atomic<bool> pushed{false};
  r->during = [&](vorn::StreamEvent& event) {
    if (event.index() == 2) {
      while (!pushed) std::this_thread::yield();  // no push may overlap the destruction
      pump.reset();
    }
  };
  vorn::StreamEvent e = owning_chunk<8>(7);
  pump(e);
  pushed = true;
  ASSERT_TRUE(r->wait_for_destroyed());
  const auto got = r->events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(value_of(got[0]), 7u);  // the chunk stayed valid through the delivery
  // The chunk is released when the worker drops the event, after the call.
  for (int i = 0; i < 200 && deleted<8>.load() == 0; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(deleted<8>.load(), 1);
}

TEST(EventPump, ConsumerMayTakeTheChunk) {
  deleted<9> = 0;
  auto r = make_recorder();
  std::vector<vorn::ManagedBuffer> kept;
  r->during = [&](vorn::StreamEvent& event) {
    if (auto* chunk = std::get_if<2>(&event)) {
      kept.push_back(std::move(*chunk));
    }
  };
  {
    EventPump pump(consumer_for(r), 64);
    for (std::uint32_t i = 0; i < 4; ++i) {
      push(pump, owning_chunk<9>(i));
    }
    push(pump, vorn::StreamEvent{});
    ASSERT_TRUE(r->wait_for_destroyed());
  }
  EXPECT_EQ(deleted<9>.load(), 0);
  ASSERT_EQ(kept.size(), 4u);
  kept.clear();
  EXPECT_EQ(deleted<9>.load(), 4);
}

// An owning chunk with a null deleter is copied at the push, stored or not:
// the device may overwrite and free its block once push returns, and nothing
// calls the null deleter, also when overflow leaves the event to the device.
TEST(EventPump, NullDeleterChunkIsCopiedAndNeverDeleted) {
  std::vector<std::uint8_t> block(4, 7);
  const auto got = with_held_worker(64, [&](EventPump& pump, StreamRecorder&) {
    for (int i = 0; i < 65; ++i) {
      vorn::StreamEvent e(std::in_place_index<2>, vorn::ManagedBuffer(block.data(), block.size(), nullptr));
      pump.push(e);
      ASSERT_EQ(std::get<2>(e).data.get(), nullptr) << i;  // let go of, at the limit too
      std::fill(block.begin(), block.end(), 0xEE);
    }
    push(pump, vorn::StreamEvent{});
  });
  ASSERT_EQ(got.size(), 67u);
  EXPECT_EQ(got[1].kind, RecordedEvent::owned);
  EXPECT_EQ(got[1].bytes, std::vector<std::uint8_t>(4, 7));
  EXPECT_EQ(got[2].bytes, std::vector<std::uint8_t>(4, 0xEE));
  EXPECT_EQ(got[65].text, kNotice);
}

// A second thread's push that finds the first one's in progress waits for
// it; the first such push on a pump stores the notice before its event. The
// first push is held inside (in the deleter of the chunk it refuses) until
// the second has found it there.
EventPump* overlapped_pump = nullptr;
std::atomic<bool> in_held_delete{false};
std::atomic<int> held_deletes{0};

void delete_when_overlapped(std::uint8_t* block) {
  in_held_delete = true;
  for (auto deadline = std::chrono::steady_clock::now() + kPatience;
       !overlapped_pump->push_overlap_seen() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::yield();
  }
  held_deletes.fetch_add(1);
  delete[] block;
}

TEST(EventPump, OverlappingPushesAreSerialisedAndReportedOnce) {
  deleted<10> = 0;
  in_held_delete = false;
  held_deletes = 0;
  auto r = make_recorder();
  {
    EventPump pump(consumer_for(r), 64);
    overlapped_pump = &pump;
    std::thread first([&] {
      vorn::StreamEvent huge(std::in_place_index<2>,
                             vorn::ManagedBuffer(new std::uint8_t[8], std::uint64_t{1} << 63, &delete_when_overlapped));
      pump.push(huge);
    });
    while (!in_held_delete.load()) {
      std::this_thread::yield();  // until the first push is held inside
    }
    EXPECT_FALSE(pump.push_overlap_seen());
    push(pump, owning_chunk<10>(1));
    first.join();
    push(pump, owning_chunk<10>(2));
    push(pump, vorn::StreamEvent{});
    ASSERT_TRUE(r->wait_for_destroyed());
  }
  const auto got = r->events();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].text, "Invalid stream chunk: 9223372036854775808 bytes is more than a buffer can hold");
  EXPECT_EQ(got[1].text,
            "Stream callback invoked from two threads at once: a device must push from one thread at a time");
  EXPECT_EQ(value_of(got[2]), 1u);
  EXPECT_EQ(value_of(got[3]), 2u);
  EXPECT_EQ(held_deletes.load(), 1);
  EXPECT_EQ(deleted<10>.load(), 2);
}

}  // namespace
}  // namespace pyvorn
