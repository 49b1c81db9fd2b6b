// Stopping and destroying the streams the module hands out, from any thread,
// without a wait that can close a cycle or that the caller cannot abandon.
//
// The danger: ending a stream waits for its delivery thread (the pump's
// worker) to finish the callback in progress, and for the device's stop() or
// destructor. A callback that ends a stream, its own or another's, would wait
// for a delivery thread that may be waiting for it in turn; a callback can
// block on something the stopping thread holds; a device's stop() may never
// return. So nothing here waits on the caller's behalf: the stream is muted
// at once (no delivery starts once the current one returns), and the device's
// stop() or the stream's destruction runs on a stopper, a module-owned
// thread, while the caller gets a ticket that it may wait on, in slices, and
// may abandon (a Ctrl+C). Work for one stream runs in the order it was asked
// for, one item at a time; work for different streams runs in parallel: the
// stoppers form a small pool that grows whenever every stopper is busy, so one
// slow or stuck device never delays another stream's stop.
//
// Memory: after streams have been destroyed, a stopper that finds nothing
// else to do asks the C library to return the free memory it keeps (in pools
// per thread, which the threads of ended streams leave behind), at most every
// 100 ms.
//
// Processes that fork: the child forgets the parent's streams. Its copies of
// them are inert (stopping or dropping one returns at once and calls nothing
// in the device, whose threads do not exist in the child; their native
// objects are left alone), and the child starts stoppers of its own on demand.
//
// Python-free: callers release the GIL before any call that may wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vorn/device.hpp"

namespace pyvorn {

using DataStream = vorn::Device::DataStream;

// The module's side of one stream: shared by the stream's consumers (which
// check it before each delivery), the registry of live streams and the work
// handed to the stoppers. An embedding layer may derive from it to keep its
// own per-stream state (create it with std::make_shared of the derived type).
class StreamControl {
 public:
  // `device_code` keeps the device's code loaded (may be null); it is held
  // until the stream has been destroyed, wherever that happens. `label` names
  // the stream in reports (which device, which address).
  StreamControl(std::shared_ptr<void> device_code, std::string label) noexcept
      : device_code_(std::move(device_code)), label_(std::move(label)) {}
  StreamControl(const StreamControl&) = delete;
  StreamControl& operator=(const StreamControl&) = delete;

  const std::shared_ptr<void>& device_code() const noexcept { return device_code_; }
  const std::string& label() const noexcept { return label_; }

  // Brackets one delivery to the Python callback, on the delivery thread.
  // begin_delivery() returns false once the stream is muted; then nothing may
  // be delivered and end_delivery() must not be called.
  bool begin_delivery() noexcept;
  void end_delivery() noexcept;

  // From now on no delivery begins. Any thread.
  void mute() noexcept;
  bool muted() const noexcept { return muted_.load(std::memory_order_seq_cst); }
  // The flag muted() reads, for a poll guard (event_pump.hpp); lives as long
  // as the control.
  const std::atomic<bool>& muted_flag() const noexcept { return muted_; }

  // Mutes, then waits until a delivery in progress has returned. Never call
  // it on a delivery thread.
  void mute_and_wait() noexcept;

 private:
  friend class StreamRegistry;
  friend struct StopperAccess;

  std::atomic<bool> muted_{false};
  std::atomic<std::uint32_t> delivering_{0};
  std::shared_ptr<void> device_code_;
  std::string label_;
  // Guarded by the registry's mutex.
  DataStream* stream_ = nullptr;  // null once its owner has handed it over
  bool busy_ = false;             // a stopper runs work for this stream now
};

// The outcome of work handed to a stopper, for the thread that asked for it.
// Shared by that thread and the stopper; every member may be called from any
// thread.
class StopTicket {
 public:
  // Waits at most `slice` for the work; true once it is done.
  bool wait_for(std::chrono::milliseconds slice);
  bool done();
  // After done(): rethrows what the device's stop() threw, if anything.
  void rethrow_failure();
  // The caller stops waiting: a failure of the work, if any, is reported
  // through the registry's error reporter instead of being lost.
  void abandon() noexcept;

 private:
  friend struct StopperAccess;

  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  bool abandoned_ = false;
  std::exception_ptr failure_;
};

// The streams that Python objects own. Every function may be called from
// any thread; none waits for a stream while it holds the registry's lock.
class StreamRegistry {
 public:
  // Records a stream that a Python object now owns. Throws std::system_error
  // when no stopper can be started (the stream is then not recorded).
  static void adopt(DataStream* stream, std::shared_ptr<StreamControl> control);

  // The Python stop(). Mutes the stream and has a stopper call the device's
  // stop() once a delivery in progress has returned. Returns the ticket of
  // that work, for the caller to wait on (its failure is the device's
  // exception). Returns null when there is nothing to wait for: on a delivery
  // thread (the caller must not wait: the work is queued and runs moments
  // later), and for a stream inherited across fork() (nothing is done).
  // Throws std::bad_alloc.
  static std::shared_ptr<StopTicket> stop(DataStream* stream);

  // The owner's deleter: the stream is no longer Python's. Mutes it and has a
  // stopper destroy it after the work queued for it before. Returns the
  // ticket of the destruction, null on a delivery thread (nothing to wait
  // for) and for an inherited stream (left alone). A stream that was never
  // adopted is destroyed here. noexcept: when the work cannot be queued (no
  // memory, no thread) the stream is destroyed here.
  static std::shared_ptr<StopTicket> release(DataStream* stream) noexcept;

  // The controls of the streams Python owns now (not the inherited ones).
  static std::vector<std::shared_ptr<StreamControl>> live();
  // The control of a live stream, or null.
  static std::shared_ptr<StreamControl> control_of(const DataStream* stream);
  // The stream behind a control, or null once its owner is gone. The result
  // is only valid while the caller keeps the owner alive.
  static DataStream* stream_of(const StreamControl& control);

  // Waits until the stoppers have nothing left to do, or until `deadline`.
  // Returns the labels of the streams whose work is still queued or running
  // (empty when all is done). Not on a delivery thread.
  static std::vector<std::string> wait_for_stoppers(std::chrono::steady_clock::time_point deadline);

  // Where a stopper reports an exception from a device's stop() that nobody
  // waits for any more; set once at start-up. Called on the stopper thread,
  // no lock held.
  static void set_error_reporter(void (*report)(const char* what) noexcept) noexcept;
};

}  // namespace pyvorn
