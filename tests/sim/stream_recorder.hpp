// The one native StreamCallback of the stream tests: records every event,
// verifies data chunks against the simulator's stream pattern, and can hold
// deliveries back so that tests control when a consumer runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vorn/stream.hpp"

namespace vorn::test {

struct RecordedEvent {
  enum Kind { end, error, owned, view } kind;  // the event's index
  std::uint64_t size = 0;                      // data events
  std::string text;                            // error events
  const std::uint8_t* data = nullptr;          // where the bytes were, for identity checks only
  std::vector<std::uint8_t> bytes;             // a copy of the data, when the recorder copies
};

// Shared by the test and the callback state, so it outlives a callback
// destroyed late on a detached thread. The callback checks each data chunk
// against the counter pattern while the call lasts, so a view is verified
// while it is valid. All members may be called from any thread.
class StreamRecorder {
 public:
  // keep_owned: keep owning chunks alive here instead of releasing them.
  // copy_bytes: keep a copy of each data chunk's bytes in its record.
  explicit StreamRecorder(bool keep_owned = false, bool copy_bytes = false)
      : keep_owned_(keep_owned), copy_bytes_(copy_bytes) {}

  // Hands out a callback holding a reference to this recorder.
  static StreamCallback callback(const std::shared_ptr<StreamRecorder>& recorder);

  // Waits until pred(events) holds or the timeout passes; returns pred's value.
  template <typename Pred>
  bool wait(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(events_); });
  }
  bool wait_for_end(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return wait([](const auto& events) { return !events.empty() && events.back().kind == RecordedEvent::end; },
                timeout);
  }
  bool wait_for_chunks(std::uint64_t count) {
    return wait([&](const auto&) { return data_events_ >= count; });
  }
  bool wait_for_events(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return wait([&](const auto& events) { return events.size() == count; }, timeout);
  }
  // Waits until `count` invocations have begun (whether or not they wait at the gate).
  bool wait_for_entered(int count) {
    return wait([&](const auto&) { return entered_ == count; });
  }
  bool wait_for_destroyed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return wait([&](const auto&) { return destroy_count_ > 0; }, timeout);
  }

  std::vector<RecordedEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t event_count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  std::vector<ManagedBuffer> take_kept() {
    std::lock_guard lock(mutex_);
    return std::move(kept_);
  }

  // Counters of faults seen by the callback.
  std::uint64_t pattern_errors() const { return pattern_errors_.load(); }
  std::uint64_t overlapping_calls() const { return overlapping_calls_.load(); }
  std::uint64_t events_after_end() const { return events_after_end_.load(); }
  std::uint64_t threads_seen() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
  }
  bool invoked_on(std::thread::id thread) const;
  std::uint64_t stream_offset() const {
    std::lock_guard lock(mutex_);
    return offset_;
  }
  bool destroyed() const { return destroy_count() > 0; }
  int destroy_count() const {
    std::lock_guard lock(mutex_);
    return destroy_count_;
  }

  // Runs inside the next invoke, on the producer thread (once), after the
  // event is recorded.
  void on_next_invoke(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    action_ = std::move(action);
  }
  // Runs inside every invoke, after the gate and before the event is
  // recorded; it may move the payload out. Set it before the first event.
  std::function<void(StreamEvent&)> during;

  // The gate: while closed, invocations wait at their start, except as many
  // as let_through allows.
  void close_gate();
  void let_through(int invocations);
  void open_gate();

 private:
  static void invoke(void* state, StreamEvent& event);
  static void destroy(void* state);
  void pass_gate();
  void record(StreamEvent& event);

  const bool keep_owned_;
  const bool copy_bytes_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  std::vector<ManagedBuffer> kept_;
  std::vector<std::thread::id> threads_;
  std::function<void()> action_;
  std::uint64_t offset_ = 0;
  std::uint64_t data_events_ = 0;
  bool ended_ = false;
  int entered_ = 0;
  int destroy_count_ = 0;
  bool gate_open_ = true;
  int credits_ = 0;
  std::atomic<int> in_call_{0};
  std::atomic<std::uint64_t> pattern_errors_{0};
  std::atomic<std::uint64_t> overlapping_calls_{0};
  std::atomic<std::uint64_t> events_after_end_{0};
};

}  // namespace vorn::test
