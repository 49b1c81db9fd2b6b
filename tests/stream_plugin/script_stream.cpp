// A device-manager plug-in whose devices replay a script as a read stream.
// Its purpose: exact event sequences and device behaviour at start and stop
// (no stream, a throwing start, a late release), and chunks that break the
// rules of vorn/buffers.hpp, for the Python stream tests. The devices only
// stream (see StreamOnlyDevice).
//
// create_device(text) takes a script of space-separated steps; each stream
// started from the device runs the script on its own producer thread:
//   o:N     an owning chunk of N bytes (deleter counted, see get_info)
//   v:N     a chunk view of N bytes, overwritten right after the push
//   e:TEXT  an error text (underscores become spaces, %XX the byte 0xXX)
//   z:N     an owning chunk with null data and size N (the deleter counts a
//           call with null apart, as null_released)
//   zv:N    a chunk view with null data and size N
//   d:N     an owning chunk of N bytes with a null deleter; the stream keeps
//           the block alive itself until it is destroyed
//   huge    an owning chunk of an 8-byte block that claims 2^63 bytes
//           (deleter counted as for o:N)
//   bigview:N  a chunk view of a 16-byte buffer that claims 2^N bytes
//   two:N   two producer threads, released together by a spin barrier
//           before every 100 chunks, each push N owning chunks of 8 bytes
//           as fast as they can (bytes 0-3: the chunk's number 0..N-1,
//           bytes 4-7: the thread, 0 or 1, little-endian; deleter counted);
//           the script goes on once both are done. This breaks the rule of
//           one pushing thread at a time on purpose.
//   end     the end marker
//   loop    repeat the data steps until stopped (a tiny pause per round)
//   hold    wait until stop() before going on
// Options, also as steps:
//   nostream      start_read_stream starts nothing (takes the callback or not:
//                 see keep)
//   throw:TEXT    start_read_stream throws std::runtime_error(TEXT)
//   keep          with nostream: move the callback away and destroy it
//   lazy_release  stop() only joins; the callback is destroyed with the stream
//   stop_ms:N     stop() takes N milliseconds longer (after the producer ends)
//   stop_forever  stop() never returns (the thread that calls it stays there)
// Data bytes of o:N, v:N and d:N count up modulo 256 across the whole
// stream. get_info() reports "addr=A chunk_size=C released=R streams=S
// stops=N max_in_stop=M null_released=Z": the last start arguments, the
// owning blocks released so far (through the deleter, with a real block), the
// streams alive, the calls of stop() so far, the most threads ever inside
// stop() at once, and the deleter's calls with a null block (none is right).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream_only_device.hpp"
#include "vorn/vorn.hpp"

