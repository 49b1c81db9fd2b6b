#include "core/stream/stream_lifecycle.hpp"

#include <algorithm>
#include <deque>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/stream/atomic_wait.hpp"
#include "core/stream/event_pump.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace pyvorn {
namespace {

// Work for a stopper: the device's stop() of a stream that its owner still
// holds, or the destruction of a stream handed over by its owner's deleter.
struct Work {
  std::shared_ptr<StreamControl> control;
  DataStream* owned = nullptr;  // non-null: destroy this stream
  std::shared_ptr<StopTicket> ticket;
};

using StreamMap = std::unordered_map<DataStream*, std::shared_ptr<StreamControl>>;

// Stoppers beyond the first end after this long without work.
constexpr auto kIdleStopperLife = std::chrono::seconds(5);
// The pool stops growing here; further work waits for a free stopper.
constexpr int kMaxStoppers = 64;
// Free memory is handed back to the system at most this often.
constexpr auto kTrimInterval = std::chrono::milliseconds(100);

void ignore_error(const char*) noexcept {}

#if !defined(_WIN32)
void before_fork() noexcept;
void after_fork_in_parent() noexcept;
void after_fork_in_child() noexcept;
#endif

struct State {
  std::mutex mutex;
  StreamMap live;
  // Streams a parent process owned when this process was forked from it: left
  // alone (never stopped, never destroyed).
  StreamMap inherited;
  std::deque<Work> queue;
  // The first `forsaken` items of the queue are a parent's work, never run
  // (only when a fork found no memory to set them aside).
  std::size_t forsaken = 0;
  std::deque<Work>* fork_spare = nullptr;       // see before_fork
  std::vector<std::deque<Work>*> parents_work;  // what earlier fork()s set aside
  int stoppers = 0;                             // stopper threads alive
  int idle = 0;                                 // stoppers waiting for work
  // Idle stoppers already woken for new work that have not yet looked for it:
  // they are no longer free to take more (see staff).
  int called = 0;
  int running = 0;  // work items being run
  std::condition_variable work;
  std::condition_variable quiet;  // the queue is empty and nothing runs
  std::atomic<void (*)(const char*) noexcept> report{&ignore_error};
  bool trim_due = false;  // streams were destroyed since the last trim
  std::chrono::steady_clock::time_point next_trim{};

  State() {
#if !defined(_WIN32)
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
#endif
  }
};

// Never destroyed: stopper threads are detached, and streams may still be
// ended while static objects are destroyed at exit. Made when the library is
// loaded, not at a first use that could be under way in another thread when
// the process forks (the child's first user would wait for it for good).
State* const shared_state = new State();

State& state() { return *shared_state; }

#if !defined(_WIN32)
// The registry is consistent at fork(): the forking thread holds its lock
// across the fork. A queue to take over the parent's work in the child is
// made beforehand, so that the child allocates nothing.
void before_fork() noexcept {
  State& shared = state();
  std::unique_ptr<std::deque<Work>> spare;
  shared.mutex.lock();
  try {
    spare = std::make_unique<std::deque<Work>>();
    shared.parents_work.reserve(shared.parents_work.size() + 1);
  } catch (...) {
    spare.reset();
  }
  shared.fork_spare = spare.release();
}

void after_fork_in_parent() noexcept {
  State& shared = state();
  std::deque<Work>* spare = std::exchange(shared.fork_spare, nullptr);
  shared.mutex.unlock();
  delete spare;
}

// In the child only the forking thread exists. The lock and the condition
// variables are made anew (the old ones may count waiters that are gone), the
// parent's streams and queued work are set aside and never released
// (released, they could run plug-in code that expects the parent's threads),
// and stoppers are started again when work comes.
void after_fork_in_child() noexcept {
  State& shared = state();
  new (&shared.mutex) std::mutex();
  new (&shared.work) std::condition_variable();
  new (&shared.quiet) std::condition_variable();
  shared.inherited.merge(shared.live);
  if (std::deque<Work>* spare = std::exchange(shared.fork_spare, nullptr)) {
    spare->swap(shared.queue);             // `spare` now holds the parent's work, for good
    shared.parents_work.push_back(spare);  // reserved before the fork
    shared.forsaken = 0;
  } else {
    shared.forsaken = shared.queue.size();  // no memory at fork(): skipped instead
  }
  shared.stoppers = 0;
  shared.idle = 0;
  shared.called = 0;
  shared.running = 0;
}
#endif

// Returns free memory the C library keeps to the system. No lock held.
void trim_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
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

bool StopTicket::wait_for(std::chrono::milliseconds slice) {
  std::unique_lock lock(mutex_);
  return finished_.wait_for(lock, slice, [&] { return done_; });
}

bool StopTicket::done() {
  std::lock_guard lock(mutex_);
  return done_;
}

void StopTicket::rethrow_failure() {
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
}

// The registry's own helpers; the class only holds static members.
struct StopperAccess {
  static void report(std::exception_ptr failure) noexcept {
    try {
      std::rethrow_exception(std::move(failure));
    } catch (const std::exception& error) {
      state().report.load()(error.what());
    } catch (...) {
      state().report.load()("unknown exception");
    }
  }

