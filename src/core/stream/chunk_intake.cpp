#include "core/stream/chunk_intake.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <variant>

namespace pyvorn {
namespace {

// The largest chunk a Python buffer can describe (Py_ssize_t is ptrdiff_t
// wide); with a copy's 16-byte header it still fits size_t, so a copy's
// allocation sees the size unchanged.
constexpr std::uint64_t kMaxChunkBytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

// Replaces the event by the text `head` + size + `tail`; false when the text
// cannot be allocated (the event is then left empty).
bool replace_by_text(vorn::StreamEvent& event, const char* head, std::uint64_t size, const char* tail) noexcept {
  try {
    std::string text = head + std::to_string(size) + tail;
    event.emplace<vorn::event_kind::error>(std::move(text));
    return true;
  } catch (const std::bad_alloc&) {
    event = vorn::StreamEvent{};
    return false;
  }
}

// The first check a chunk fails, as the start and end of its text, or null
// heads when it keeps the rules.
struct Refusal {
  const char* head = nullptr;
  const char* tail = nullptr;
};

Refusal check(const std::uint8_t* data, std::uint64_t size) noexcept {
  if (data == nullptr && size != 0) {
    return {"Invalid stream chunk: null data with ", " bytes"};
  }
  if (size > kMaxChunkBytes) {
    return {"Invalid stream chunk: ", " bytes is more than a buffer can hold"};
  }
  return {};
}

// Lets go of an owning chunk's block: through its deleter, or (null deleter:
// the block is the device's) without a call.
void release(vorn::ManagedBuffer& chunk) noexcept {
  if (chunk.data.get_deleter() == nullptr) {
    (void)chunk.data.release();
  }
  chunk.data.reset();
}

// Replaces the event by an owning copy of `size` bytes at `data` (which the
// event may own: the event is replaced only after the copy).
bool replace_by_copy(vorn::StreamEvent& event, const std::uint8_t* data, std::uint64_t size,
                     CopyBlocks& copies) noexcept {
  std::uint8_t* block = copies.take(size);
  if (block == nullptr) {
    if (auto* chunk = std::get_if<vorn::event_kind::owned_chunk>(&event)) {
      release(*chunk);
    }
    return replace_by_text(event, "Out of memory: cannot copy a chunk view of ", size, " bytes");
  }
  if (size != 0) {
    std::memcpy(block, data, static_cast<std::size_t>(size));
  }
  if (auto* chunk = std::get_if<vorn::event_kind::owned_chunk>(&event)) {
    release(*chunk);
  }
  event.emplace<vorn::event_kind::owned_chunk>(block, size, copy_block_deleter());
  return true;
}

}  // namespace

bool prepare_for_queue(vorn::StreamEvent& event, CopyBlocks& copies) noexcept {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  if (auto* chunk = std::get_if<vorn::event_kind::owned_chunk>(&event)) {
    data = chunk->data.get();
    size = chunk->size;
    const Refusal refusal = check(data, size);
    if (refusal.head == nullptr && chunk->data.get_deleter() != nullptr) {
      return true;  // the common case: ownership passes with the event
    }
    if (refusal.head != nullptr) {
      release(*chunk);
      return replace_by_text(event, refusal.head, size, refusal.tail);
    }
  } else if (auto* view = std::get_if<vorn::event_kind::chunk_view>(&event)) {
    data = view->data;
    size = view->size;
    if (const Refusal refusal = check(data, size); refusal.head != nullptr) {
      return replace_by_text(event, refusal.head, size, refusal.tail);
    }
  } else {
    return true;  // an error text
  }
  // The device may reuse the bytes once push returns: store a copy.
  return replace_by_copy(event, data, size, copies);
}

void disown_undeletable(vorn::StreamEvent& event) noexcept {
  if (auto* chunk = std::get_if<vorn::event_kind::owned_chunk>(&event); chunk && !chunk->data.get_deleter()) {
    (void)chunk->data.release();
  }
}

}  // namespace pyvorn
