// A device-manager plug-in whose devices replay a script as a read stream.
// Its purpose: exact event sequences and device behaviour at start and stop
// (no stream, a throwing start, a late release) for the Python stream tests.
// The devices only stream (see StreamOnlyDevice).
//
// create_device(text) takes a script of space-separated steps; each stream
// started from the device runs the script on its own producer thread:
//   o:N     an owning chunk of N bytes (deleter counted, see get_info)
//   v:N     a chunk view of N bytes, overwritten right after the push
//   e:TEXT  an error text (underscores become spaces, %XX the byte 0xXX)
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
// Data bytes count up modulo 256 across the whole stream. get_info() reports
// "addr=A chunk_size=C released=R streams=S stops=N max_in_stop=M": the last
// start arguments, the owning chunks released so far, the streams alive, the
// calls of stop() so far and the most threads ever inside stop() at once.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
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
  delete[] block;
  released_chunks.fetch_add(1);
}

struct Step {
  char kind;  // 'o', 'v', 'e', 'E' (end), 'L' (loop), 'H' (hold)
  std::uint64_t size = 0;
  std::string text;
};

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
    } else if (word.size() > 2 && word[1] == ':' && (word[0] == 'o' || word[0] == 'v')) {
      script.steps.push_back({word[0], std::stoull(word.substr(2)), {}});
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

  void push_data(char kind, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(counter_++);
    if (kind == 'o') {
      auto* block = new std::uint8_t[size > 0 ? size : 1];
      std::copy(bytes.begin(), bytes.end(), block);
      vorn::StreamEvent event = vorn::ManagedBuffer(block, size, release_chunk);
      callback_(event);
    } else {
      view_ = bytes;
      vorn::StreamEvent event = vorn::DataView{view_.data(), size};
      callback_(event);
      std::fill(view_.begin(), view_.end(), 0xEE);  // the device reuses its buffer
    }
  }

  void run() {
    bool looping = false;
    do {
      for (const Step& step : script_.steps) {
        if (stopping()) return;
        switch (step.kind) {
          case 'o':
          case 'v':
            push_data(step.kind, step.size);
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
           " stops=" + std::to_string(stop_calls.load()) + " max_in_stop=" + std::to_string(max_inside_stop.load());
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
    return "steps: o:N v:N e:TEXT end loop hold nostream keep throw:T lazy_release stop_ms:N stop_forever";
  }
  vorn::DeviceHolder create_device(const std::string& text) override {
    return vorn::DeviceHolder(new ScriptDevice(parse(text)), vorn::device_deleter{shared_from_this()});
  }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new ScriptManager(); }