  static void finish(const std::shared_ptr<StopTicket>& ticket, std::exception_ptr failure) noexcept {
    if (ticket) {
      std::lock_guard lock(ticket->mutex_);
      ticket->done_ = true;
      ticket->finished_.notify_all();
      if (!ticket->abandoned_) {
        ticket->failure_ = std::move(failure);
        return;
      }
    }
    if (failure) {
      report(std::move(failure));
    }
  }

  // Wakes an idle stopper for one new work item, or starts one more when
  // none is free. An idle stopper already woken for earlier work does not
  // count as free: two items queued before it runs would otherwise both wait
  // for it, one behind the other's (possibly slow) stop. State's mutex held.
  // Throws std::system_error only when there is no stopper at all.
  static void staff(State& shared) {
    if (shared.idle > shared.called) {
      ++shared.called;
      shared.work.notify_one();
      return;
    }
    if (shared.stoppers >= kMaxStoppers) {
      shared.work.notify_one();
      return;
    }
    try {
      std::thread(&StopperAccess::loop).detach();
      ++shared.stoppers;
    } catch (const std::system_error&) {
      if (shared.stoppers == 0) {
        throw;
      }
      shared.work.notify_one();  // the busy ones take it in turn
    }
  }

  // State's mutex held. Throws std::bad_alloc.
  static void enqueue(State& shared, std::shared_ptr<StreamControl> control, DataStream* owned,
                      std::shared_ptr<StopTicket> ticket) {
    shared.queue.push_back(Work{std::move(control), owned, std::move(ticket)});
    try {
      staff(shared);
    } catch (...) {
      shared.queue.pop_back();
      throw;
    }
  }

  // The first queued work whose stream has no work running: work for one
  // stream runs in order, one item at a time. State's mutex held.
  static std::deque<Work>::iterator next_work(State& shared) {
    return std::find_if(shared.queue.begin() + static_cast<std::ptrdiff_t>(shared.forsaken), shared.queue.end(),
                        [](const Work& work) { return !work.control->busy_; });
  }

  static void run(Work& work) noexcept {
    if (work.owned != nullptr) {
      delete work.owned;
      finish(work.ticket, nullptr);
      return;
    }
    StreamControl& control = *work.control;
    control.mute_and_wait();
    DataStream* stream = nullptr;
    {
      std::lock_guard lock(state().mutex);
      stream = control.stream_;  // null once handed over: its destruction stops it
    }
    std::exception_ptr failure;
    if (stream != nullptr) {
      try {
        stream->stop();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    finish(work.ticket, std::move(failure));
  }

  // After an idle wait of a stopper, for whatever reason it ended: it now
  // looks for work, so it answers one call, if any is out. State's mutex held.
  static void answer_call(State& shared) noexcept {
    --shared.idle;
    if (shared.called > 0) {
      --shared.called;
    }
  }

  static void loop() noexcept {
    State& shared = state();
    std::unique_lock lock(shared.mutex);
    for (;;) {
      auto next = next_work(shared);
      if (next == shared.queue.end() && shared.trim_due) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= shared.next_trim) {
          shared.trim_due = false;
          shared.next_trim = now + kTrimInterval;
          lock.unlock();
          trim_memory();
          lock.lock();
        } else {
          ++shared.idle;
          shared.work.wait_until(lock, shared.next_trim);
          answer_call(shared);
        }
        continue;
      }
      if (next == shared.queue.end()) {
        ++shared.idle;
        const bool woken = shared.work.wait_for(lock, kIdleStopperLife) == std::cv_status::no_timeout;
        answer_call(shared);
        if (!woken && shared.stoppers > 1 && next_work(shared) == shared.queue.end()) {
          --shared.stoppers;
          return;
        }
        continue;
      }
      Work work = std::move(*next);
      shared.queue.erase(next);
      work.control->busy_ = true;
      ++shared.running;
      lock.unlock();
      run(work);
      lock.lock();
      work.control->busy_ = false;
      --shared.running;
      shared.trim_due = shared.trim_due || work.owned != nullptr;
      if (shared.running == 0 && shared.queue.size() == shared.forsaken) {
        shared.quiet.notify_all();
      } else if (shared.queue.size() > shared.forsaken) {
        shared.work.notify_one();  // work for this stream may have waited for it
      }
      // The work, and with it perhaps the last hold on the device's code, is
      // released without the lock.
      lock.unlock();
      work = Work{};
      lock.lock();
    }
  }
};

void StopTicket::abandon() noexcept {
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) {
    StopperAccess::report(std::move(failure));
  }
}

