#include "stream_recorder.hpp"

#include <algorithm>
#include <variant>

#include "stream_pattern.hpp"

namespace vorn::test {

StreamCallback StreamRecorder::callback(const std::shared_ptr<StreamRecorder>& recorder) {
  static constexpr StreamCallbackOps ops{&StreamRecorder::invoke, &StreamRecorder::destroy};
  auto state = std::make_unique<std::shared_ptr<StreamRecorder>>(recorder);
  return StreamCallback(&ops, state.release());
}

bool StreamRecorder::invoked_on(std::thread::id thread) const {
  std::lock_guard lock(mutex_);
  return std::find(threads_.begin(), threads_.end(), thread) != threads_.end();
}

void StreamRecorder::close_gate() {
  std::lock_guard lock(mutex_);
  gate_open_ = false;
}

void StreamRecorder::let_through(int invocations) {
  std::lock_guard lock(mutex_);
  credits_ += invocations;
  changed_.notify_all();
}

void StreamRecorder::open_gate() {
  std::lock_guard lock(mutex_);
  gate_open_ = true;
  changed_.notify_all();
}

void StreamRecorder::invoke(void* state, StreamEvent& event) {
  StreamRecorder& self = **static_cast<std::shared_ptr<StreamRecorder>*>(state);
  self.pass_gate();
  if (self.in_call_.fetch_add(1) != 0) {
    ++self.overlapping_calls_;
  }
  if (self.during) {
    self.during(event);
  }
  self.record(event);
  self.in_call_.fetch_sub(1);
}

void StreamRecorder::destroy(void* state) {
  const std::unique_ptr<std::shared_ptr<StreamRecorder>> owner(static_cast<std::shared_ptr<StreamRecorder>*>(state));
  if (owner) {
    StreamRecorder& self = **owner;
    std::lock_guard lock(self.mutex_);
    ++self.destroy_count_;
    self.changed_.notify_all();
  }
}

void StreamRecorder::pass_gate() {
  std::unique_lock lock(mutex_);
  ++entered_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return gate_open_ || credits_ > 0; });
  credits_ -= gate_open_ ? 0 : 1;
}

void StreamRecorder::record(StreamEvent& event) {
  std::function<void()> action;
  {
    std::lock_guard lock(mutex_);
    if (ended_) {
      ++events_after_end_;
    }
    if (std::find(threads_.begin(), threads_.end(), std::this_thread::get_id()) == threads_.end()) {
      threads_.push_back(std::this_thread::get_id());
    }
    RecordedEvent recorded{RecordedEvent::end, 0, {}, nullptr, {}};
    if (auto* text = std::get_if<std::string>(&event)) {
      recorded = {RecordedEvent::error, 0, *text, nullptr, {}};
    } else if (auto* chunk = std::get_if<ManagedBuffer>(&event)) {
      recorded = {RecordedEvent::owned, chunk->size, {}, chunk->data.get(), {}};
    } else if (auto* view = std::get_if<DataView>(&event)) {
      recorded = {RecordedEvent::view, view->size, {}, view->data, {}};
    } else {
      ended_ = true;
    }
    if (recorded.kind == RecordedEvent::owned || recorded.kind == RecordedEvent::view) {
      // A chunk whose payload was taken (by `during`) has no bytes left to check.
      if (recorded.data != nullptr) {
        if (sim::find_pattern_mismatch(recorded.data, offset_, recorded.size) != recorded.size) {
          ++pattern_errors_;
        }
        if (copy_bytes_) {
          recorded.bytes.assign(recorded.data, recorded.data + recorded.size);
        }
      } else if (recorded.size != 0) {
        ++pattern_errors_;
      }
      offset_ += recorded.size;
      ++data_events_;
      if (keep_owned_ && recorded.kind == RecordedEvent::owned) {
        kept_.push_back(std::move(std::get<ManagedBuffer>(event)));
      }
    }
    events_.push_back(std::move(recorded));
    action = std::exchange(action_, nullptr);
  }
  changed_.notify_all();
  if (action) {
    action();
  }
}

}  // namespace vorn::test
