#include "core/stream/aligned_chunker.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/stream/event_pump.hpp"
#include "core/stream/view_lease.hpp"

namespace pyvorn {
namespace {

struct AlignedChunker {
  std::vector<std::uint8_t> carry;  // exactly `alignment` bytes
  std::uint64_t fill = 0;           // bytes held at the front of carry
  vorn::StreamCallback downstream;
  std::uint64_t alignment;
  // For a power of two, a remainder is a mask, not a division.
  bool power_of_two;
  // The lease slot of the pump worker this chunker emits on, kept from its
  // first emission there: behind an EventPump a consumer is invoked and
  // destroyed on the pump's worker only, so the slot stays this thread's for
  // the chunker's life. Elsewhere each emission looks the slot up.
  ViewLease** worker_slot = nullptr;

  AlignedChunker(vorn::StreamCallback next, std::uint64_t unit)
      : carry(static_cast<std::size_t>(unit)),
        downstream(std::move(next)),
        alignment(unit),
        power_of_two(std::has_single_bit(unit)) {}

  ViewLease*& lease_slot() noexcept {
    if (worker_slot != nullptr) {
      return *worker_slot;
    }
    ViewLease*& slot = view_lease_slot();
    if (on_delivery_thread()) {
      worker_slot = &slot;
    }
    return slot;
  }

  std::uint64_t remainder(std::uint64_t size) const noexcept {
    return power_of_two ? size & (alignment - 1) : size % alignment;
  }

  void on_event(vorn::StreamEvent& event);
  void on_data(std::uint8_t* data, std::uint64_t size, vorn::StreamEvent* owning);
  void emit_carry(std::uint64_t size);
  void emit_in_place(std::uint8_t* data, std::uint64_t size, vorn::StreamEvent* owning);
  void emit(std::uint8_t* data, std::uint64_t size, ViewLease& lease);

  // Hands the carry buffer over and continues with a fresh zero-filled one
  // that holds the same first `fill` bytes (only after the end marker are any
  // still held at that point).
  std::shared_ptr<void> take_carry() {
    std::vector<std::uint8_t> fresh(carry.size());
    std::copy_n(carry.begin(), static_cast<std::size_t>(fill), fresh.begin());
    auto owner = std::make_shared<std::vector<std::uint8_t>>(std::move(carry));
    carry = std::move(fresh);
    return owner;
  }
};

// The lease published for one emission.
class EmissionLease final : public ViewLease {
 public:
  enum class Source { carry, owning_chunk, device };

  EmissionLease(AlignedChunker& chunker, Source source, vorn::StreamEvent* owning) noexcept
      : chunker_(chunker), owning_(owning), source_(source) {}

  std::shared_ptr<void> take() override {
    if (!taken_) {
      switch (source_) {
        case Source::carry:
          taken_ = chunker_.take_carry();
          break;
        case Source::owning_chunk:
          taken_ =
              std::make_shared<vorn::ManagedBuffer>(std::move(*std::get_if<vorn::event_kind::owned_chunk>(owning_)));
          break;
        case Source::device:
          break;
      }
    }
    return taken_;
  }

