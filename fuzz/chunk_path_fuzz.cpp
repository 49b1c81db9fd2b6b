// libFuzzer target: the path of a device's chunks through a read stream, the
// EventPump (with its intake checks, core/stream/chunk_intake) and, when the
// input asks, the AlignedChunker behind it, against a model of what must
// arrive.
//
// The input chooses the path (plain, or aligned to 1..16 bytes), the queue
// limit (64..72) and a sequence of pushes: owning chunks and chunk views of
// input bytes, owning chunks with a null deleter, null data with zero, small
// and huge sizes, real blocks claiming sizes no buffer holds or no allocator
// gives, error texts, bursts that fill the queue, the end marker, and
// drains. Overflow is made deterministic by holding the worker: the consumer
// blocks inside the delivery of a "hold" text until the next drain, so that
// the queue fills exactly as the model says (checked after every push).
// Checked:
// - the consumer receives, in order, each stored chunk's bytes (a view or a
//   null-deleter chunk as a copy made at the push), each error text in its
//   place, the text of each chunk that breaks the rules, one overflow notice
//   per dropped event, and the end marker last and exactly once; an aligned
//   stream the same bytes re-cut into whole units (the rest before the end
//   and before a text that stands for lost data);
// - the plain consumer sees only owning chunks that a buffer can describe;
// - every owning block with a deleter is released exactly once (never with
//   null), a null deleter never called, and nothing leaks (ASan).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/stream/aligned_chunker.hpp"
#include "core/stream/event_pump.hpp"
#include "fuzz_check.hpp"
#include "vorn/stream.hpp"

namespace {

constexpr std::uint64_t kMaxBuffer = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
// At or above this, no allocator here gives the memory (the address space
// is 2^47 bytes; ASan refuses more than 2^40).
constexpr std::uint64_t kNoMemory = std::uint64_t{1} << 48;
const std::string kHold = "\x01hold";
const std::string kOverflow = "Queue Overflow, dropping event";

// The owning blocks with a deleter that are not released yet. The deleter
// runs on the worker and on this thread.
std::mutex live_mutex;
std::set<std::uint8_t*> live;

void counting_delete(std::uint8_t* block) {
  FUZZ_CHECK(block != nullptr);
  {
    std::lock_guard lock(live_mutex);
    FUZZ_CHECK(live.erase(block) == 1);
  }
  delete[] block;
}

std::uint8_t* new_block(const std::vector<std::uint8_t>& bytes) {
  auto* block = new std::uint8_t[bytes.size() + 1];
  std::copy(bytes.begin(), bytes.end(), block);
  std::lock_guard lock(live_mutex);
  live.insert(block);
  return block;
}

// What a consumer receives: data (bytes) or a text; the end marker apart.
struct Token {
  bool data;
  std::vector<std::uint8_t> bytes;
  std::string text;
  bool operator==(const Token&) const = default;
};

Token data_token(std::vector<std::uint8_t> bytes) { return {true, std::move(bytes), {}}; }
Token text_token(std::string text) { return {false, {}, std::move(text)}; }

// The consumer at the end of the path. Holds the worker inside each hold
// text until the fuzzer lets it go.
struct Consumer {
  bool aligned = false;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Token> tokens;
  int holds_entered = 0;
  int holds_released = 0;
  bool free_running = false;
  bool ended = false;
  int destroyed = 0;

  void on_event(vorn::StreamEvent& event) {
    std::unique_lock lock(mutex);
    FUZZ_CHECK(!ended);
    switch (event.index()) {
      case vorn::event_kind::end:
        ended = true;
        break;
      case vorn::event_kind::error: {
        const std::string& text = std::get<vorn::event_kind::error>(event);
        tokens.push_back(text_token(text));
        if (text == kHold) {
          const int hold = ++holds_entered;
          changed.notify_all();
          changed.wait(lock, [&] { return free_running || holds_released >= hold; });
        }
        break;
      }
      case vorn::event_kind::owned_chunk: {
        FUZZ_CHECK(!aligned);
        const vorn::ManagedBuffer& chunk = std::get<vorn::event_kind::owned_chunk>(event);
        FUZZ_CHECK(chunk.size <= 4096 && (chunk.data != nullptr || chunk.size == 0));
        tokens.push_back(data_token({chunk.data.get(), chunk.data.get() + chunk.size}));
        break;
      }
      case vorn::event_kind::chunk_view: {
        FUZZ_CHECK(aligned);
        const vorn::DataView view = std::get<vorn::event_kind::chunk_view>(event);
        FUZZ_CHECK(view.data != nullptr && view.size > 0 && view.size <= 4096);
        tokens.push_back(data_token({view.data, view.data + view.size}));
        break;
      }
      default:
        FUZZ_CHECK(false && "valueless event");
    }
    changed.notify_all();
  }

