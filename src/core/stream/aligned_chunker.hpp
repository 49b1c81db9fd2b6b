// The aligning adapter of start_aligned_read_stream.
#pragma once

#include <cstdint>
#include <string>

#include "vorn/stream.hpp"

namespace pyvorn {

// Returns a StreamCallback that re-cuts the stream's data into whole multiples
// of `alignment` bytes and passes them on to `downstream` as chunk views
// (index 3), followed at the end by the unaligned rest:
// - end marker: the bytes still held (fewer than `alignment`), if any, then
//   the end marker;
// - error text: moved into a new error event and passed on, in its place;
//   when it stands for lost data (an overflow notice, a chunk replaced by
//   its error), the bytes still held go first, as a short piece, and the
//   next data starts a fresh unit: no unit is made of bytes from both sides
//   of a gap;
// - data (owning chunk or chunk view; only pointer and size are read): the
//   aligned run inside the chunk is emitted in place, without copying; only
//   the bytes that complete a unit begun by an earlier chunk and the chunk's
//   unaligned tail (each fewer than `alignment` bytes) are copied into a carry
//   buffer, which is emitted when full. Zero-byte chunks emit nothing.
// Every emitted view is valid only for the downstream call. Around each data
// emission a ViewLease (core/stream/view_lease.hpp) is published on the calling
// thread; its take() hands the viewed storage over to the caller:
// - for the carry: the carry buffer itself (the chunker continues with a
//   fresh one, so the handed bytes are never overwritten);
// - for an in-place run of an incoming owning chunk: that chunk's
//   ManagedBuffer, moved out of the incoming event (each in-place emission is
//   the last use of the incoming bytes);
// - for an in-place run of an incoming chunk view: null (the device's bytes).
// take() may throw std::bad_alloc (nothing is taken then); a second call in
// the same emission returns the same owner.
//
// Runs on the thread that invokes it (the pump's worker). The downstream must
// not throw from invoke or destroy; nothing here catches.
//
// Throws std::invalid_argument naming the value when alignment is 0, and
// std::bad_alloc (or std::length_error) when the carry cannot be allocated;
// `downstream` is destroyed then.
vorn::StreamCallback make_aligned_chunker(vorn::StreamCallback downstream, std::uint64_t alignment);

// True for the error texts that take the place of data the consumer never
// gets (the overflow notice, a chunk replaced by its error): no unit is made
// of bytes from both sides of one. Any thread.
bool stands_for_lost_data(const std::string& text) noexcept;

}  // namespace pyvorn
