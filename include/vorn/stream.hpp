// Stream events and the callback through which a device delivers them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

#include "vorn/buffers.hpp"

namespace vorn {

// One event of a read stream. The index order is part of the plug-in ABI:
//   0 std::monostate  end marker, the last event of a stream
//   1 std::string     an error reported by the stream
//   2 ManagedBuffer   owning chunk: ownership passes with the event
//   3 DataView        chunk view: the bytes need to stay valid only until the
//                     callback returns
// The rules for the chunks, and what the module makes of a chunk that breaks
// them, are in vorn/buffers.hpp.
using StreamEvent = std::variant<std::monostate, std::string, ManagedBuffer, DataView>;

// The alternatives by name, for index(), std::in_place_index, std::get and
// std::get_if: `event.index() == event_kind::end`.
namespace event_kind {
inline constexpr std::size_t end = 0;
inline constexpr std::size_t error = 1;
inline constexpr std::size_t owned_chunk = 2;
inline constexpr std::size_t chunk_view = 3;
}  // namespace event_kind

// Operations of a StreamCallback. invoke may move the payload out of the
// event; destroy releases the state and accepts a null state. Neither may let
// an exception escape.
struct StreamCallbackOps {
  void (*invoke)(void* state, StreamEvent& event);
  void (*destroy)(void* state);
};

// Move-only, type-erased callback: two plain pointers, safe to pass between
// separately built binaries. The callback object owns its state.
//
// Threading: a device must not invoke the same callback from two threads at
// once: one producer at a time (it may be a different thread from one call
// to the next, if the device orders the calls itself). Invoking the
// callbacks the module hands to devices never blocks and never takes the
// Python GIL, so a device may invoke them from any thread of its own. Should
// two calls overlap all the same, the module lets the later one wait
// (spinning, yielding) until the earlier has returned, so nothing is lost,
// and the first time on a stream delivers the error text "Stream callback
// invoked from two threads at once: a device must push from one thread at a
// time" before that call's event. The waiting is what it costs: a device
// that pushes from several threads should put them behind a lock of its own.
//
// Destroying a callback waits for the module's delivery thread to finish its
// current call into Python (giving up the GIL meanwhile if the destroying
// thread holds it). So destroy it on a thread that no caller holding the GIL
// waits for: in stop() or the stream's destructor, after joining the
// producer, not on the producer thread itself.
class StreamCallback {
 public:
  StreamCallback() noexcept = default;
  StreamCallback(const StreamCallbackOps* ops, void* state) noexcept : ops_(ops), state_(state) {}
  StreamCallback(StreamCallback&& other) noexcept : ops_(other.ops_), state_(std::exchange(other.state_, nullptr)) {}
  StreamCallback& operator=(StreamCallback&& other) noexcept {
    if (this != &other) {
      reset();
      ops_ = other.ops_;
      state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
  }
  StreamCallback(const StreamCallback&) = delete;
  StreamCallback& operator=(const StreamCallback&) = delete;
  ~StreamCallback() { reset(); }

  // Delivers one event. Must not be called on an empty (moved-from) callback.
  void operator()(StreamEvent& event) const { ops_->invoke(state_, event); }

  // True while the callback owns a state.
  explicit operator bool() const noexcept { return state_ != nullptr; }

  // Destroys the state now; the callback becomes empty.
  void reset() noexcept {
    if (state_ != nullptr) {
      ops_->destroy(std::exchange(state_, nullptr));
    }
  }

 private:
  // Read access to the two pointers for the module's own tests; declared
  // here, defined only by them. Adds nothing to the layout.
  friend struct StreamCallbackAccess;

  const StreamCallbackOps* ops_ = nullptr;
  void* state_ = nullptr;
};

}  // namespace vorn