namespace {

std::atomic<long> released_chunks{0};
std::atomic<long> live_streams{0};
std::atomic<long> stop_calls{0};
std::atomic<long> inside_stop{0};
std::atomic<long> max_inside_stop{0};
std::atomic<long> null_releases{0};

// Counts the threads inside a stream's stop() for its lifetime.
class InsideStop {
 public:
  InsideStop() {
    stop_calls.fetch_add(1);
    const long now = inside_stop.fetch_add(1) + 1;
    for (long seen = max_inside_stop.load(); now > seen && !max_inside_stop.compare_exchange_weak(seen, now);) {
    }
  }
  ~InsideStop() { inside_stop.fetch_sub(1); }
  InsideStop(const InsideStop&) = delete;
  InsideStop& operator=(const InsideStop&) = delete;
};

void release_chunk(std::uint8_t* block) {
  if (block == nullptr) {
    null_releases.fetch_add(1);
    return;
  }
  delete[] block;
  released_chunks.fetch_add(1);
}

struct Step {
  // 'o', 'v', 'z', 'n' (zv), 'd', 'h' (huge), 'b' (bigview), '2' (two),
  // 'e', 'E' (end), 'L' (loop), 'H' (hold)
  char kind;
  std::uint64_t size = 0;
  std::string text;
};

// Steps written PREFIX:N, with their kinds.
struct SizedStep {
  const char* prefix;
  char kind;
};
constexpr SizedStep kSizedSteps[] = {{"o:", 'o'}, {"v:", 'v'},       {"z:", 'z'},  {"zv:", 'n'},
                                     {"d:", 'd'}, {"bigview:", 'b'}, {"two:", '2'}};

// The step's kind and number when `word` is one of kSizedSteps, else kind 0.
Step sized_step(const std::string& word) {
  for (const SizedStep& step : kSizedSteps) {
    const std::string prefix = step.prefix;
    if (word.size() > prefix.size() && word.compare(0, prefix.size(), prefix) == 0) {
      const std::uint64_t n = std::stoull(word.substr(prefix.size()));
      if (step.kind == 'b' && n > 63) {
        throw std::invalid_argument("bigview takes 0 to 63, got " + word);
      }
      return {step.kind, n, {}};
    }
  }
  return {0, 0, {}};
}

struct Script {
  std::vector<Step> steps;
  bool no_stream = false;
  bool keep_callback = false;
  bool lazy_release = false;
  bool stop_forever = false;
  long stop_ms = 0;
  std::string throw_text;
};

Script parse(const std::string& text) {
  Script script;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word == "end") {
      script.steps.push_back({'E', 0, {}});
    } else if (word == "loop") {
      script.steps.push_back({'L', 0, {}});
    } else if (word == "hold") {
      script.steps.push_back({'H', 0, {}});
    } else if (word == "nostream") {
      script.no_stream = true;
    } else if (word == "keep") {
      script.keep_callback = true;
    } else if (word == "lazy_release") {
      script.lazy_release = true;
    } else if (word == "stop_forever") {
      script.stop_forever = true;
    } else if (word.rfind("stop_ms:", 0) == 0) {
      script.stop_ms = std::stol(word.substr(8));
    } else if (word.rfind("throw:", 0) == 0) {
      script.throw_text = word.substr(6);
    } else if (word == "huge") {
      script.steps.push_back({'h', 0, {}});
    } else if (Step sized = sized_step(word); sized.kind != 0) {
      script.steps.push_back(sized);
    } else if (word.rfind("e:", 0) == 0) {
      std::string message;
      for (std::size_t i = 2; i < word.size(); ++i) {
        if (word[i] == '_') {
          message += ' ';
        } else if (word[i] == '%' && i + 2 < word.size()) {
          message += static_cast<char>(std::stoi(word.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          message += word[i];
        }
      }
      script.steps.push_back({'e', 0, message});
    } else {
      throw std::invalid_argument("unknown script step: " + word);
    }
  }
  return script;
}

class ScriptStream final : public vorn::Device::DataStream {
 public:
  ScriptStream(Script script, vorn::StreamCallback callback)
      : script_(std::move(script)), callback_(std::move(callback)) {
    live_streams.fetch_add(1);
    producer_ = std::thread([this] { run(); });
  }
  ~ScriptStream() override {
    stop();
    callback_.reset();
    live_streams.fetch_sub(1);
  }

  void stop() override {
    InsideStop inside;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (producer_.joinable()) {
      producer_.join();
    }
    if (script_.stop_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(script_.stop_ms));
    }
    while (script_.stop_forever) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (!script_.lazy_release) {
      callback_.reset();
    }
  }

 private:
  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  // The next `size` bytes of the counting pattern.
  std::vector<std::uint8_t> pattern(std::uint64_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(counter_++);
    return bytes;
  }

  void push(vorn::StreamEvent event) { callback_(event); }

  void push_data(char kind, std::uint64_t size) {
    std::vector<std::uint8_t> bytes = pattern(size);
    if (kind == 'o') {
      auto* block = new std::uint8_t[size > 0 ? size : 1];
      std::copy(bytes.begin(), bytes.end(), block);
      push(vorn::ManagedBuffer(block, size, release_chunk));
    } else if (kind == 'd') {
      kept_.push_back(std::make_unique<std::uint8_t[]>(size > 0 ? size : 1));
      std::copy(bytes.begin(), bytes.end(), kept_.back().get());
      push(vorn::ManagedBuffer(kept_.back().get(), size, nullptr));
    } else {
      view_ = bytes;
      push(vorn::DataView{view_.data(), size});
      std::fill(view_.begin(), view_.end(), 0xEE);  // the device reuses its buffer
    }
  }

  // Steps whose chunks break the rules of vorn/buffers.hpp.
  void push_misfit(const Step& step) {
    switch (step.kind) {
      case 'z':
        push(vorn::ManagedBuffer(nullptr, step.size, release_chunk));
        break;
      case 'n':
        push(vorn::DataView{nullptr, step.size});
        break;
      case 'h':
        push(vorn::ManagedBuffer(new std::uint8_t[8]{}, std::uint64_t{1} << 63, release_chunk));
        break;
      case 'b':
        push(vorn::DataView{small_, std::uint64_t{1} << step.size});
        break;
      default:
        break;
    }
  }

