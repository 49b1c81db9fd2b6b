// Stopping and destroying the streams the module hands out, from any thread,
// without a wait that can close a cycle.
//
// The danger: ending a stream waits for its delivery thread (the pump's
// worker) to finish the callback in progress. A callback that ends a stream,
// its own or another's, would wait for a delivery thread that may be waiting
// for it in turn: a callback stopping its stream while another thread stops
// it too, two callbacks dropping each other's stream, a stream stopped at
// interpreter exit whose callback stops it. So on a delivery thread nothing
// here waits: the stream is muted at once (no delivery starts once the
// current one returns) and the device's stop() or the stream's destruction
// is handed to one module-owned thread, the stopper, which runs them in
// order, holding no lock a delivery needs.
//
// Python-free: callers release the GIL before any call that may wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vorn/device.hpp"

namespace pyvorn {

using DataStream = vorn::Device::DataStream;

// The module's side of one stream: shared by the stream's consumers (which
// check it before each delivery), the registry of live streams and the work
// handed to the stopper.
class StreamControl {
 public:
  // `device_code` keeps the device's code loaded (may be null); it is held
  // until the stream has been destroyed, wherever that happens.
  explicit StreamControl(std::shared_ptr<void> device_code) noexcept : device_code_(std::move(device_code)) {}
  StreamControl(const StreamControl&) = delete;
  StreamControl& operator=(const StreamControl&) = delete;

  const std::shared_ptr<void>& device_code() const noexcept { return device_code_; }

  // Brackets one delivery to the Python callback, on the delivery thread.
  // begin_delivery() returns false once the stream is muted; then nothing may
  // be delivered and end_delivery() must not be called.
  bool begin_delivery() noexcept;
  void end_delivery() noexcept;

  // From now on no delivery begins. Any thread.
  void mute() noexcept;
  bool muted() const noexcept { return muted_.load(std::memory_order_seq_cst); }

  // Mutes, then waits until a delivery in progress has returned. Never call
  // it on a delivery thread.
  void mute_and_wait() noexcept;

 private:
  friend class StreamRegistry;
  friend struct StopperAccess;

  std::atomic<bool> muted_{false};
  std::atomic<std::uint32_t> delivering_{0};
  std::shared_ptr<void> device_code_;
  // Serialises the device's stop() calls made by the module.
  std::mutex stop_mutex_;
  // Guarded by the registry's mutex.
  DataStream* stream_ = nullptr;
  int queued_ = 0;  // work for this stream queued at or running on the stopper
};

// The streams that Python objects own. Every function may be called from
// any thread; none waits for a stream while it holds the registry's lock.
class StreamRegistry {
 public:
  // Records a stream that a Python object now owns.
  static void adopt(DataStream* stream, std::shared_ptr<StreamControl> control);

  // The Python stop(). Off a delivery thread: mutes the stream, waits for a
  // delivery in progress, calls the device's stop() and returns when it has
  // (its exception propagates). On a delivery thread: mutes the stream and
  // queues the device's stop() for the stopper; returns at once.
  static void stop(DataStream* stream);

  // The owner's deleter. Off a delivery thread, and with no work for the
  // stream queued: destroys it here. Otherwise mutes it and hands it to the
  // stopper, which destroys it after the work queued before. noexcept.
  static void destroy(DataStream* stream) noexcept;

  // The controls of the streams Python owns now.
  static std::vector<std::shared_ptr<StreamControl>> live();
  // The stream behind a control, or null once its owner is gone. The result
  // is only valid while the caller keeps the owner alive.
  static DataStream* stream_of(const StreamControl& control);

  // Waits until the stopper has nothing left to do. Not on a delivery thread.
  static void wait_for_stopper() noexcept;

  // Where the stopper reports an exception from a device's stop(); set once
  // at start-up. Called on the stopper thread, no lock held.
  static void set_error_reporter(void (*report)(const char* what) noexcept) noexcept;
};

}  // namespace pyvorn
