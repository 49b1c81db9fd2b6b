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
// one, so nothing overflows. Releasing a block costs one atomic OR on a line
// that the releasing thread mostly keeps to itself.
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
#include <new>
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

// A stream's ring of owning blocks, all in one allocation. A free block is a
// set bit in a bitmap of 64-bit words (63 blocks each; the top bit says the
// producer is asleep), each word on a cache line of its own. Whoever releases
// a block sets its bit with one atomic OR (any thread) and touches nothing
// else of the ring, unless the producer sleeps or the stream has let go; the
// producer takes a whole word's free bits at once. So a releaser and the
// producer share a written line once per take, not once per block, and no
// releaser writes a block's bytes. Blocks go out in bit order, so they mostly
// come back into the word the producer looks at next. A producer that finds
// the ring dry looks again after a growing pause (touching nothing a releaser
// writes meanwhile, so what comes back is taken in one go), for up to
// kSpinBelow, then sleeps until a block comes back. The ring goes once the
// stream has let go and every block out has come back, on whichever thread
// that happens. (A block carries a header before its data: its ring and its
// index.)
class BlockRing {
 public:
  static BlockRing* create(std::uint64_t size, std::uint64_t blocks) { return new BlockRing(size, blocks); }

  // The stream lets go (its producer has ended). Closes every word, so that
  // the blocks still out see it when they come back; the free ones and those
  // the producer took but never pushed go now, the ring with the last block.
  void release() noexcept {
    std::uint64_t free = static_cast<std::uint64_t>(std::popcount(own_));
    for (std::uint64_t w = 0; w < word_count(); ++w) {
      free += static_cast<std::uint64_t>(
          std::popcount(words_[w].bits.exchange(kClosed, std::memory_order_acq_rel) & block_bits(w)));
    }
    drop(1 + free);
  }

  // A block of the ring's size, or null once stop is requested while none
  // is free. Producer thread only.
  std::uint8_t* take(const std::stop_token& stop) {
    if (own_ == 0 && !grab(kPerWord) && !wait_for_returns(stop)) {
      return nullptr;
    }
    const auto bit = static_cast<std::uint64_t>(std::countr_zero(own_));
    own_ &= own_ - 1;
    return storage_.get() + (own_word_ * kPerWord + bit) * stride_ + kHeader;
  }

  // The BlockDeleter of the ring's blocks. Any thread.
  static void give_back(std::uint8_t* data) noexcept {
    const Header& header = *reinterpret_cast<const Header*>(data - kHeader);
    BlockRing& ring = *header.ring;
    const std::uint64_t seen = ring.words_[header.index / kPerWord].bits.fetch_or(
        std::uint64_t{1} << (header.index % kPerWord), std::memory_order_seq_cst);
    if (seen == kClosed) {
      ring.drop(1);  // the stream let go: the ring may go here
    } else if ((seen & kAsleep) != 0) {
      // The ring may be gone by now (the producer woken and the stream let
      // go); the wake-up is the plug-in's, not the ring's.
      std::lock_guard lock(sleep_mutex);
      returned_cv.notify_all();
    }
  }

 private:
  static constexpr std::size_t kHeader = 64;
  static constexpr std::uint64_t kPerWord = 63;
  static constexpr std::uint64_t kAsleep = std::uint64_t{1} << 63;
  // A word of a ring that its stream let go. A releaser never sees it
  // otherwise: its own bit is clear until it sets it.
  static constexpr std::uint64_t kClosed = ~std::uint64_t{0};
  struct Header {
    BlockRing* ring;
    std::uint64_t index;
  };
  static_assert(sizeof(Header) <= kHeader);
  struct alignas(64) Word {
    std::atomic<std::uint64_t> bits{0};
  };
  struct FreeStorage {
    void operator()(std::uint8_t* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
  };

  // Every sleeping producer of the plug-in waits on these, so that a releaser
  // that wakes one needs nothing of a ring that may be gone.
  static inline std::mutex sleep_mutex;
  static inline std::condition_variable_any returned_cv;

