// vorn_bench_clock: a device-manager plug-in for the stream benchmarks.
// Benchmark-only; not installed. Its purpose: chunks stamped with the push
// time, at a set rate and from recycled blocks, so that latency and throughput
// can be measured without the cost of a simulated device.
//
// Device text: space-separated key=value options, all optional:
//   rate=N         chunks per second (default 1000); 0 = as fast as the
//                  producer can push
//   count=N        chunks before the end marker (default 0 = endless)
//   idle=1         the stream delivers nothing at all until it is stopped
//   chunk_size=N   bytes per chunk when start_read_stream gets 0 (default 64,
//                  at least 8); N may end in K or M
//   ring=N         blocks in the ring of owning chunks (default 64, at least 2)
// Stream address 0 pushes owning chunks (ManagedBuffer) from a ring of
// recycled blocks, like a device's DMA buffers: when all of them are out, the
// producer waits (polling briefly, then asleep) for the consumer to release
// one, so nothing overflows. Releasing a block costs one compare-and-swap.
// Address 1 pushes chunk views (DataView) of one buffer. The first 8 bytes of every chunk hold the
// CLOCK_MONOTONIC time in nanoseconds, little-endian, read right before the
// push (Python's time.monotonic_ns() reads the same clock); no other byte is
// written per chunk, so the producer costs next to nothing beyond the push.
// With a rate, chunks follow a fixed schedule from the start of the stream
// (waits under 200 us are spun with yields, longer ones sleep); a producer
// more than max(period, 1 ms) behind skips ahead rather than bursting.
// get_status() reports "stream_chunks=N", the chunks pushed by all streams.
// The producer thread is named "bench-clock", so that a benchmark can tell
// its processor time from the stream worker's.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "stream_only_device.hpp"
#include "vorn/vorn.hpp"

namespace {

constexpr std::uint64_t kMinChunkSize = 8;
constexpr std::chrono::microseconds kSpinBelow{200};
constexpr std::chrono::milliseconds kMaxLag{1};

// Chunks pushed by every stream of the plug-in (get_status).
std::atomic<std::uint64_t> chunks_pushed{0};

struct ClockSettings {
  std::uint64_t rate = 1000;
  std::uint64_t ring = 64;
  std::uint64_t count = 0;
  bool idle = false;
  std::uint64_t chunk_size = 64;
};

std::uint64_t parse_number(const std::string& key, const std::string& text) {
  std::size_t used = 0;
  std::uint64_t value = 0;
  try {
    value = std::stoull(text, &used);
  } catch (const std::exception&) {
    throw std::invalid_argument("bench clock: option " + key + " needs a number, not '" + text + "'");
  }
  const std::string suffix = text.substr(used);
  if (suffix == "K" || suffix == "k") {
    value *= 1024;
  } else if (suffix == "M" || suffix == "m") {
    value *= 1024 * 1024;
  } else if (!suffix.empty()) {
    throw std::invalid_argument("bench clock: option " + key + " needs a number, not '" + text + "'");
  }
  return value;
}

ClockSettings parse_settings(const std::string& text) {
  ClockSettings settings;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const auto equals = word.find('=');
    const std::string key = word.substr(0, equals);
    if (equals == std::string::npos) {
      throw std::invalid_argument("bench clock: expected key=value, got '" + word + "'");
    }
    const std::uint64_t value = parse_number(key, word.substr(equals + 1));
    if (key == "rate") {
      settings.rate = value;
    } else if (key == "count") {
      settings.count = value;
    } else if (key == "idle") {
      settings.idle = value != 0;
    } else if (key == "chunk_size") {
      settings.chunk_size = value;
    } else if (key == "ring" && value >= 2) {
      settings.ring = value;
    } else {
      throw std::invalid_argument("bench clock: unknown option '" + key +
                                  "' (options: rate, count, idle, chunk_size, ring >= 2)");
    }
  }
  if (settings.chunk_size < kMinChunkSize) {
    throw std::invalid_argument("bench clock: chunk_size must be at least 8");
  }
  return settings;
}

