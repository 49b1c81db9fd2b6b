// Stopping and destroying streams from their own and each other's delivery
// threads: nothing waits in a cycle, and nothing is delivered after a stop()
// made off a delivery thread returns. No Python.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "stream/core/event_pump.hpp"
#include "stream/core/stream_lifecycle.hpp"

namespace pyvorn {
namespace {

using namespace std::chrono_literals;
using Consumer = std::function<void(vorn::StreamEvent&)>;

void consumer_invoke(void* state, vorn::StreamEvent& event) { (*static_cast<Consumer*>(state))(event); }
void consumer_destroy(void* state) { std::unique_ptr<Consumer> owned(static_cast<Consumer*>(state)); }
constexpr vorn::StreamCallbackOps kConsumerOps{&consumer_invoke, &consumer_destroy};

// A device stream that owns its pump, as a plug-in's would: stop() and the
// destructor end the pump, which waits for its worker.
struct FakeStream : DataStream {
  vorn::StreamCallback pump;
  std::atomic<int> stops{0};
  std::atomic<std::thread::id> stopped_on{};

  FakeStream(Consumer consumer, const std::shared_ptr<StreamControl>& control) {
    Consumer guarded = [control, consumer = std::move(consumer)](vorn::StreamEvent& event) {
      if (control->begin_delivery()) {
        consumer(event);
        control->end_delivery();
      }
    };
    pump = make_event_pump(vorn::StreamCallback(&kConsumerOps, new Consumer(std::move(guarded))), 64);
  }
  ~FakeStream() override { pump.reset(); }
  void stop() override {
    stops.fetch_add(1);
    stopped_on = std::this_thread::get_id();
    pump.reset();
  }
  void push_text() {
    vorn::StreamEvent event(std::in_place_index<1>, std::string("x"));
    pump(event);
  }
};

// Adopts a new stream into the registry, as the module does for Python.
FakeStream* start(Consumer consumer) {
  auto control = std::make_shared<StreamControl>(nullptr);
  auto* stream = new FakeStream(std::move(consumer), control);
  StreamRegistry::adopt(stream, std::move(control));
  return stream;
}

// Fails the whole run instead of hanging it.
template <typename Body>
void within(std::chrono::seconds limit, Body body) {
  auto done = std::async(std::launch::async, body);
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "hang: the scenario did not finish in %lld s\n", static_cast<long long>(limit.count()));
    std::abort();
  }
  done.get();
}

TEST(StreamLifecycle, StopOnItsOwnDeliveryThreadIsHandedToTheStopper) {
  within(20s, [] {
    std::atomic<FakeStream*> self{nullptr};
    std::atomic<int> after_stop{0};
    std::atomic<bool> stopped{false}, pushed{false};
    std::thread::id worker;
    FakeStream* stream = start([&](vorn::StreamEvent&) {
      if (stopped) {
        after_stop.fetch_add(1);
        return;
      }
      while (!pushed) std::this_thread::yield();  // no push may race the stopper ending the pump
      worker = std::this_thread::get_id();
      StreamRegistry::stop(self.load());  // returns at once: no waiting for ourselves
      stopped = true;
    });
    self = stream;
    stream->push_text();
    stream->push_text();
    pushed = true;
    while (stream->stops.load() == 0) std::this_thread::sleep_for(1ms);
    StreamRegistry::wait_for_stopper();
    EXPECT_NE(stream->stopped_on.load(), worker);
    EXPECT_NE(stream->stopped_on.load(), std::this_thread::get_id());
    EXPECT_EQ(after_stop.load(), 0);
    StreamRegistry::destroy(stream);
  });
}

// A one-shot meeting of `count` threads. std::barrier would do, but some
// standard libraries build it on an atomic wait that can miss a notify.
class Meeting {
 public:
  explicit Meeting(int count) : left_(count) {}
  void arrive_and_wait() {
    std::unique_lock lock(mutex_);
    if (--left_ == 0) {
      all_here_.notify_all();
    }
    all_here_.wait(lock, [&] { return left_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_here_;
  int left_;
};

TEST(StreamLifecycle, CallbacksDroppingEachOthersStreamDoNotDeadlock) {
  for (int round = 0; round < 20; ++round) {
    within(20s, [] {
      std::atomic<FakeStream*> a{nullptr}, b{nullptr};
      Meeting meet(3);
      auto drop_other = [&meet](std::atomic<FakeStream*>& other) {
        return [&meet, &other](vorn::StreamEvent&) {
          meet.arrive_and_wait();  // both callbacks are in progress, and no push is
          if (FakeStream* stream = other.exchange(nullptr)) {
            StreamRegistry::destroy(stream);
          }
        };
      };
      a = start(drop_other(b));
      b = start(drop_other(a));
      a.load()->push_text();
      b.load()->push_text();
      meet.arrive_and_wait();
      while (a.load() != nullptr || b.load() != nullptr) std::this_thread::sleep_for(1ms);
      StreamRegistry::wait_for_stopper();
    });
  }
}

TEST(StreamLifecycle, StopOffTheDeliveryThreadWaitsForTheDeliveryInProgress) {
  within(20s, [] {
    std::atomic<bool> inside{false}, finished{false};
    FakeStream* stream = start([&](vorn::StreamEvent&) {
      inside = true;
      std::this_thread::sleep_for(50ms);
      finished = true;
    });
    stream->push_text();
    while (!inside) std::this_thread::sleep_for(1ms);
    StreamRegistry::stop(stream);
    EXPECT_TRUE(finished);
    EXPECT_EQ(stream->stops.load(), 1);
    StreamRegistry::destroy(stream);
  });
}

}  // namespace
}  // namespace pyvorn
