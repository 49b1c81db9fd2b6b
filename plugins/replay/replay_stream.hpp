// A running replay of a recording as a read stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "data_file.hpp"
#include "pacer.hpp"
#include "recording.hpp"
#include "vorn/device.hpp"
#include "vorn/stream.hpp"

namespace vorn::replay {

// Counters of one device and its streams, shared with the streams so that
// the device may go while they run.
struct ReplayStats {
  std::atomic<std::uint64_t> streams_started{0};
  std::atomic<std::uint64_t> streams_running{0};
  std::atomic<std::uint64_t> chunks{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> notices{0};  // overflow notices replayed for gaps
  std::atomic<std::uint64_t> errors{0};
  std::atomic<std::uint64_t> rounds{0};  // replays finished (with loop=1, more than one)
};

// The text of the module's overflow notice, which a gap replays once per
// dropped event.
inline constexpr const char* kOverflowNotice = "Queue Overflow, dropping event";

// Owns the callback and one producer thread, the only thread that invokes
// it. The producer replays the recorded chunks (owning chunks read from the
// data file) with their sizes; before each chunk, the gaps and errors whose
// offset is at or before the chunk's start (a gap first, where a gap and an
// error share an offset); after the last chunk, the rest; then the end
// marker, or with loop, the whole recording again. A stopped stream pushes
// nothing more, not even the end marker. A data file that has become shorter
// ends the stream with an error text.
class ReplayStream final : public Device::DataStream {
 public:
  // bytes_per_second 0: no pacing. Throws std::system_error when the thread
  // cannot start; the callback is then destroyed.
  ReplayStream(std::shared_ptr<const Recording> recording, std::shared_ptr<DataFile> file,
               std::uint64_t bytes_per_second, bool loop, StreamCallback&& callback,
               std::shared_ptr<ReplayStats> stats);
  ReplayStream(const ReplayStream&) = delete;
  ReplayStream& operator=(const ReplayStream&) = delete;

  // stop(), then nothing more. Any thread but the producer.
  ~ReplayStream() override;

  // Requests the stop, joins the producer, then destroys the callback
  // outside the join mutex (its destruction waits for the module's delivery
  // thread, which may itself be in a stop() of this stream). Any thread,
  // concurrently too; called from inside the callback (on the producer) it
  // only requests the stop.
  void stop() override;

 private:
  void produce(std::stop_token stop) noexcept;
  // One pass over the recording; false when the stop came or the file failed.
  bool replay_once(const std::stop_token& stop, std::uint64_t& sent);
  // The gaps and errors at or before `offset`; false when the stop came.
  bool push_marks(std::uint64_t offset, const std::stop_token& stop);
  bool push(StreamEvent& event, const std::stop_token& stop) noexcept;

  const std::shared_ptr<const Recording> recording_;
  const std::shared_ptr<DataFile> file_;
  const bool loop_;
  StreamCallback callback_;
  std::shared_ptr<ReplayStats> stats_;
  Pacer pacer_;
  std::size_t next_gap_ = 0;
  std::size_t next_error_ = 0;
  std::stop_source stop_source_;
  std::mutex join_mutex_;  // serialises joining producer_ and taking callback_
  std::thread producer_;   // last: starts once everything above exists
};

}  // namespace vorn::replay