  template <typename Pred>
  void wait_until(Pred pred) {
    std::unique_lock lock(mutex);
    FUZZ_CHECK(changed.wait_for(lock, std::chrono::seconds(5), pred));
  }
};

void consumer_invoke(void* state, vorn::StreamEvent& event) { static_cast<Consumer*>(state)->on_event(event); }
void consumer_destroy(void* state) {
  if (state != nullptr) {
    auto& c = *static_cast<Consumer*>(state);
    std::lock_guard lock(c.mutex);
    ++c.destroyed;
  }
}
constexpr vorn::StreamCallbackOps kConsumerOps{&consumer_invoke, &consumer_destroy};

// The model: what the consumer of a plain stream must receive, and how many
// elements wait in the queue while the worker is held.
struct Model {
  std::int64_t limit = 64;
  std::vector<Token> tokens;
  std::int64_t waiting = 0;
  bool last_is_run = false;  // the last element stored is a run of notices
  bool ended = false;        // the end marker was pushed: nothing more arrives

  // An event pushed below the end marker: stored, or dropped for a notice.
  void arrive(Token token) {
    if (waiting >= limit) {
      if (!last_is_run) {
        ++waiting;
        last_is_run = true;
      }
      token = text_token(kOverflow);
    } else {
      ++waiting;
      last_is_run = false;
    }
    if (!ended) {
      tokens.push_back(std::move(token));
    }
  }
};

// What an aligned stream's consumer receives of `tokens`, data byte by
// byte: the whole units before each text, everything before the end and
// before a text that stands for lost data (after which units start afresh).
std::vector<Token> aligned_bytes(const std::vector<Token>& tokens, std::uint64_t unit, bool ended) {
  std::vector<std::uint8_t> in;
  std::size_t out = 0;
  std::size_t base = 0;  // where the current run of units began
  std::vector<Token> flat;
  auto emit = [&](std::size_t upto) {
    for (; out < upto; ++out) flat.push_back(data_token({in[out]}));
  };
  auto whole_units = [&] { return in.size() - (in.size() - base) % unit; };
  for (const Token& t : tokens) {
    if (t.data) {
      in.insert(in.end(), t.bytes.begin(), t.bytes.end());
    } else {
      const bool gap = pyvorn::stands_for_lost_data(t.text);
      emit(gap ? in.size() : whole_units());
      base = gap ? in.size() : base;
      flat.push_back(t);
    }
  }
  emit(ended ? in.size() : whole_units());
  return flat;
}

std::vector<Token> byte_by_byte(const std::vector<Token>& tokens) {
  std::vector<Token> flat;
  for (const Token& t : tokens) {
    if (!t.data) {
      flat.push_back(t);
    }
    for (std::uint8_t b : t.bytes) flat.push_back(data_token({b}));
  }
  return flat;
}

std::string sized_text(const char* head, std::uint64_t size, const char* tail) {
  return head + std::to_string(size) + tail;
}

// Sizes for chunks that claim more than their block holds.
std::uint64_t huge_size(FuzzedDataProvider& input, bool buffer_may_hold) {
  static constexpr std::uint64_t kHeld[] = {kNoMemory, std::uint64_t{1} << 62, kMaxBuffer};
  static constexpr std::uint64_t kNotHeld[] = {kMaxBuffer + 1, std::uint64_t{1} << 63 | 12345,
                                               std::numeric_limits<std::uint64_t>::max()};
  if (buffer_may_hold && input.ConsumeBool()) {
    return kHeld[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
  }
  return kNotHeld[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
}

class Run {
 public:
  explicit Run(FuzzedDataProvider& input) : input_(input) {
    consumer_.aligned = input.ConsumeBool();
    unit_ = input.ConsumeIntegralInRange<std::uint64_t>(1, 16);
    model_.limit = input.ConsumeIntegralInRange<std::int64_t>(64, 72);
    vorn::StreamCallback sink(&kConsumerOps, &consumer_);
    if (consumer_.aligned) {
      sink = pyvorn::make_aligned_chunker(std::move(sink), unit_);
    }
    pump_ = std::make_unique<pyvorn::EventPump>(std::move(sink), static_cast<std::int32_t>(model_.limit));
    hold();
  }

  void step() {
    switch (input_.ConsumeIntegralInRange(0, 12)) {
      case 0:
      case 1:
        push_owned(input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(0, 40)));
        break;
      case 2:
      case 3:
        push_view(input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(0, 40)));
        break;
      case 4:
        push_undeletable(input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(0, 40)),
                         input_.ConsumeBool() ? 0 : huge_size(input_, true));
        break;
      case 5: {
        // Null data: valid only without bytes.
        const std::uint64_t size =
            input_.ConsumeBool() ? 0 : huge_size(input_, true) >> input_.ConsumeIntegral<std::uint8_t>() % 64;
        push_null(size);
        break;
      }
      case 6:
        push_claiming(huge_size(input_, false));
        break;
      case 7: {
        // A view of 16 bytes claiming more.
        std::uint8_t small[16] = {};
        const std::uint64_t size = huge_size(input_, true);
        vorn::StreamEvent view(std::in_place_index<vorn::event_kind::chunk_view>, vorn::DataView{small, size});
        push(view, size > kMaxBuffer
                       ? sized_text("Invalid stream chunk: ", size, " bytes is more than a buffer can hold")
                       : sized_text("Out of memory: cannot copy a chunk view of ", size, " bytes"));
        break;
      }
      case 8: {
        std::string text = "e" + input_.ConsumeRandomLengthString(24);
        vorn::StreamEvent error(std::in_place_index<vorn::event_kind::error>, text);
        push(error, text_token(text));
        break;
      }
      case 9:
        for (int i = input_.ConsumeIntegralInRange(1, 80); i > 0; --i) {
          push_owned({static_cast<std::uint8_t>(i)});
        }
        break;
      case 10:
        if (!model_.ended) {
          vorn::StreamEvent end;
          pump_->push(end);
          ++model_.waiting;
          model_.last_is_run = false;
          model_.ended = true;
        }
        break;
      default:
        drain();
        break;
    }
  }

