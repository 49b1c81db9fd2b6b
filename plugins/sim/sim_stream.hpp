// A running simulated read stream.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "block_pool.hpp"
#include "device_stats.hpp"
#include "sim_options.hpp"
#include "stream_throttle.hpp"
#include "vorn/device.hpp"
#include "vorn/stream.hpp"

namespace vorn::sim {

// Owns the callback and one producer thread, the only thread that invokes
// the callback. Self-contained: it shares nothing with its device but the
// statistics, so the device may be destroyed while the stream runs.
//
// The producer pushes data chunks carrying the counter pattern
// (stream_pattern.hpp), an error text after every error_every-th chunk, and,
// for a finite length, the end marker after the last (possibly short) chunk;
// then it ends. A stopped stream pushes nothing more, not even the end marker.
class SimStream final : public Device::DataStream {
 public:
  // `settings.chunks` is the mode used and `settings.chunk_size` the chunk
  // size (never 0). Takes the callback and starts the producer. Throws
  // std::bad_alloc or std::system_error; the callback is then destroyed.
  SimStream(const StreamSettings& settings, StreamCallback&& callback, std::shared_ptr<DeviceStats> stats);
  SimStream(const SimStream&) = delete;
  SimStream& operator=(const SimStream&) = delete;

  // Stops and joins the producer, then destroys the callback (see stop()).
  // Any thread but the producer (never from inside the callback).
  ~SimStream() override;

  // Stops the producer, waits for it and destroys the callback, so nothing
  // more is delivered. Safe from any thread, concurrently too. Called from
  // inside the callback (on the producer thread) it only requests the stop
  // and returns.
  //
  // join_mutex_ covers the join and taking the callback out of the stream,
  // not its destruction: destroying the module's callback waits for the
  // module's delivery thread, and that thread may be inside a stop() of this
  // stream itself. So the first caller destroys the callback after releasing
  // the mutex; every other caller, concurrent or later, returns as soon as
  // the producer has been joined, possibly while the first caller is still
  // destroying the callback.
  void stop() override;

  // Stream objects alive in the process.
  static std::uint64_t live_streams() noexcept;

 private:
  void produce(std::stop_token stop) noexcept;
  void run(const std::stop_token& stop);
  void push(StreamEvent& event) noexcept { callback_(event); }

  const StreamSettings settings_;
  StreamCallback callback_;
  std::shared_ptr<DeviceStats> stats_;
  BlockPool::Handle pool_;                // owned mode
  std::unique_ptr<std::uint8_t[]> view_;  // view mode: reused for every chunk
  StreamThrottle throttle_;
  std::stop_source stop_source_;
  std::mutex join_mutex_;  // serialises joining producer_ and taking callback_
  std::thread producer_;   // last: starts once everything above exists
};

}  // namespace vorn::sim