 private:
  AlignedChunker& chunker_;
  vorn::StreamEvent* owning_;
  Source source_;
  std::shared_ptr<void> taken_;
};

void AlignedChunker::emit(std::uint8_t* data, std::uint64_t size, ViewLease& lease) {
  ViewLeaseScope scope(lease_slot(), lease);
  vorn::StreamEvent out(std::in_place_index<vorn::event_kind::chunk_view>, vorn::DataView{data, size});
  downstream(out);
}

void AlignedChunker::emit_carry(std::uint64_t size) {
  EmissionLease lease(*this, EmissionLease::Source::carry, nullptr);
  emit(carry.data(), size, lease);
}

void AlignedChunker::emit_in_place(std::uint8_t* data, std::uint64_t size, vorn::StreamEvent* owning) {
  EmissionLease lease(*this, owning != nullptr ? EmissionLease::Source::owning_chunk : EmissionLease::Source::device,
                      owning);
  emit(data, size, lease);
}

// `owning` is the incoming event when it is an owning chunk, else null. In
// each case the in-place emission comes last: after it, the incoming bytes
// (which take() may have handed over) are not touched again.
void AlignedChunker::on_data(std::uint8_t* data, std::uint64_t size, vorn::StreamEvent* owning) {
  if (size == 0 || data == nullptr) {
    return;
  }
  const std::uint64_t unit = alignment;
  if (fill == 0) {
    const std::uint64_t tail = remainder(size);
    fill = tail;
    std::memcpy(carry.data(), data + (size - tail), tail);
    if (size - tail > 0) {
      emit_in_place(data, size - tail, owning);
    }
  } else if (size < unit - fill) {
    std::memcpy(carry.data() + fill, data, size);
    fill += size;
  } else {
    const std::uint64_t need = unit - fill;
    std::memcpy(carry.data() + fill, data, need);
    fill = 0;  // the unit is complete and goes downstream whole
    emit_carry(unit);
    const std::uint64_t rest = size - need;
    const std::uint64_t tail = remainder(rest);
    fill = tail;
    std::memcpy(carry.data(), data + (size - tail), tail);  // carry may be a fresh buffer now
    if (rest - tail > 0) {
      emit_in_place(data + need, rest - tail, owning);
    }
  }
}

void AlignedChunker::on_event(vorn::StreamEvent& event) {
  switch (event.index()) {
    case vorn::event_kind::end:
      if (fill > 0) {
        emit_carry(fill);  // the last, unaligned piece; fill is not reset
      }
      downstream(event);
      return;
    case vorn::event_kind::error: {
      if (fill > 0 && stands_for_lost_data(*std::get_if<vorn::event_kind::error>(&event))) {
        emit_carry(fill);  // the bytes before the gap, short: never joined to those after it
        fill = 0;
      }
      vorn::StreamEvent error(std::in_place_index<vorn::event_kind::error>,
                              std::move(*std::get_if<vorn::event_kind::error>(&event)));
      downstream(error);
      return;
    }
    case vorn::event_kind::owned_chunk: {
      vorn::ManagedBuffer& chunk = *std::get_if<vorn::event_kind::owned_chunk>(&event);
      on_data(chunk.data.get(), chunk.size, &event);
      return;
    }
    case vorn::event_kind::chunk_view: {
      const vorn::DataView view = *std::get_if<vorn::event_kind::chunk_view>(&event);
      on_data(view.data, view.size, nullptr);
      return;
    }
    default:
      downstream(event);  // valueless: the sink reports it
      return;
  }
}

void chunker_invoke(void* state, vorn::StreamEvent& event) { static_cast<AlignedChunker*>(state)->on_event(event); }

void chunker_destroy(void* state) { delete static_cast<AlignedChunker*>(state); }

constexpr vorn::StreamCallbackOps kChunkerOps{&chunker_invoke, &chunker_destroy};

}  // namespace

// The pump's overflow notice (core/stream/event_pump.cpp) and the chunk
// intake's texts for a chunk it could not queue (core/stream/chunk_intake.cpp).
bool stands_for_lost_data(const std::string& text) noexcept {
  for (const std::string_view notice :
       {"Queue Overflow, dropping event", "Invalid stream chunk: ", "Out of memory: cannot copy a chunk view of "}) {
    if (text.starts_with(notice)) {
      return true;
    }
  }
  return false;
}

vorn::StreamCallback make_aligned_chunker(vorn::StreamCallback downstream, std::uint64_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("alignment must be at least 1 byte, got " + std::to_string(alignment));
  }
  auto chunker = std::make_unique<AlignedChunker>(std::move(downstream), alignment);
  return vorn::StreamCallback(&kChunkerOps, chunker.release());
}

}  // namespace pyvorn
