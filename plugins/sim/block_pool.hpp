// Recycled byte blocks for owning stream chunks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vorn/buffers.hpp"

namespace vorn::sim {

// A pool of equally sized blocks, handed out as ManagedBuffers whose deleter
// is a plain function that returns the block to its pool. The pool is
// reference-counted: the producer's PoolHandle holds one reference and every
// block handed out holds one more, so the pool lives until the producer has
// let go and the last block has come back, on whichever thread that happens
// (it must only happen while the plug-in library is still loaded).
class BlockPool {
 public:
  // The producer's reference. Not thread-safe itself: one thread at a time
  // acquires blocks; blocks may be released anywhere, at any time.
  class Handle {
   public:
    Handle() noexcept = default;
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle();

    // A block of `size` bytes (at most the pool's block size), contents
    // undefined. Reuses a returned block when there is one. Throws
    // std::bad_alloc.
    ManagedBuffer acquire(std::uint64_t size);

    // Blocks currently allocated by the pool (handed out or idle).
    std::uint64_t blocks_allocated() const noexcept;

   private:
    friend class BlockPool;
    explicit Handle(BlockPool* pool) noexcept : pool_(pool) {}
    void reset() noexcept;
    BlockPool* pool_ = nullptr;
  };

  // Throws std::bad_alloc. max_idle_bytes bounds the memory kept for reuse.
  static Handle create(std::uint64_t block_size, std::uint64_t max_idle_bytes = 64ull << 20);

  // Pools alive in the process (for tests: every pool must go eventually).
  static std::uint64_t live_pools() noexcept;

 private:
  struct Block;

  BlockPool(std::uint64_t block_size, std::uint64_t max_idle_blocks) noexcept;
  ~BlockPool();

  static void release(std::uint8_t* data) noexcept;  // the BlockDeleter
  Block* allocate_block();
  static void free_block(Block* block) noexcept;
  void give_back(Block* block) noexcept;
  void unref() noexcept;

  const std::uint64_t block_size_;
  const std::uint64_t max_idle_blocks_;
  std::atomic<std::uint64_t> refs_{1};
  std::atomic<std::uint64_t> allocated_{0};
  std::atomic<std::uint64_t> idle_{0};     // blocks in returned_ plus spare_
  std::atomic<Block*> returned_{nullptr};  // pushed by any thread, taken whole by the producer
  Block* spare_ = nullptr;                 // the producer's private list
};

}  // namespace vorn::sim
