#include "block_pool.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace vorn::sim {
namespace {

constexpr std::size_t kBlockAlignment = 64;
constexpr std::uint64_t kMinIdleBlocks = 4;
constexpr std::uint64_t kMaxIdleBlocks = 4096;

std::atomic<std::uint64_t> g_live_pools{0};

}  // namespace

// The header in front of every block's bytes; keeps the bytes 64-byte aligned.
struct alignas(kBlockAlignment) BlockPool::Block {
  BlockPool* pool;
  Block* next;
};

namespace {
std::uint8_t* bytes_of(void* block) noexcept { return static_cast<std::uint8_t*>(block) + kBlockAlignment; }
}  // namespace

BlockPool::Handle::Handle(Handle&& other) noexcept : pool_(std::exchange(other.pool_, nullptr)) {}

BlockPool::Handle& BlockPool::Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    reset();
    pool_ = std::exchange(other.pool_, nullptr);
  }
  return *this;
}

BlockPool::Handle::~Handle() { reset(); }

void BlockPool::Handle::reset() noexcept {
  if (pool_ != nullptr) {
    std::exchange(pool_, nullptr)->unref();
  }
}

ManagedBuffer BlockPool::Handle::acquire(std::uint64_t size) {
  BlockPool& pool = *pool_;
  Block* block = pool.spare_;
  if (block == nullptr) {
    block = pool.returned_.exchange(nullptr, std::memory_order_acquire);
  }
  if (block != nullptr) {
    pool.spare_ = block->next;
    pool.idle_.fetch_sub(1, std::memory_order_relaxed);
  } else {
    block = pool.allocate_block();
  }
  pool.refs_.fetch_add(1, std::memory_order_relaxed);
  return ManagedBuffer(bytes_of(block), std::min(size, pool.block_size_), &BlockPool::release);
}

std::uint64_t BlockPool::Handle::blocks_allocated() const noexcept {
  return pool_->allocated_.load(std::memory_order_relaxed);
}

BlockPool::Handle BlockPool::create(std::uint64_t block_size, std::uint64_t max_idle_bytes) {
  const std::uint64_t idle_blocks =
      std::clamp(max_idle_bytes / std::max<std::uint64_t>(block_size, 1), kMinIdleBlocks, kMaxIdleBlocks);
  return Handle(new BlockPool(block_size, idle_blocks));
}

std::uint64_t BlockPool::live_pools() noexcept { return g_live_pools.load(std::memory_order_acquire); }

BlockPool::BlockPool(std::uint64_t block_size, std::uint64_t max_idle_blocks) noexcept
    : block_size_(block_size), max_idle_blocks_(max_idle_blocks) {
  g_live_pools.fetch_add(1, std::memory_order_relaxed);
}

BlockPool::~BlockPool() {
  for (Block* list : {spare_, returned_.load(std::memory_order_acquire)}) {
    while (list != nullptr) {
      free_block(std::exchange(list, list->next));
    }
  }
  g_live_pools.fetch_sub(1, std::memory_order_release);
}

BlockPool::Block* BlockPool::allocate_block() {
  void* memory = ::operator new (kBlockAlignment + block_size_, std::align_val_t{kBlockAlignment});
  allocated_.fetch_add(1, std::memory_order_relaxed);
  return new (memory) Block{this, nullptr};
}

void BlockPool::free_block(Block* block) noexcept {
  ::operator delete (static_cast<void*>(block), std::align_val_t{kBlockAlignment});
}

void BlockPool::release(std::uint8_t* data) noexcept {
  Block* block = std::launder(reinterpret_cast<Block*>(data - kBlockAlignment));
  BlockPool* pool = block->pool;
  pool->give_back(block);
  pool->unref();
}

void BlockPool::give_back(Block* block) noexcept {
  if (idle_.load(std::memory_order_relaxed) >= max_idle_blocks_) {
    allocated_.fetch_sub(1, std::memory_order_relaxed);
    free_block(block);
    return;
  }
  idle_.fetch_add(1, std::memory_order_relaxed);
  block->next = returned_.load(std::memory_order_relaxed);
  while (!returned_.compare_exchange_weak(block->next, block, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

void BlockPool::unref() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete this;
  }
}

}  // namespace vorn::sim
