// Stopping and destroying streams from their own and each other's delivery
// threads: nothing waits in a cycle, nothing is delivered after a stop() made
// off a delivery thread returns, one slow device delays no other stream, and
// a forked child leaves its parent's streams alone. No Python.
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
#include <stdexcept>
#include <thread>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/stream/event_pump.hpp"
#include "core/stream/stream_lifecycle.hpp"

namespace pyvorn {
namespace {

using namespace std::chrono_literals;
using Consumer = std::function<void(vorn::StreamEvent&)>;

void consumer_invoke(void* state, vorn::StreamEvent& event) { (*static_cast<Consumer*>(state))(event); }
void consumer_destroy(void* state) { std::unique_ptr<Consumer> owned(static_cast<Consumer*>(state)); }
constexpr vorn::StreamCallbackOps kConsumerOps{&consumer_invoke, &consumer_destroy};

// A device stream that owns its pump, as a plug-in's would: stop() and the
// destructor end the pump, which waits for its worker. `hold_stop`, while
// set, keeps stop() from returning; `in_stop` counts the threads inside it.
struct FakeStream : DataStream {
  vorn::StreamCallback pump;
  std::atomic<int> stops{0};
  std::atomic<int> in_stop{0};
  std::atomic<int> most_in_stop{0};
  std::atomic<bool> hold_stop{false};
  std::atomic<bool> fail_stop{false};
  std::atomic<bool>* destroyed = nullptr;
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
  ~FakeStream() override {
    EXPECT_EQ(in_stop.load(), 0) << "destroyed under a running stop()";
    pump.reset();
    if (destroyed != nullptr) {
      *destroyed = true;
    }
  }
  void stop() override {
    const int inside = in_stop.fetch_add(1) + 1;
    most_in_stop = std::max(most_in_stop.load(), inside);
    stops.fetch_add(1);
    stopped_on = std::this_thread::get_id();
    while (hold_stop) std::this_thread::sleep_for(1ms);
    pump.reset();
    in_stop.fetch_sub(1);
    if (fail_stop) {
      throw std::runtime_error("stop failed");
    }
  }
  void push_text() {
    vorn::StreamEvent event(std::in_place_index<1>, std::string("x"));
    pump(event);
  }
};

// Adopts a new stream into the registry, as the module does for Python.
FakeStream* start(Consumer consumer = [](vorn::StreamEvent&) {}) {
  auto control = std::make_shared<StreamControl>(nullptr, "fake stream");
  auto* stream = new FakeStream(std::move(consumer), control);
  StreamRegistry::adopt(stream, std::move(control));
  return stream;
}

// Waits for work handed to a stopper, as the Python caller does.
void wait(const std::shared_ptr<StopTicket>& ticket) {
  if (ticket) {
    while (!ticket->wait_for(20ms)) {
    }
    ticket->rethrow_failure();
  }
}

void wait_for_stoppers() {
  EXPECT_TRUE(StreamRegistry::wait_for_stoppers(std::chrono::steady_clock::now() + 10s).empty());
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
      EXPECT_EQ(StreamRegistry::stop(self.load()), nullptr);  // nothing to wait for: no waiting for ourselves
      stopped = true;
    });
    self = stream;
    stream->push_text();
    stream->push_text();
    pushed = true;
    while (stream->stops.load() == 0) std::this_thread::sleep_for(1ms);
    wait_for_stoppers();
    EXPECT_NE(stream->stopped_on.load(), worker);
    EXPECT_NE(stream->stopped_on.load(), std::this_thread::get_id());
    EXPECT_EQ(after_stop.load(), 0);
    wait(StreamRegistry::release(stream));
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
            EXPECT_EQ(StreamRegistry::release(stream), nullptr);
          }
        };
      };
      a = start(drop_other(b));
      b = start(drop_other(a));
      a.load()->push_text();
      b.load()->push_text();
      meet.arrive_and_wait();
      while (a.load() != nullptr || b.load() != nullptr) std::this_thread::sleep_for(1ms);
      wait_for_stoppers();
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
    wait(StreamRegistry::stop(stream));
    EXPECT_TRUE(finished);
    EXPECT_EQ(stream->stops.load(), 1);
    wait(StreamRegistry::release(stream));
  });
}

TEST(StreamLifecycle, ASlowStopDelaysNoOtherStream) {
  within(20s, [] {
    FakeStream* slow = start();
    FakeStream* quick = start();
    slow->hold_stop = true;
    auto slow_ticket = StreamRegistry::stop(slow);
    while (slow->stops.load() == 0) std::this_thread::sleep_for(1ms);
    wait(StreamRegistry::stop(quick));  // does not wait behind the slow one
    wait(StreamRegistry::release(quick));
    EXPECT_FALSE(slow_ticket->done());
    EXPECT_EQ(StreamRegistry::wait_for_stoppers(std::chrono::steady_clock::now() + 50ms),
              std::vector<std::string>{"fake stream"});
    slow->hold_stop = false;
    wait(slow_ticket);
    wait(StreamRegistry::release(slow));
  });
}