void StreamRegistry::adopt(DataStream* stream, std::shared_ptr<StreamControl> control) {
  State& shared = state();
  std::lock_guard lock(shared.mutex);
  if (shared.stoppers == 0) {
    StopperAccess::staff(shared);  // throws std::system_error
  }
  control->stream_ = stream;
  shared.live[stream] = std::move(control);
}

std::shared_ptr<StopTicket> StreamRegistry::stop(DataStream* stream) {
  State& shared = state();
  {
    std::lock_guard lock(shared.mutex);
    auto found = shared.live.find(stream);
    if (found != shared.live.end()) {
      found->second->mute();
      auto ticket = on_delivery_thread() ? nullptr : std::make_shared<StopTicket>();
      StopperAccess::enqueue(shared, found->second, nullptr, ticket);
      return ticket;
    }
    if (shared.inherited.count(stream) != 0) {
      return nullptr;  // the parent's: its device has no threads here
    }
  }
  stream->stop();  // not adopted: nothing else can reach it
  return nullptr;
}

std::shared_ptr<StopTicket> StreamRegistry::release(DataStream* stream) noexcept {
  State& shared = state();
  std::shared_ptr<StreamControl> control;
  {
    std::lock_guard lock(shared.mutex);
    auto found = shared.live.find(stream);
    if (found == shared.live.end()) {
      if (shared.inherited.count(stream) != 0) {
        return nullptr;
      }
    } else {
      control = std::move(found->second);
      shared.live.erase(found);
      control->stream_ = nullptr;
      control->mute();
      try {
        auto ticket = on_delivery_thread() ? nullptr : std::make_shared<StopTicket>();
        StopperAccess::enqueue(shared, control, stream, ticket);
        return ticket;
      } catch (...) {
        // No memory for the work, or no stopper: destroyed here below.
      }
    }
  }
  delete stream;
  return nullptr;
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

std::shared_ptr<StreamControl> StreamRegistry::control_of(const DataStream* stream) {
  State& shared = state();
  std::lock_guard lock(shared.mutex);
  auto found = shared.live.find(const_cast<DataStream*>(stream));
  return found != shared.live.end() ? found->second : nullptr;
}

DataStream* StreamRegistry::stream_of(const StreamControl& control) {
  std::lock_guard lock(state().mutex);
  return control.stream_;
}

std::vector<std::string> StreamRegistry::wait_for_stoppers(std::chrono::steady_clock::time_point deadline) {
  State& shared = state();
  std::unique_lock lock(shared.mutex);
  shared.quiet.wait_until(lock, deadline,
                          [&] { return shared.queue.size() == shared.forsaken && shared.running == 0; });
  std::vector<std::string> pending;
  auto add = [&](const StreamControl& control) {
    if (std::find(pending.begin(), pending.end(), control.label()) == pending.end()) {
      pending.push_back(control.label());
    }
  };
  for (auto work = shared.queue.begin() + static_cast<std::ptrdiff_t>(shared.forsaken); work != shared.queue.end();
       ++work) {
    add(*work->control);
  }
  for (const auto& entry : shared.live) {
    if (entry.second->busy_) {
      add(*entry.second);
    }
  }
  return pending;
}

void StreamRegistry::set_error_reporter(void (*report)(const char* what) noexcept) noexcept {
  state().report.store(report != nullptr ? report : &ignore_error);
}

}  // namespace pyvorn
