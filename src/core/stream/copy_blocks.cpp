#include "core/stream/copy_blocks.hpp"

#include <bit>
#include <cstdlib>
#include <new>
#include <utility>

namespace pyvorn {
namespace {

constexpr std::uint64_t kMinBlock = 64;
constexpr int kMinShift = std::countr_zero(kMinBlock);
constexpr int kShelves = std::countr_zero(CopyBlocks::kMaxPooled) - kMinShift + 1;

constexpr std::uint64_t block_size(std::size_t shelf) noexcept { return kMinBlock << shelf; }

constexpr std::uint64_t kept_blocks(std::size_t shelf) noexcept {
  const std::uint64_t by_bytes = CopyBlocks::kKeptBytes / block_size(shelf);
  return by_bytes > CopyBlocks::kKeptBlocks ? by_bytes : CopyBlocks::kKeptBlocks;
}

// The shelf of a pooled size: the smallest power of two that holds it.
std::size_t shelf_of(std::uint64_t size) noexcept {
  return size <= kMinBlock ? 0 : static_cast<std::size_t>(std::bit_width(size - 1) - kMinShift);
}

}  // namespace

// In front of every block's data; 16 bytes, so the data keeps malloc's
// alignment.
struct CopyBlocks::Header {
  CopyBlocks* pool;  // null: a plain allocation
  std::uint64_t shelf;
};

// A free block, kept in its data.
struct CopyBlocks::Node {
  Node* next;
};

struct CopyBlocks::Shelf {
  // Blocks given back, by any thread; the closed mark once closed.
  alignas(64) std::atomic<Node*> returned{nullptr};
  // The producer's own, on another line.
  alignas(64) Node* ready = nullptr;
  std::uint64_t ready_count = 0;
};

namespace {

// Marks a closed pool's lists of given-back blocks. Never dereferenced.
template <typename Node>
Node* closed_mark() noexcept {
  return reinterpret_cast<Node*>(std::uintptr_t{1});
}

}  // namespace

CopyBlocks::CopyBlocks() noexcept : shelves_(new (std::nothrow) Shelf[kShelves]) {
  static_assert(sizeof(Header) == 16);
}

CopyBlocks::~CopyBlocks() { delete[] shelves_; }

CopyBlocks* CopyBlocks::create() noexcept {
  auto* pool = new (std::nothrow) CopyBlocks();
  if (pool != nullptr && pool->shelves_ == nullptr) {
    delete pool;
    return nullptr;
  }
  return pool;
}

std::uint8_t* CopyBlocks::take(std::uint64_t size) noexcept {
  if (size > kMaxPooled) {
    auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + static_cast<std::size_t>(size)));
    if (header == nullptr) {
      return nullptr;
    }
    *header = Header{nullptr, 0};
    return reinterpret_cast<std::uint8_t*>(header + 1);
  }
  const std::size_t index = shelf_of(size);
  Shelf& shelf = shelves_[index];
  if (shelf.ready == nullptr) {
    collect(shelf);
  }
  if (Node* node = shelf.ready) {
    shelf.ready = node->next;
    --shelf.ready_count;
    return reinterpret_cast<std::uint8_t*>(node);
  }
  auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + static_cast<std::size_t>(block_size(index))));
  if (header == nullptr) {
    return nullptr;
  }
  references_.fetch_add(1, std::memory_order_relaxed);
  *header = Header{this, index};
  return reinterpret_cast<std::uint8_t*>(header + 1);
}

// Producer side: moves the blocks given back onto the ready list and frees
// those beyond what the shelf keeps.
void CopyBlocks::collect(Shelf& shelf) noexcept {
  Node* list = shelf.returned.exchange(nullptr, std::memory_order_acquire);
  const std::uint64_t keep = kept_blocks(static_cast<std::size_t>(&shelf - shelves_));
  std::int64_t freed = 0;
  while (list != nullptr) {
    Node* node = std::exchange(list, list->next);
    if (shelf.ready_count < keep) {
      node->next = shelf.ready;
      shelf.ready = node;
      ++shelf.ready_count;
    } else {
      std::free(reinterpret_cast<Header*>(node) - 1);
      ++freed;
    }
  }
  if (freed != 0) {
    drop_references(freed);  // the owner's reference keeps the pool
  }
}

void CopyBlocks::give_back(std::uint8_t* data) noexcept {
  auto* header = reinterpret_cast<Header*>(data) - 1;
  CopyBlocks* pool = header->pool;
  if (pool == nullptr) {
    std::free(header);
    return;
  }
  Shelf& shelf = pool->shelves_[header->shelf];
  auto* node = reinterpret_cast<Node*>(data);
  Node* head = shelf.returned.load(std::memory_order_relaxed);
  do {
    if (head == closed_mark<Node>()) {
      std::free(header);
      pool->drop_references(1);
      return;
    }
    node->next = head;
  } while (!shelf.returned.compare_exchange_weak(head, node, std::memory_order_release, std::memory_order_relaxed));
}

void CopyBlocks::close() noexcept {
  std::int64_t freed = 0;
  auto free_list = [&freed](Node* list) {
    while (list != nullptr) {
      std::free(reinterpret_cast<Header*>(std::exchange(list, list->next)) - 1);
      ++freed;
    }
  };
  for (int i = 0; i < kShelves; ++i) {
    // From here on, whoever gives a block back frees it.
    free_list(shelves_[i].returned.exchange(closed_mark<Node>(), std::memory_order_acquire));
    free_list(std::exchange(shelves_[i].ready, nullptr));
    shelves_[i].ready_count = 0;
  }
  drop_references(1 + freed);
}

void CopyBlocks::drop_references(std::int64_t count) noexcept {
  if (references_.fetch_sub(count, std::memory_order_acq_rel) == count) {
    delete this;
  }
}

vorn::BlockDeleter copy_block_deleter() noexcept { return &CopyBlocks::give_back; }

}  // namespace pyvorn
