// libFuzzer target: the aligned re-cutting adapter (core/stream/aligned_chunker)
// against a reference model.
//
// The input chooses the alignment, a sequence of events (owning chunks, chunk
// views, error texts, optionally the end marker, which is always last) and,
// per emission, whether the consumer takes the viewed storage. Checked:
// - data bytes come out in order, each exactly once: after every incoming
//   event the bytes emitted so far are the input's whole units, counted
//   from the last text that stands for lost data, and after the end marker
//   or such a text all of them;
// - every data piece is a non-empty whole multiple of the alignment, except
//   the one right before the end marker or such a text, which holds the rest
//   (fewer than alignment bytes); nothing else is emitted for a zero-byte
//   chunk;
// - an error text arrives unchanged, in its place among the data;
// - a lease is published for each data piece and only then; take() gives the
//   same owner twice, null only for a device view run in place; taken storage
//   keeps its bytes while the chunker goes on;
// - every owning chunk is released exactly once, the downstream destroyed
//   once, and nothing leaks (ASan).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/stream/aligned_chunker.hpp"
#include "core/stream/view_lease.hpp"
#include "fuzz_check.hpp"
#include "vorn/stream.hpp"

namespace {

int released = 0;

void counting_delete(std::uint8_t* block) {
  ++released;
  delete[] block;
}

// Storage a consumer took, with the bytes it had when it was emitted.
struct Taken {
  std::shared_ptr<void> owner;
  const std::uint8_t* data;
  std::vector<std::uint8_t> bytes;
};

struct Consumer {
  FuzzedDataProvider* input = nullptr;
  std::uint64_t unit = 1;
  std::vector<std::uint8_t> out;           // every data byte emitted
  std::vector<std::uint64_t> piece_sizes;  // since the last error text
  std::vector<std::string> errors;
  std::size_t out_at_last_error = 0;  // data bytes emitted before the last error text
  bool ended = false;
  // The incoming chunk view's bytes while one is being sent, else empty: a
  // piece in there is the device's memory, which take() does not hand over.
  const std::uint8_t* device_begin = nullptr;
  const std::uint8_t* device_end = nullptr;
  int destroyed = 0;
  std::vector<Taken> taken;
};

void consumer_invoke(void* state, vorn::StreamEvent& event) {
  auto& c = *static_cast<Consumer*>(state);
  FUZZ_CHECK(!c.ended);
  pyvorn::ViewLease* lease = pyvorn::current_view_lease();
  switch (event.index()) {
    case 0:
      FUZZ_CHECK(lease == nullptr);
      c.ended = true;
      return;
    case 1:
      FUZZ_CHECK(lease == nullptr);
      c.errors.push_back(std::get<1>(event));
      c.out_at_last_error = c.out.size();
      return;
    case 3: {
      const vorn::DataView view = std::get<3>(event);
      FUZZ_CHECK(view.data != nullptr && view.size > 0);
      FUZZ_CHECK(lease != nullptr);
      c.out.insert(c.out.end(), view.data, view.data + view.size);
      c.piece_sizes.push_back(view.size);
      if (c.input->ConsumeBool()) {
        std::shared_ptr<void> owner = lease->take();
        FUZZ_CHECK(lease->take() == owner);
        const auto at = reinterpret_cast<std::uintptr_t>(view.data);
        const bool device_memory = at >= reinterpret_cast<std::uintptr_t>(c.device_begin) &&
                                   at < reinterpret_cast<std::uintptr_t>(c.device_end);
        FUZZ_CHECK((owner == nullptr) == device_memory);
        if (owner) {
          c.taken.push_back({std::move(owner), view.data, std::vector<std::uint8_t>(view.data, view.data + view.size)});
        }
      }
      return;
    }
    default:
      FUZZ_CHECK(false && "the chunker emits only end markers, error texts and chunk views");
  }
}

void consumer_destroy(void* state) {
  if (state != nullptr) {
    ++static_cast<Consumer*>(state)->destroyed;
  }
}

constexpr vorn::StreamCallbackOps kConsumerOps{&consumer_invoke, &consumer_destroy};

// Every piece since the last check is a whole multiple of the unit.
void check_aligned_pieces(Consumer& c) {
  for (std::uint64_t size : c.piece_sizes) {
    FUZZ_CHECK(size % c.unit == 0);
  }
  c.piece_sizes.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Consumer consumer;
  consumer.input = &input;
  // Mostly small units, where the cases meet; now and then a large one.
  consumer.unit = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint64_t>(1, 70000)
                                      : input.ConsumeIntegralInRange<std::uint64_t>(1, 24);
  const std::uint64_t unit = consumer.unit;
  released = 0;
  int made = 0;
  std::vector<std::uint8_t> in;  // every data byte sent
  std::size_t base = 0;          // where the current run of units began (after the last gap)
  auto whole_units = [&] { return in.size() - (in.size() - base) % unit; };

  {
    vorn::StreamCallback chunker = pyvorn::make_aligned_chunker(vorn::StreamCallback(&kConsumerOps, &consumer), unit);
    while (input.remaining_bytes() > 0 && !consumer.ended) {
      const int kind = input.ConsumeIntegralInRange(0, 9);
      if (kind == 0) {
        vorn::StreamEvent end;
        chunker(end);
        FUZZ_CHECK(consumer.ended);
        // The rest, if any, came as one short piece right before the marker.
        FUZZ_CHECK(consumer.out == in);
        if ((in.size() - base) % unit != 0) {
          FUZZ_CHECK(!consumer.piece_sizes.empty() && consumer.piece_sizes.back() == (in.size() - base) % unit);
          consumer.piece_sizes.pop_back();
        }
        check_aligned_pieces(consumer);
        break;
      }
      if (kind == 1) {
        const std::string text = input.ConsumeRandomLengthString(64);
        const std::size_t errors_before = consumer.errors.size();
        vorn::StreamEvent error(std::in_place_index<1>, text);
        chunker(error);
        FUZZ_CHECK(consumer.errors.size() == errors_before + 1 && consumer.errors.back() == text);
        if (pyvorn::stands_for_lost_data(text)) {  // what was held went first, short
          FUZZ_CHECK(consumer.out_at_last_error == in.size());
          if ((in.size() - base) % unit != 0) {
            FUZZ_CHECK(!consumer.piece_sizes.empty() && consumer.piece_sizes.back() == (in.size() - base) % unit);
            consumer.piece_sizes.pop_back();
          }
          base = in.size();
        }
        FUZZ_CHECK(consumer.out_at_last_error == whole_units());
        FUZZ_CHECK(consumer.out.size() == consumer.out_at_last_error);
        check_aligned_pieces(consumer);
        continue;
      }
      // A data chunk: up to a few units, its bytes from the input.
      const std::size_t wanted = input.ConsumeIntegralInRange<std::size_t>(
          0, static_cast<std::size_t>(std::min<std::uint64_t>(4 * unit + 3, 1 << 18)));
      std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(wanted);
      const std::size_t out_before = consumer.out.size();
      in.insert(in.end(), bytes.begin(), bytes.end());
      if (kind <= 5) {
        vorn::StreamEvent chunk(std::in_place_index<2>);
        if (!bytes.empty() || input.ConsumeBool()) {
          auto* block = new std::uint8_t[bytes.size() + 1];
          std::copy(bytes.begin(), bytes.end(), block);
          chunk = vorn::StreamEvent(std::in_place_index<2>, vorn::ManagedBuffer(block, bytes.size(), &counting_delete));
          ++made;
        }
        chunker(chunk);
      } else {
        // The device's own memory, overwritten once the call returned.
        vorn::StreamEvent view(std::in_place_index<3>, vorn::DataView{bytes.data(), bytes.size()});
        consumer.device_begin = bytes.data();
        consumer.device_end = bytes.data() + bytes.size();
        chunker(view);
        consumer.device_begin = consumer.device_end = nullptr;
        std::fill(bytes.begin(), bytes.end(), 0xA5);
      }
      FUZZ_CHECK(consumer.out.size() == whole_units());
      FUZZ_CHECK(std::equal(consumer.out.begin() + static_cast<std::ptrdiff_t>(out_before), consumer.out.end(),
                            in.begin() + static_cast<std::ptrdiff_t>(out_before)));
      check_aligned_pieces(consumer);
    }
    FUZZ_CHECK(pyvorn::current_view_lease() == nullptr);
  }
  FUZZ_CHECK(consumer.destroyed == 1);
  for (const Taken& t : consumer.taken) {
    FUZZ_CHECK(std::memcmp(t.data, t.bytes.data(), t.bytes.size()) == 0);
  }
  FUZZ_CHECK(released <= made);
  consumer.taken.clear();
  FUZZ_CHECK(released == made);
  return 0;
}