  // Ends the input's stream (or not), lets the worker go and checks what
  // arrived; the pump is gone afterwards.
  void finish() {
    if (!model_.ended && input_.ConsumeBool()) {
      vorn::StreamEvent end;
      pump_->push(end);
      model_.ended = true;
    }
    {
      std::lock_guard lock(consumer_.mutex);
      consumer_.free_running = true;
    }
    consumer_.changed.notify_all();
    if (model_.ended) {
      consumer_.wait_until([&] { return consumer_.ended; });
    }
    pump_.reset();
    FUZZ_CHECK(consumer_.destroyed == 1);
    const std::vector<Token> got = flat(consumer_.tokens);
    const std::vector<Token> want = expected();
    if (model_.ended) {
      FUZZ_CHECK(got == want);
    } else {
      FUZZ_CHECK(got.size() <= want.size() && std::equal(got.begin(), got.end(), want.begin()));
    }
  }

 private:
  std::vector<Token> flat(const std::vector<Token>& tokens) const {
    return consumer_.aligned ? byte_by_byte(tokens) : tokens;
  }
  std::vector<Token> expected() const {
    return consumer_.aligned ? aligned_bytes(model_.tokens, unit_, model_.ended) : model_.tokens;
  }

  // Pushes `event`, which arrives as `token` unless it is dropped; checks
  // the queue against the model while the worker is held.
  void push(vorn::StreamEvent& event, Token token) {
    pump_->push(event);
    model_.arrive(std::move(token));
    if (!model_.ended) {
      FUZZ_CHECK(pump_->waiting() == model_.waiting);
    }
  }
  void push(vorn::StreamEvent& event, std::string text) { push(event, text_token(std::move(text))); }

  void push_owned(std::vector<std::uint8_t> bytes) {
    vorn::StreamEvent chunk(std::in_place_index<vorn::event_kind::owned_chunk>,
                            vorn::ManagedBuffer(new_block(bytes), bytes.size(), &counting_delete));
    push(chunk, data_token(std::move(bytes)));
  }