std::uint64_t monotonic_ns() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

void write_stamp(std::uint8_t* chunk) noexcept {
  std::uint64_t stamp = monotonic_ns();
  if constexpr (std::endian::native == std::endian::big) {
    stamp = __builtin_bswap64(stamp);
  }
  std::memcpy(chunk, &stamp, sizeof stamp);
}

// A stream's ring of owning blocks. Whoever releases a block pushes it onto
// a lock-free list with one compare-and-swap (any thread); the producer takes
// that whole list at once when its own runs out. A producer that finds the
// ring dry polls (yielding) for up to kSpinBelow, then sleeps until a block
// comes back. The ring goes once the stream has let go and every block is
// back, on whichever thread that happens. (A block out carries a pointer to
// its ring in a header before its data; a free block links to the next in
// its data.)
class BlockRing {
 public:
  static BlockRing* create(std::uint64_t size, std::uint64_t blocks) { return new BlockRing(size, blocks); }

  // The stream lets go (its producer has ended): the blocks that are back go
  // now, the others as they come back, and the ring with the last of them.
  void release() noexcept {
    std::uint64_t freed = free_list(std::exchange(own_, nullptr));
    freed += free_list(returned_.exchange(closed(), std::memory_order_acq_rel));
    drop(1 + freed);
  }

  // A block of the ring's size, or null once stop is requested while none
  // is free. Producer thread only.
  std::uint8_t* take(const std::stop_token& stop) {
    if (own_ == nullptr) {
      own_ = returned_.exchange(nullptr, std::memory_order_acquire);
    }
    if (own_ == nullptr && !wait_for_returns(stop)) {
      return nullptr;
    }
    return reinterpret_cast<std::uint8_t*>(std::exchange(own_, own_->next));
  }

  // The BlockDeleter of the ring's blocks. Any thread.
  static void give_back(std::uint8_t* data) noexcept {
    BlockRing* ring = *header(data - kHeader);
    auto* node = reinterpret_cast<Node*>(data);
    Node* head = ring->returned_.load(std::memory_order_relaxed);
    do {
      if (head == closed()) {
        delete[](data - kHeader);
        ring->drop(1);
        return;
      }
      node->next = head;
    } while (!ring->returned_.compare_exchange_weak(head, node, std::memory_order_seq_cst, std::memory_order_relaxed));
    if (ring->waiting_.load(std::memory_order_seq_cst)) {
      std::lock_guard lock(ring->mutex_);
      ring->returned_cv_.notify_one();
    }
  }

 private:
  static constexpr std::size_t kHeader = 64;
  static_assert(sizeof(BlockRing*) <= kHeader);

  struct Node {
    Node* next;
  };

  // Marks the list of a ring that its stream let go. Never dereferenced.
  static Node* closed() noexcept { return reinterpret_cast<Node*>(std::uintptr_t{1}); }

  BlockRing(std::uint64_t size, std::uint64_t blocks) : references_(static_cast<std::int64_t>(blocks) + 1) {
    for (std::uint64_t i = 0; i < blocks; ++i) {
      std::uint8_t* base = new std::uint8_t[kHeader + std::max<std::uint64_t>(size, sizeof(Node))];
      *header(base) = this;  // written once: the givers read it, nobody writes it again
      auto* node = reinterpret_cast<Node*>(base + kHeader);
      node->next = own_;
      own_ = node;
    }
  }

  static BlockRing** header(std::uint8_t* base) noexcept { return reinterpret_cast<BlockRing**>(base); }

  std::uint64_t free_list(Node* list) noexcept {
    std::uint64_t freed = 0;
    while (list != nullptr) {
      delete[](reinterpret_cast<std::uint8_t*>(std::exchange(list, list->next)) - kHeader);
      ++freed;
    }
    return freed;
  }

  void drop(std::uint64_t count) noexcept {
    const auto n = static_cast<std::int64_t>(count);
    if (references_.fetch_sub(n, std::memory_order_acq_rel) == n) {
      delete this;
    }
  }