// Both queued before a stopper has woken for the first: one idle stopper
// must not be counted for both, or the quick stop waits behind the slow one.
TEST(StreamLifecycle, TwoStopsQueuedAtOnceGetAStopperEach) {
  for (int round = 0; round < 20; ++round) {
    within(20s, [] {
      FakeStream* slow = start();
      FakeStream* quick = start();
      slow->hold_stop = true;
      auto slow_ticket = StreamRegistry::stop(slow);
      wait(StreamRegistry::stop(quick));
      EXPECT_FALSE(slow_ticket->done());
      slow->hold_stop = false;
      wait(slow_ticket);
      wait(StreamRegistry::release(quick));
      wait(StreamRegistry::release(slow));
    });
  }
}

TEST(StreamLifecycle, WorkForOneStreamRunsInOrderOneAtATime) {
  within(20s, [] {
    std::atomic<bool> destroyed{false};
    FakeStream* stream = start();
    stream->destroyed = &destroyed;
    stream->hold_stop = true;
    std::vector<std::shared_ptr<StopTicket>> stops;
    for (int i = 0; i < 4; ++i) {
      stops.push_back(StreamRegistry::stop(stream));
    }
    while (stream->stops.load() == 0) std::this_thread::sleep_for(1ms);
    auto release = StreamRegistry::release(stream);  // queued behind the stops, never under one
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(destroyed);
    stream->hold_stop = false;
    for (auto& ticket : stops) {
      wait(ticket);
    }
    wait(release);
    EXPECT_TRUE(destroyed);
  });
}

TEST(StreamLifecycle, AStopQueuedByTheCallbackRunsBeforeTheDropThatFollows) {
  within(20s, [] {
    std::atomic<FakeStream*> self{nullptr};
    std::atomic<bool> queued{false}, destroyed{false};
    FakeStream* stream = start([&](vorn::StreamEvent&) {
      if (!queued.exchange(true)) StreamRegistry::stop(self.load());
    });
    stream->destroyed = &destroyed;
    stream->hold_stop = true;
    self = stream;
    stream->push_text();
    while (stream->stops.load() == 0) std::this_thread::sleep_for(1ms);
    auto release = StreamRegistry::release(stream);  // off the delivery thread, while that stop runs
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(destroyed);
    stream->hold_stop = false;
    wait(release);
    EXPECT_TRUE(destroyed);
  });
}

std::atomic<int> reported{0};
void count_report(const char*) noexcept { reported.fetch_add(1); }

TEST(StreamLifecycle, AFailedStopReachesItsWaiterOrTheReporter) {
  within(20s, [] {
    StreamRegistry::set_error_reporter(&count_report);
    FakeStream* stream = start();
    stream->fail_stop = true;
    EXPECT_THROW(wait(StreamRegistry::stop(stream)), std::runtime_error);
    EXPECT_EQ(reported.load(), 0);
    stream->hold_stop = true;
    auto abandoned = StreamRegistry::stop(stream);
    while (stream->stops.load() < 2) std::this_thread::sleep_for(1ms);
    abandoned->abandon();  // an interrupted caller
    stream->hold_stop = false;
    wait_for_stoppers();
    EXPECT_EQ(reported.load(), 1);
    stream->fail_stop = false;
    wait(StreamRegistry::release(stream));
    StreamRegistry::set_error_reporter(nullptr);
  });
}

#if !defined(_WIN32)
TEST(StreamLifecycle, AForkedChildLeavesTheParentsStreamsAlone) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a process with threads";
#elif defined(__SANITIZE_ADDRESS__)
  // This runtime's allocator is not locked across fork(): a child forked while
  // another thread allocates (a thread starting, say) can wait on its lock.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";
#endif
  within(20s, [] {
    FakeStream* busy = start();
    busy->hold_stop = true;  // a parent stop in progress at fork()
    auto parent_ticket = StreamRegistry::stop(busy);
    FakeStream* idle = start();
    while (busy->stops.load() == 0) std::this_thread::sleep_for(1ms);
    const pid_t child = fork();
    if (child == 0) {
      // Inherited streams: nothing to wait for, nothing called, nothing freed.
      const bool inert = StreamRegistry::stop(idle) == nullptr && StreamRegistry::release(idle) == nullptr &&
                         StreamRegistry::release(busy) == nullptr && StreamRegistry::live().empty() &&
                         idle->stops.load() == 0;
      FakeStream* own = start();  // a stopper of its own, on demand
      auto ticket = StreamRegistry::stop(own);
      const bool stopped = ticket != nullptr && ticket->wait_for(5s) && own->stops.load() == 1;
      _exit(inert && stopped ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    busy->hold_stop = false;
    wait(parent_ticket);
    wait(StreamRegistry::release(busy));
    wait(StreamRegistry::release(idle));
  });
}
#endif

}  // namespace
}  // namespace pyvorn