  void push_view(std::vector<std::uint8_t> bytes) {
    vorn::StreamEvent view(std::in_place_index<vorn::event_kind::chunk_view>,
                           vorn::DataView{bytes.data(), bytes.size()});
    std::vector<std::uint8_t> sent = bytes;
    push(view, data_token(std::move(sent)));
    std::fill(bytes.begin(), bytes.end(), 0xA5);  // the device reuses its memory at once
  }

  // An owning chunk with a null deleter: the block stays ours. Claiming
  // `claim` bytes (when not 0) that no allocator gives.
  void push_undeletable(std::vector<std::uint8_t> bytes, std::uint64_t claim) {
    auto block = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), block.get());
    const std::uint64_t size = claim != 0 ? claim : bytes.size();
    vorn::StreamEvent chunk(std::in_place_index<vorn::event_kind::owned_chunk>,
                            vorn::ManagedBuffer(block.get(), size, nullptr));
    Token token = claim == 0 ? data_token(bytes)
                  : size > kMaxBuffer
                      ? text_token(sized_text("Invalid stream chunk: ", size, " bytes is more than a buffer can hold"))
                      : text_token(sized_text("Out of memory: cannot copy a chunk view of ", size, " bytes"));
    push(chunk, std::move(token));
    // What the push leaves in the event holds our block no more: it was let
    // go of, never deleted.
    const auto* left = std::get_if<vorn::event_kind::owned_chunk>(&chunk);
    FUZZ_CHECK(left == nullptr || left->data == nullptr);
    std::fill(block.get(), block.get() + bytes.size(), 0x5A);
  }

  // Null data with `size` bytes, as an owning chunk (with or without a
  // deleter) or as a view.
  void push_null(std::uint64_t size) {
    const int kind = input_.ConsumeIntegralInRange(0, 2);
    vorn::StreamEvent chunk =
        kind == 2 ? vorn::StreamEvent(std::in_place_index<vorn::event_kind::chunk_view>, vorn::DataView{nullptr, size})
                  : vorn::StreamEvent(std::in_place_index<vorn::event_kind::owned_chunk>,
                                      vorn::ManagedBuffer(nullptr, size, kind == 0 ? &counting_delete : nullptr));
    push(chunk,
         size == 0 ? data_token({}) : text_token(sized_text("Invalid stream chunk: null data with ", size, " bytes")));
  }

  // An owning 8-byte block claiming more bytes than a buffer holds.
  void push_claiming(std::uint64_t size) {
    vorn::StreamEvent chunk(std::in_place_index<vorn::event_kind::owned_chunk>,
                            vorn::ManagedBuffer(new_block(std::vector<std::uint8_t>(8)), size, &counting_delete));
    push(chunk, sized_text("Invalid stream chunk: ", size, " bytes is more than a buffer can hold"));
  }

  // Stores a hold text (the queue is empty) and waits until the worker is
  // held in it.
  void hold() {
    vorn::StreamEvent text(std::in_place_index<vorn::event_kind::error>, kHold);
    pump_->push(text);
    model_.tokens.push_back(text_token(kHold));
    const int hold = ++holds_;
    consumer_.wait_until([&] { return consumer_.holds_entered == hold; });
    FUZZ_CHECK(pump_->waiting() == 0);
    model_.waiting = 0;
    model_.last_is_run = false;
  }

  // Lets the worker deliver all that waits, then holds it again, and checks
  // what arrived so far.
  void drain() {
    if (model_.ended) {
      return;  // nothing more is delivered
    }
    {
      std::lock_guard lock(consumer_.mutex);
      consumer_.holds_released = holds_;
    }
    consumer_.changed.notify_all();
    while (pump_->waiting() != 0) {
      std::this_thread::yield();
    }
    hold();
    std::lock_guard lock(consumer_.mutex);
    FUZZ_CHECK(flat(consumer_.tokens) == expected());
  }

  FuzzedDataProvider& input_;
  Consumer consumer_;
  Model model_;
  std::uint64_t unit_ = 1;
  int holds_ = 0;
  std::unique_ptr<pyvorn::EventPump> pump_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  {
    Run run(input);
    for (int steps = 0; input.remaining_bytes() > 0 && steps < 400; ++steps) {
      run.step();
    }
    run.finish();
  }
  std::lock_guard lock(live_mutex);
  FUZZ_CHECK(live.empty());
  return 0;
}