  // The ring ran dry: polls, then sleeps, until blocks come back. False when
  // stopped first.
  bool wait_for_returns(const std::stop_token& stop) {
    const auto deadline = std::chrono::steady_clock::now() + kSpinBelow;
    while (returned_.load(std::memory_order_relaxed) == nullptr && std::chrono::steady_clock::now() < deadline) {
      if (stop.stop_requested()) {
        return false;
      }
      std::this_thread::yield();
    }
    if (returned_.load(std::memory_order_acquire) == nullptr) {
      std::unique_lock lock(mutex_);
      waiting_.store(true, std::memory_order_seq_cst);
      returned_cv_.wait(lock, stop, [this] { return returned_.load(std::memory_order_seq_cst) != nullptr; });
      waiting_.store(false, std::memory_order_relaxed);
    }
    own_ = returned_.exchange(nullptr, std::memory_order_acquire);
    return own_ != nullptr;
  }

  Node* own_ = nullptr;  // the producer's free blocks
  // Blocks given back; closed() once the stream let go.
  alignas(64) std::atomic<Node*> returned_{nullptr};
  // One for the stream, one per block not freed yet.
  alignas(64) std::atomic<std::int64_t> references_;
  alignas(64) std::atomic<bool> waiting_{false};
  std::mutex mutex_;
  std::condition_variable_any returned_cv_;
};

struct RingRelease {
  void operator()(BlockRing* ring) const noexcept { ring->release(); }
};

class ClockStream final : public vorn::Device::DataStream {
 public:
  ClockStream(const ClockSettings& settings, bool views, vorn::StreamCallback callback)
      : settings_(settings),
        views_(views),
        view_(views ? std::make_unique<std::uint8_t[]>(settings.chunk_size) : nullptr),
        ring_(views ? nullptr : BlockRing::create(settings.chunk_size, settings.ring)),
        callback_(std::move(callback)) {
    producer_ = std::jthread([this](std::stop_token stop) { run(stop); });
  }
  ~ClockStream() override { stop(); }

  void stop() override {
    std::lock_guard lock(stop_mutex_);
    if (producer_.joinable()) {
      producer_.request_stop();
      producer_.join();
    }
    callback_.reset();
  }

 private:
  // Sleeps until `deadline` or a stop request; false when stopped.
  bool sleep_until(const std::stop_token& stop, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(sleep_mutex_);
    wake_.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
  }

  void run(const std::stop_token& stop) noexcept {
    pthread_setname_np(pthread_self(), "bench-clock");
    try {
      produce(stop);
    } catch (const std::exception& error) {  // only allocation can fail
      try {
        vorn::StreamEvent failure{std::in_place_index<vorn::event_kind::error>,
                                  std::string("bench clock: ") + error.what()};
        callback_(failure);
      } catch (...) {
      }
      vorn::StreamEvent end{std::in_place_index<vorn::event_kind::end>};
      callback_(end);
    }
  }

  // Waits for the chunk due at `next`; false when stopped. Short waits are
  // spun (yielding), since a sleep overshoots by tens of microseconds. A
  // producer more than max(period, 1 ms) late skips ahead instead of
  // bursting.
  bool wait_until(const std::stop_token& stop, std::chrono::steady_clock::time_point& next,
                  std::chrono::nanoseconds period) {
    auto now = std::chrono::steady_clock::now();
    if (now - next > std::max<std::chrono::nanoseconds>(period, kMaxLag)) {
      next = now;
    }
    if (next - now > kSpinBelow) {
      return sleep_until(stop, next);
    }
    while (now < next) {
      if (stop.stop_requested()) {
        return false;
      }
      std::this_thread::yield();
      now = std::chrono::steady_clock::now();
    }
    return !stop.stop_requested();
  }

