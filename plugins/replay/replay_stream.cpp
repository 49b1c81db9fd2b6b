#include "replay_stream.hpp"

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace vorn::replay {
namespace {

thread_local const ReplayStream* t_producing = nullptr;

void release_block(std::uint8_t* block) { delete[] block; }

}  // namespace

ReplayStream::ReplayStream(std::shared_ptr<const Recording> recording, std::shared_ptr<DataFile> file,
                           std::uint64_t bytes_per_second, bool loop, StreamCallback&& callback,
                           std::shared_ptr<ReplayStats> stats)
    : recording_(std::move(recording)),
      file_(std::move(file)),
      loop_(loop),
      callback_(std::move(callback)),
      stats_(std::move(stats)),
      pacer_(bytes_per_second) {
  stats_->streams_running.fetch_add(1, std::memory_order_relaxed);
  try {
    producer_ = std::thread([this, token = stop_source_.get_token()] { produce(token); });
  } catch (...) {
    stats_->streams_running.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
}

ReplayStream::~ReplayStream() { stop(); }

void ReplayStream::stop() {
  stop_source_.request_stop();
  pacer_.wake();
  if (t_producing == this) {
    return;  // joining ourselves would never return
  }
  StreamCallback released;
  {
    std::lock_guard lock(join_mutex_);
    if (producer_.joinable()) {
      producer_.join();
    }
    released = std::move(callback_);
  }
  released.reset();
}

bool ReplayStream::push(StreamEvent& event, const std::stop_token& stop) noexcept {
  if (stop.stop_requested()) {
    return false;
  }
  callback_(event);
  return true;
}

void ReplayStream::produce(std::stop_token stop) noexcept {
  t_producing = this;
  try {
    std::uint64_t sent = 0;
    bool go_on = true;
    do {
      next_gap_ = next_error_ = 0;
      go_on = replay_once(stop, sent);
      if (go_on) {
        stats_->rounds.fetch_add(1, std::memory_order_relaxed);
      }
      if (go_on && loop_ && recording_->bytes == 0 && recording_->gaps.empty() && recording_->errors.empty()) {
        pacer_.pace(~std::uint64_t{0}, stop);  // nothing to repeat: wait for the stop
        go_on = false;
      }
    } while (go_on && loop_);
    if (go_on) {
      StreamEvent end{std::in_place_index<event_kind::end>};
      push(end, stop);
    }
  } catch (const std::exception& error) {
    // Only allocation can fail here; report it and end the stream.
    try {
      StreamEvent failure{std::in_place_index<event_kind::error>,
                          std::string("replay: stream failed: ") + error.what()};
      if (push(failure, stop)) {
        StreamEvent end{std::in_place_index<event_kind::end>};
        push(end, stop);
      }
    } catch (...) {
    }
  }
  stats_->streams_running.fetch_sub(1, std::memory_order_relaxed);
  t_producing = nullptr;
}

bool ReplayStream::replay_once(const std::stop_token& stop, std::uint64_t& sent) {
  std::uint64_t offset = 0;
  for (const ChunkRun& run : recording_->chunk_sizes) {
    for (std::uint64_t i = 0; i < run.count; ++i) {
      if (!push_marks(offset, stop) || !pacer_.pace(sent, stop)) {
        return false;
      }
      ManagedBuffer chunk(new std::uint8_t[run.size], run.size, &release_block);
      const std::uint64_t got = file_->read_at(offset, run.size, chunk.data.get());
      if (got != run.size) {
        StreamEvent failure{std::in_place_index<event_kind::error>,
                            "replay: " + file_->path().string() + ": read " + std::to_string(got) + " of " +
                                std::to_string(run.size) + " bytes at offset " + std::to_string(offset) +
                                " (the data file changed since the device was created)"};
        if (push(failure, stop)) {
          StreamEvent end{std::in_place_index<event_kind::end>};
          push(end, stop);
        }
        return false;
      }
      StreamEvent event{std::in_place_index<event_kind::owned_chunk>, std::move(chunk)};
      if (!push(event, stop)) {
        return false;
      }
      offset += run.size;
      sent += run.size;
      stats_->chunks.fetch_add(1, std::memory_order_relaxed);
      stats_->bytes.fetch_add(run.size, std::memory_order_relaxed);
    }
  }
  return push_marks(recording_->bytes, stop);
}

bool ReplayStream::push_marks(std::uint64_t offset, const std::stop_token& stop) {
  const Recording& recording = *recording_;
  for (; next_gap_ < recording.gaps.size() && recording.gaps[next_gap_].offset <= offset; ++next_gap_) {
    for (std::uint64_t i = 0; i < recording.gaps[next_gap_].dropped; ++i) {
      StreamEvent notice{std::in_place_index<event_kind::error>, std::string(kOverflowNotice)};
      if (!push(notice, stop)) {
        return false;
      }
      stats_->notices.fetch_add(1, std::memory_order_relaxed);
    }
  }
  for (; next_error_ < recording.errors.size() && recording.errors[next_error_].offset <= offset; ++next_error_) {
    StreamEvent error{std::in_place_index<event_kind::error>, recording.errors[next_error_].text};
    if (!push(error, stop)) {
      return false;
    }
    stats_->errors.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

}  // namespace vorn::replay
