#include "stream/core/stream_lifecycle.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <thread>
#include <unordered_map>
#include <utility>

#include "stream/core/atomic_wait.hpp"
#include "stream/core/event_pump.hpp"

namespace pyvorn {
namespace {

// Work for the stopper: the device's stop() of a stream that its owner still
// holds, or the destruction of a stream handed over by its owner's deleter.
struct Job {
  std::shared_ptr<StreamControl> control;
  DataStream* owned = nullptr;  // non-null: destroy this stream
};

void ignore_error(const char*) noexcept {}

struct State {
  std::mutex mutex;
  std::unordered_map<DataStream*, std::shared_ptr<StreamControl>> live;
  std::deque<Job> jobs;
  bool stopper_started = false;
  bool stopper_busy = false;
  std::condition_variable work;
  std::condition_variable idle;
  std::atomic<void (*)(const char*) noexcept> report{&ignore_error};
};

State& state() {
  // Never destroyed: the stopper thread is detached, and streams may still
  // be ended while static objects are destroyed at exit.
  static State* const shared = new State();
  return *shared;
}

}  // namespace

bool StreamControl::begin_delivery() noexcept {
  delivering_.fetch_add(1, std::memory_order_seq_cst);
  if (muted_.load(std::memory_order_seq_cst)) {
    end_delivery();
    return false;
  }
  return true;
}

void StreamControl::end_delivery() noexcept {
  if (delivering_.fetch_sub(1, std::memory_order_seq_cst) == 1 && muted_.load(std::memory_order_seq_cst)) {
    notify_waiters(delivering_);
  }
}

void StreamControl::mute() noexcept { muted_.store(true, std::memory_order_seq_cst); }

void StreamControl::mute_and_wait() noexcept {
  mute();
  for (std::uint32_t busy = delivering_.load(std::memory_order_seq_cst); busy != 0;
       busy = delivering_.load(std::memory_order_seq_cst)) {
    wait_while_equal(delivering_, busy);
  }
}

// The registry's own helpers; the class only holds static members.
struct StopperAccess {
  // State's mutex held.
  static void enqueue(State& shared, std::shared_ptr<StreamControl> control, DataStream* owned) {
    ++control->queued_;
    shared.jobs.push_back(Job{std::move(control), owned});
    shared.work.notify_one();
  }

  static void run(Job& job) noexcept {
    StreamControl& control = *job.control;
    if (job.owned != nullptr) {
      delete job.owned;
      return;
    }
    std::lock_guard stop_lock(control.stop_mutex_);
    DataStream* stream = nullptr;
    {
      std::lock_guard lock(state().mutex);
      stream = control.stream_;  // null once handed over: its destruction stops it
    }
    if (stream == nullptr) {
      return;
    }
    try {
      stream->stop();
    } catch (const std::exception& error) {
      state().report.load()(error.what());
    } catch (...) {
      state().report.load()("unknown exception");
    }
  }

  [[noreturn]] static void loop() noexcept {
    State& shared = state();
    std::unique_lock lock(shared.mutex);
    for (;;) {
      shared.work.wait(lock, [&] { return !shared.jobs.empty(); });
      Job job = std::move(shared.jobs.front());
      shared.jobs.pop_front();
      shared.stopper_busy = true;
      lock.unlock();
      run(job);
      lock.lock();
      --job.control->queued_;
      shared.stopper_busy = false;
      if (shared.jobs.empty()) {
        shared.idle.notify_all();
      }
      // The job, and with it perhaps the last hold on the device's code, is
      // released without the lock.
      lock.unlock();
      job = Job{};
      lock.lock();
    }
  }
};

void StreamRegistry::adopt(DataStream* stream, std::shared_ptr<StreamControl> control) {
  State& shared = state();
  std::lock_guard lock(shared.mutex);
  if (!shared.stopper_started) {
    std::thread(&StopperAccess::loop).detach();  // throws std::system_error
    shared.stopper_started = true;
  }
  control->stream_ = stream;
  shared.live[stream] = std::move(control);
}

void StreamRegistry::stop(DataStream* stream) {
  State& shared = state();
  std::shared_ptr<StreamControl> control;
  {
    std::lock_guard lock(shared.mutex);
    auto found = shared.live.find(stream);
    if (found != shared.live.end()) {
      control = found->second;
      if (on_delivery_thread()) {
        control->mute();
        StopperAccess::enqueue(shared, control, nullptr);
        return;
      }
    }
  }
  if (!control) {
    stream->stop();
    return;
  }
  control->mute_and_wait();
  std::lock_guard stop_lock(control->stop_mutex_);
  stream->stop();
}

void StreamRegistry::destroy(DataStream* stream) noexcept {
  State& shared = state();
  std::shared_ptr<StreamControl> control;
  {
    std::lock_guard lock(shared.mutex);
    auto found = shared.live.find(stream);
    if (found != shared.live.end()) {
      control = std::move(found->second);
      shared.live.erase(found);
      control->stream_ = nullptr;
      control->mute();
      if (on_delivery_thread() || control->queued_ > 0) {
        StopperAccess::enqueue(shared, std::move(control), stream);
        return;
      }
    }
  }
  delete stream;
  // `control` goes last: it may hold the device's code.
}

std::vector<std::shared_ptr<StreamControl>> StreamRegistry::live() {
  State& shared = state();
  std::lock_guard lock(shared.mutex);
  std::vector<std::shared_ptr<StreamControl>> controls;
  controls.reserve(shared.live.size());
  for (const auto& entry : shared.live) {
    controls.push_back(entry.second);
  }
  return controls;
}

DataStream* StreamRegistry::stream_of(const StreamControl& control) {
  std::lock_guard lock(state().mutex);
  return control.stream_;
}

void StreamRegistry::wait_for_stopper() noexcept {
  State& shared = state();
  std::unique_lock lock(shared.mutex);
  shared.idle.wait(lock, [&] { return shared.jobs.empty() && !shared.stopper_busy; });
}

void StreamRegistry::set_error_reporter(void (*report)(const char* what) noexcept) noexcept {
  state().report.store(report != nullptr ? report : &ignore_error);
}

}  // namespace pyvorn