  // Two threads push `count` chunks each into the one callback. They meet
  // at a spin barrier before every 100 chunks and leave it together, so
  // their pushes overlap however the threads are scheduled otherwise.
  void push_from_two_threads(std::uint64_t count) {
    std::atomic<std::uint64_t> arrived{0};
    auto producer = [&](std::uint32_t thread) {
      for (std::uint64_t i = 0; i < count; ++i) {
        if (i % 100 == 0) {
          const std::uint64_t both = 2 * (i / 100 + 1);
          arrived.fetch_add(1);
          for (std::uint64_t spins = 1; arrived.load() < both; ++spins) {
            if (spins % (1 << 20) == 0) {
              std::this_thread::yield();  // the other thread may need this core
            }
          }
        }
        auto* block = new std::uint8_t[8];
        const auto number = static_cast<std::uint32_t>(i);
        for (int b = 0; b < 4; ++b) {
          block[b] = static_cast<std::uint8_t>(number >> (8 * b));
          block[4 + b] = static_cast<std::uint8_t>(thread >> (8 * b));
        }
        push(vorn::ManagedBuffer(block, 8, release_chunk));
      }
    };
    std::thread other(producer, 1u);
    producer(0u);
    other.join();
  }

  void run() {
    bool looping = false;
    do {
      for (const Step& step : script_.steps) {
        if (stopping()) return;
        switch (step.kind) {
          case 'o':
          case 'v':
          case 'd':
            push_data(step.kind, step.size);
            break;
          case 'z':
          case 'n':
          case 'h':
          case 'b':
            push_misfit(step);
            break;
          case '2':
            push_from_two_threads(step.size);
            break;
          case 'e': {
            vorn::StreamEvent event = step.text;
            callback_(event);
            break;
          }
          case 'E': {
            vorn::StreamEvent event;
            callback_(event);
            return;
          }
          case 'L':
            looping = true;
            break;
          case 'H': {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_; });
            return;
          }
        }
      }
      if (looping) std::this_thread::sleep_for(std::chrono::microseconds(200));
    } while (looping);
  }

  Script script_;
  vorn::StreamCallback callback_;
  std::vector<std::uint8_t> view_;
  std::vector<std::unique_ptr<std::uint8_t[]>> kept_;  // the blocks of d:N
  std::uint8_t small_[16] = {};                        // what bigview:N points at
  std::uint64_t counter_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread producer_;
};

class ScriptDevice final : public vorn_test::StreamOnlyDevice {
 public:
  explicit ScriptDevice(Script script) : script_(std::move(script)) {}

  std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr, vorn::StreamCallback&& callback,
                                                               std::uint64_t chunk_size) override {
    last_addr_ = addr;
    last_chunk_size_ = chunk_size;
    if (!script_.throw_text.empty()) {
      throw std::runtime_error(script_.throw_text);
    }
    if (script_.no_stream) {
      if (script_.keep_callback) {
        vorn::StreamCallback taken(std::move(callback));
      }
      return std::nullopt;
    }
    return std::make_unique<ScriptStream>(script_, std::move(callback));
  }

  std::optional<std::string> get_info() override {
    return "addr=" + std::to_string(last_addr_) + " chunk_size=" + std::to_string(last_chunk_size_) +
           " released=" + std::to_string(released_chunks.load()) + " streams=" + std::to_string(live_streams.load()) +
           " stops=" + std::to_string(stop_calls.load()) + " max_in_stop=" + std::to_string(max_inside_stop.load()) +
           " null_released=" + std::to_string(null_releases.load());
  }

 private:
  Script script_;
  std::uint32_t last_addr_ = 0;
  std::uint64_t last_chunk_size_ = 0;
};

class ScriptManager final : public vorn::DeviceManager {
 public:
  std::string info() override { return "script stream test manager"; }
  std::filesystem::path location() override { return {}; }
  std::string list_devices() override { return "script\n"; }
  std::string get_device_options() override {
    return "steps: o:N v:N e:TEXT z:N zv:N d:N huge bigview:N two:N end loop hold nostream keep throw:T "
           "lazy_release stop_ms:N stop_forever";
  }
  vorn::DeviceHolder create_device(const std::string& text) override {
    return vorn::DeviceHolder(new ScriptDevice(parse(text)), vorn::device_deleter{shared_from_this()});
  }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new ScriptManager(); }
