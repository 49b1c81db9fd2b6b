// The blocks into which an event pump copies chunk views.
#pragma once

#include <atomic>
#include <cstdint>

#include "vorn/buffers.hpp"

namespace pyvorn {

// Recycles the blocks of one pump's copies, so that a stream of chunk views
// costs no malloc and free per event. Sizes up to kMaxPooled bytes are
// rounded up to a power of two (at least 64) and each size has its own free
// list; larger copies are plain allocations. Every block, pooled or not, is
// released through copy_block_deleter(), module code, so such blocks need no
// plug-in kept loaded.
//
// Threading and ownership:
// - take() is called by the pump's producer, one thread at a time.
// - The deleter may run on any thread, at any time (the last owner of a block
//   may be Python, the worker or the pump's destructor); a block given back
//   goes onto its size's free list with one compare-and-swap, without a lock.
// - The pump owns the pool and lets go with close(), on any thread, once no
//   take() can run any more. Blocks still out then are freed as they come
//   back; the pool's memory goes with the last of them.
// - Free blocks kept for reuse are bounded per size (kKeptBytes, at least
//   kKeptBlocks blocks): the producer frees the excess when it collects
//   blocks given back.
// Never throws; never touches Python.
class CopyBlocks {
 public:
  static constexpr std::uint64_t kMaxPooled = 64 * 1024;
  static constexpr std::uint64_t kKeptBytes = 16ull << 20;
  static constexpr std::uint64_t kKeptBlocks = 64;

  // Null when there is no memory for it.
  static CopyBlocks* create() noexcept;

  // A block of at least `size` bytes, contents undefined, to be released
  // through copy_block_deleter(); null without memory. Producer thread.
  std::uint8_t* take(std::uint64_t size) noexcept;

  // The owner lets go. Any thread, once take() can no longer run.
  void close() noexcept;

  CopyBlocks(const CopyBlocks&) = delete;
  CopyBlocks& operator=(const CopyBlocks&) = delete;

 private:
  struct Header;
  struct Node;
  struct Shelf;

  CopyBlocks() noexcept;
  ~CopyBlocks();

  static void give_back(std::uint8_t* data) noexcept;  // the deleter
  friend vorn::BlockDeleter copy_block_deleter() noexcept;
  void collect(Shelf& shelf) noexcept;
  void drop_references(std::int64_t count) noexcept;

  Shelf* shelves_ = nullptr;  // one per pooled size
  // One for the owner, one per block made and not freed yet (on a free list
  // or out). Written by the producer when it makes or frees blocks, by any
  // thread only once closed.
  alignas(64) std::atomic<std::int64_t> references_{1};
};

// The deleter of every block that CopyBlocks::take hands out.
vorn::BlockDeleter copy_block_deleter() noexcept;

}  // namespace pyvorn