  void produce(const std::stop_token& stop) {
    if (settings_.idle) {
      std::unique_lock lock(sleep_mutex_);
      wake_.wait(lock, stop, [] { return false; });
      return;
    }
    const auto period = std::chrono::nanoseconds(settings_.rate == 0 ? 0 : 1'000'000'000 / settings_.rate);
    auto next = std::chrono::steady_clock::now();
    for (std::uint64_t n = 0; settings_.count == 0 || n < settings_.count; ++n) {
      if (period.count() != 0) {
        next += period;
        if (!wait_until(stop, next, period)) {
          return;
        }
      } else if (stop.stop_requested()) {
        return;
      }
      if (!push_chunk(stop)) {
        return;
      }
    }
    vorn::StreamEvent end{std::in_place_index<vorn::event_kind::end>};
    callback_(end);
  }

  // False when stopped while waiting for a free block.
  bool push_chunk(const std::stop_token& stop) {
    const std::uint64_t size = settings_.chunk_size;
    if (views_) {
      write_stamp(view_.get());
      vorn::StreamEvent event{std::in_place_index<vorn::event_kind::chunk_view>, vorn::DataView{view_.get(), size}};
      callback_(event);
      chunks_pushed.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    std::uint8_t* block = ring_->take(stop);
    if (block == nullptr) {
      return false;
    }
    vorn::ManagedBuffer chunk(block, size, &BlockRing::give_back);
    write_stamp(chunk.data.get());
    vorn::StreamEvent event{std::in_place_index<vorn::event_kind::owned_chunk>, std::move(chunk)};
    callback_(event);
    chunks_pushed.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  const ClockSettings settings_;
  const bool views_;
  std::unique_ptr<std::uint8_t[]> view_;
  std::unique_ptr<BlockRing, RingRelease> ring_;
  vorn::StreamCallback callback_;
  std::mutex sleep_mutex_;
  std::condition_variable_any wake_;
  std::mutex stop_mutex_;
  std::jthread producer_;  // last: starts after, and stops before, the rest
};

class ClockDevice final : public vorn_test::StreamOnlyDevice {
 public:
  explicit ClockDevice(const ClockSettings& settings) : settings_(settings) {}

  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, vorn::StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override {
    if (addr > 1) {
      throw std::runtime_error("bench clock: no stream at address " + std::to_string(addr));
    }
    ClockSettings settings = settings_;
    if (chunk_size != 0) {
      if (chunk_size < kMinChunkSize) {
        throw std::runtime_error("bench clock: chunk_size must be at least 8");
      }
      settings.chunk_size = chunk_size;
    }
    return std::make_unique<ClockStream>(settings, addr == 1, std::move(callback));
  }

  std::optional<std::string> get_status() override { return "stream_chunks=" + std::to_string(chunks_pushed.load()); }

  std::optional<std::string> get_info() override {
    return "bench clock rate=" + std::to_string(settings_.rate) + " count=" + std::to_string(settings_.count) +
           " idle=" + std::to_string(settings_.idle ? 1 : 0) + " chunk_size=" + std::to_string(settings_.chunk_size);
  }

 private:
  const ClockSettings settings_;
};

class ClockManager final : public vorn::DeviceManager {
 public:
  std::string info() override { return "vorn bench clock 1.0.0"; }
  std::filesystem::path location() override { return {}; }
  std::string list_devices() override { return "clock: stream of time-stamped chunks"; }
  std::string get_device_options() override {
    return "rate=N chunks per second (default 1000, 0 = unthrottled); count=N chunks, then the end marker "
           "(default 0 = endless); idle=1 delivers nothing; chunk_size=N bytes (default 64, at least 8); "
           "stream address 0 = owning chunks, 1 = chunk views; the first 8 bytes of each chunk are the "
           "CLOCK_MONOTONIC time in ns (little-endian) at the push";
  }
  vorn::DeviceHolder create_device(const std::string& text) override {
    return vorn::DeviceHolder(std::make_unique<ClockDevice>(parse_settings(text)).release(),
                              vorn::device_deleter{shared_from_this()});
  }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return std::make_unique<ClockManager>().release(); }