  BlockRing(std::uint64_t size, std::uint64_t blocks)
      : blocks_(blocks),
        words_(std::make_unique<Word[]>((blocks + kPerWord - 1) / kPerWord)),
        references_(static_cast<std::int64_t>(blocks) + 1) {
    // Whole cache lines per block, and, for sizes that are a multiple of a
    // page, one line more, so that the headers of consecutive blocks do not
    // all fall into the same cache set.
    stride_ = kHeader + (std::max<std::uint64_t>(size, 1) + 63) / 64 * 64;
    if (stride_ % 4096 == 0) {
      stride_ += 64;
    }
    storage_.reset(static_cast<std::uint8_t*>(::operator new[](stride_* blocks, std::align_val_t{64})));
    for (std::uint64_t w = 0; w < word_count(); ++w) {
      words_[w].bits.store(~kAsleep, std::memory_order_relaxed);  // all free; bits past the last block stay set
    }
    for (std::uint64_t i = 0; i < blocks; ++i) {
      new (storage_.get() + i * stride_) Header{this, i};
    }
  }

  std::uint64_t word_count() const noexcept { return (blocks_ + kPerWord - 1) / kPerWord; }

  // The bits of word w that stand for blocks.
  std::uint64_t block_bits(std::uint64_t w) const noexcept {
    const std::uint64_t in_word = std::min(kPerWord, blocks_ - w * kPerWord);
    return (std::uint64_t{1} << in_word) - 1;
  }

  // Takes the free bits of the first word that has at least `wanted` free
  // (or all of its blocks free, when it has fewer), looking from the one after
  // the last word taken. Producer thread only.
  bool grab(std::uint64_t wanted) noexcept {
    const std::uint64_t words = word_count();
    for (std::uint64_t n = 0; n < words; ++n) {
      const std::uint64_t w = (cursor_ + n) % words;
      const std::uint64_t mine = block_bits(w);
      const std::uint64_t free = words_[w].bits.load(std::memory_order_seq_cst) & mine;
      const std::uint64_t need = std::min(wanted, static_cast<std::uint64_t>(std::popcount(mine)));
      if (free != 0 && static_cast<std::uint64_t>(std::popcount(free)) >= need) {
        own_ = words_[w].bits.fetch_and(~mine, std::memory_order_acquire) & mine;
        own_word_ = w;
        cursor_ = w + 1;
        return true;
      }
    }
    return false;
  }

  void drop(std::uint64_t count) noexcept {
    const auto n = static_cast<std::int64_t>(count);
    if (references_.fetch_sub(n, std::memory_order_acq_rel) == n) {
      delete this;
    }
  }

  // No word is all free: looks again after pauses of 1, 2, 4, then 8 us
  // until kSpinBelow has passed, taking a word half free for the first 16 us,
  // then any free block; then sleeps until a block comes back. (Taking a
  // word with a few blocks back would have the producer and the releaser
  // write that word's line by turns.) False when stopped first.
  bool wait_for_returns(const std::stop_token& stop) {
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(1);
    for (auto now = start; now - start < kSpinBelow;) {
      for (const auto until = now + pause; now < until; now = std::chrono::steady_clock::now()) {
        if (stop.stop_requested()) {
          return false;
        }
        std::this_thread::yield();
      }
      if (grab(now - start < std::chrono::microseconds(16) ? kPerWord / 2 : 1)) {
        return true;
      }
      pause = std::min(pause * 2, std::chrono::microseconds(8));
    }
    // Asleep: a releaser that sets a bit after these sees kAsleep and wakes
    // us (under the mutex, so not before we wait); one that set it before,
    // grab() finds.
    for (std::uint64_t w = 0; w < word_count(); ++w) {
      words_[w].bits.fetch_or(kAsleep, std::memory_order_seq_cst);
    }
    bool got = false;
    {
      std::unique_lock lock(sleep_mutex);
      got = returned_cv.wait(lock, stop, [this] { return grab(1); });
    }
    for (std::uint64_t w = 0; w < word_count(); ++w) {
      words_[w].bits.fetch_and(~kAsleep, std::memory_order_relaxed);
    }
    return got;
  }

  const std::uint64_t blocks_;
  std::uint64_t stride_ = 0;
  std::unique_ptr<std::uint8_t[], FreeStorage> storage_;
  const std::unique_ptr<Word[]> words_;
  // The producer's: the free bits it took, of which word, and where to look
  // next. Written for every block, so on a line of their own: the fields
  // above are read by every release.
  alignas(64) std::uint64_t own_ = 0;
  std::uint64_t own_word_ = 0;
  std::uint64_t cursor_ = 0;
  // One for the stream, one per block, until the stream lets go; then one
  // per block still out.
  alignas(64) std::atomic<std::int64_t> references_;
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
