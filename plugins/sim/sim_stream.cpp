#include "sim_stream.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <utility>
#include <variant>

#include "stream_pattern.hpp"

namespace vorn::sim {
namespace {

// The stream whose producer runs on this thread, if any.
thread_local const SimStream* t_producing = nullptr;

std::atomic<std::uint64_t> g_live_streams{0};

}  // namespace

SimStream::SimStream(const StreamSettings& settings, StreamCallback&& callback, std::shared_ptr<DeviceStats> stats)
    : settings_(settings),
      callback_(std::move(callback)),
      stats_(std::move(stats)),
      throttle_(settings.byte_rate, settings.chunk_rate) {
  if (settings_.chunks == ChunkMode::owned) {
    pool_ = BlockPool::create(settings_.chunk_size);
  } else {
    view_ = std::make_unique_for_overwrite<std::uint8_t[]>(settings_.chunk_size);
  }
  stats_->streams_running.fetch_add(1, std::memory_order_relaxed);
  try {
    producer_ = std::thread([this, token = stop_source_.get_token()] { produce(token); });
  } catch (...) {
    stats_->streams_running.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
  g_live_streams.fetch_add(1, std::memory_order_relaxed);
}

SimStream::~SimStream() {
  stop();
  g_live_streams.fetch_sub(1, std::memory_order_release);
}

std::uint64_t SimStream::live_streams() noexcept { return g_live_streams.load(std::memory_order_acquire); }

void SimStream::stop() {
  stop_source_.request_stop();
  throttle_.wake();
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
  // Nothing is pushed any more: release the callback now, so that events
  // still queued on the module's side are dropped instead of delivered.
  // Outside the lock: destroying it waits for the module's delivery thread,
  // which may itself be calling stop() on this stream.
  released.reset();
}

void SimStream::produce(std::stop_token stop) noexcept {
  t_producing = this;
  try {
    run(stop);
  } catch (const std::exception& error) {
    // Only allocation can fail here; report it and end the stream.
    try {
      StreamEvent failure{std::in_place_index<event_kind::error>, std::string("sim: stream failed: ") + error.what()};
      push(failure);
      StreamEvent end{std::in_place_index<event_kind::end>};
      push(end);
    } catch (...) {
    }
  }
  stats_->streams_running.fetch_sub(1, std::memory_order_relaxed);
  t_producing = nullptr;
}

void SimStream::run(const std::stop_token& stop) {
  const std::uint64_t length = settings_.length;
  const std::uint64_t chunk_size = settings_.chunk_size;
  const std::uint64_t error_every = settings_.error_every;
  std::uint64_t offset = 0;
  std::uint64_t chunks = 0;
  while (!stop.stop_requested()) {
    if (length != 0 && offset >= length) {
      StreamEvent end{std::in_place_index<event_kind::end>};
      push(end);
      return;
    }
    if (!throttle_.wait(offset, chunks, stop)) {
      return;
    }
    const std::uint64_t size = length == 0 ? chunk_size : std::min(chunk_size, length - offset);
    if (settings_.chunks == ChunkMode::owned) {
      ManagedBuffer chunk = pool_.acquire(size);
      fill_pattern(chunk.data.get(), offset, size);
      StreamEvent event{std::in_place_index<event_kind::owned_chunk>, std::move(chunk)};
      push(event);
    } else {
      fill_pattern(view_.get(), offset, size);
      StreamEvent event{std::in_place_index<event_kind::chunk_view>, DataView{view_.get(), size}};
      push(event);
    }
    offset += size;
    ++chunks;
    stats_->stream_chunks.fetch_add(1, std::memory_order_relaxed);
    stats_->stream_bytes.fetch_add(size, std::memory_order_relaxed);
    if (error_every != 0 && chunks % error_every == 0) {
      StreamEvent error{std::in_place_index<event_kind::error>, settings_.error_text};
      push(error);
      stats_->stream_errors.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace vorn::sim
