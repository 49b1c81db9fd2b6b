// A native StreamCallback for tests: verifies and records every event.
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

namespace vorn::sim::test {

struct RecordedEvent {
  enum Kind { end, error, owned, view } kind;
  std::uint64_t size = 0;              // data events
  std::string text;                    // error events
  const std::uint8_t* data = nullptr;  // where the bytes were, for identity checks only
};

// Shared by the test and the callback state. The callback checks each data
// chunk against the counter pattern while the call lasts, so a view is
// verified while it is valid.
class StreamRecorder {
 public:
  // keep_owned: keep owning chunks alive here instead of releasing them.
  explicit StreamRecorder(bool keep_owned = false) : keep_owned_(keep_owned) {}

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
  std::uint64_t stream_offset() const {
    std::lock_guard lock(mutex_);
    return offset_;
  }
  bool destroyed() const { return destroyed_.load(); }

  // Runs inside the next invoke, on the producer thread (once).
  void on_next_invoke(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    action_ = std::move(action);
  }

 private:
  static void invoke(void* state, StreamEvent& event);
  static void destroy(void* state);
  void record(StreamEvent& event);

  const bool keep_owned_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  std::vector<ManagedBuffer> kept_;
  std::vector<std::thread::id> threads_;
  std::function<void()> action_;
  std::uint64_t offset_ = 0;
  std::uint64_t data_events_ = 0;
  bool ended_ = false;
  std::atomic<int> in_call_{0};
  std::atomic<std::uint64_t> pattern_errors_{0};
  std::atomic<std::uint64_t> overlapping_calls_{0};
  std::atomic<std::uint64_t> events_after_end_{0};
  std::atomic<bool> destroyed_{false};
};

}  // namespace vorn::sim::test
