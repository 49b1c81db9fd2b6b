// Keeps the large blocks that the ZeroMQ linked into this library frees, for
// its next allocations of about the same size.
//
// ZeroMQ allocates the body of every received message above a few dozen
// bytes with malloc() on its I/O thread; a stream's chunk is freed later, on
// the thread that delivered it to Python. glibc gives the pages of such
// blocks back to the system (it trims its heaps from the top as blocks come
// back) and the next message faults them in again, zeroed: for 1 MiB chunks
// that was a third of the I/O thread's time. This library is linked with
// --wrap=malloc and --wrap=free (plugins/remote/CMakeLists.txt), so the
// calls of the code linked into it come here (ZeroMQ's, libsodium's, and
// operator new's and delete's when libstdc++ is linked in too). A freed block of kMinBlock to
// kMaxBlock bytes is kept, up to kMaxKept bytes in kSlots blocks (the oldest
// goes back to glibc first), and handed out again for a request it fits
// without wasting more than a quarter. Everything else goes straight to
// glibc. Every block kept is one glibc made (the caller's own, or one some
// libc function made that the library's code frees), so any of them can go
// back to glibc at any time; nothing here adds a header or changes a block.
//
// Thread-safe: a spin lock held for a scan of kSlots entries. After fork()
// the child starts with an empty, unlocked cache (the blocks kept stay with
// the child's copy of the heap, unused). Under AddressSanitizer nothing is
// kept, so that every free reaches it.
#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <thread>

extern "C" {
void* __real_malloc(std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void __real_free(void* block);          // NOLINT(bugprone-reserved-identifier)
void* __wrap_malloc(std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void __wrap_free(void* block);          // NOLINT(bugprone-reserved-identifier)
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kEnabled = false;
#else
constexpr bool kEnabled = true;
#endif
constexpr std::size_t kMinBlock = 64 * 1024;
constexpr std::size_t kMaxBlock = 8 * 1024 * 1024;
constexpr std::size_t kMaxKept = 32 * 1024 * 1024;
constexpr std::size_t kSlots = 64;

struct Kept {
  void* block;
  std::size_t size;  // malloc_usable_size
};

class BlockCache {
 public:
  void* take(std::size_t size) noexcept {
    Guard guard(*this);
    if (closed_) {
      return nullptr;
    }
    for (std::size_t i = count_; i-- > 0;) {  // the most recently freed first
      if (kept_[i].size >= size && kept_[i].size - size <= size / 4) {
        void* block = kept_[i].block;
        bytes_ -= kept_[i].size;
        for (std::size_t j = i + 1; j < count_; ++j) {
          kept_[j - 1] = kept_[j];
        }
        --count_;
        return block;
      }
    }
    return nullptr;
  }

  // Keeps the block, letting the oldest go to make room; the blocks let go
  // are freed after the lock is released.
  void keep(void* block, std::size_t size) noexcept {
    void* evicted[kSlots + 1];
    std::size_t evictions = 0;
    {
      Guard guard(*this);
      if (closed_) {
        evicted[evictions++] = block;
      } else {
        std::size_t oldest = 0;
        while (oldest < count_ && (count_ - oldest == kSlots || bytes_ + size > kMaxKept)) {
          bytes_ -= kept_[oldest].size;
          evicted[evictions++] = kept_[oldest++].block;
        }
        for (std::size_t j = oldest; j < count_; ++j) {
          kept_[j - oldest] = kept_[j];
        }
        count_ -= oldest;
        kept_[count_++] = Kept{block, size};
        bytes_ += size;
      }
    }
    for (std::size_t i = 0; i < evictions; ++i) {
      __real_free(evicted[i]);
    }
  }

  // At unload or exit: everything kept goes back, and the cache keeps
  // nothing from now on (ZeroMQ's threads may still free blocks).
  void close() noexcept {
    Guard guard(*this);
    closed_ = true;
    while (count_ > 0) {
      __real_free(kept_[--count_].block);
    }
    bytes_ = 0;
  }

  // In the child after fork(): another thread of the parent may have held
  // the lock; whatever was kept stays in the child's heap, unused.
  void forget() noexcept {
    lock_.clear(std::memory_order_relaxed);
    count_ = 0;
    bytes_ = 0;
  }

 private:
  class Guard {
   public:
    explicit Guard(BlockCache& cache) noexcept : cache_(cache) {
      while (cache_.lock_.test_and_set(std::memory_order_acquire)) {
        std::this_thread::yield();
      }
    }
    ~Guard() { cache_.lock_.clear(std::memory_order_release); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    BlockCache& cache_;
  };

  std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
  bool closed_ = false;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  Kept kept_[kSlots] = {};
};

// Constant-initialised and trivially destructible: usable from the first
// malloc of any static constructor to the last free of any thread.
constinit BlockCache cache;

struct Lifetime {
  Lifetime() noexcept {
    pthread_atfork(nullptr, nullptr, [] { cache.forget(); });
  }
  ~Lifetime() { cache.close(); }
  Lifetime(const Lifetime&) = delete;
  Lifetime& operator=(const Lifetime&) = delete;
};
const Lifetime lifetime;

}  // namespace

void* __wrap_malloc(std::size_t size) {
  if (kEnabled && size >= kMinBlock && size <= kMaxBlock) {
    if (void* block = cache.take(size)) {
      return block;
    }
  }
  return __real_malloc(size);
}

void __wrap_free(void* block) {
  if (kEnabled && block != nullptr) {
    const std::size_t size = malloc_usable_size(block);
    if (size >= kMinBlock && size <= kMaxBlock + kMaxBlock / 4) {
      cache.keep(block, size);
      return;
    }
  }
  __real_free(block);
}
