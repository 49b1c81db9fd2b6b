// Blocking until an atomic changes, for the stream core's threads.
//
// Where std::atomic's wait sits on a futex (Linux), it is used as it is.
// MinGW-w64's GCC 12 library has no futex: it checks the value before taking
// the mutex of its waiter pool and notifies without that mutex, so a notify
// can fall between the check and the sleep and the waiter sleeps for good.
// There a pool of mutex and condition-variable pairs stands in, and the value
// is checked under the mutex that every notify takes first.
//
// Both functions may be called from any thread; neither throws (a mutex that
// cannot be locked ends the process).
#pragma once

#include <atomic>

#if defined(_WIN32) && defined(__GLIBCXX__)
#include <condition_variable>
#include <cstdint>
#include <mutex>
#define PYVORN_ATOMIC_WAIT_POOL 1
#endif

namespace pyvorn {

#ifdef PYVORN_ATOMIC_WAIT_POOL
namespace detail {
struct WaitSlot {
  std::mutex mutex;
  std::condition_variable changed;
};

inline WaitSlot& wait_slot(const void* address) noexcept {
  static WaitSlot slots[16];
  return slots[(reinterpret_cast<std::uintptr_t>(address) / alignof(std::max_align_t)) % 16];
}
}  // namespace detail
#endif

// Blocks while `value` holds `old`. May return spuriously; callers re-check.
template <typename T>
void wait_while_equal(const std::atomic<T>& value, T old) noexcept {
#ifdef PYVORN_ATOMIC_WAIT_POOL
  detail::WaitSlot& slot = detail::wait_slot(&value);
  std::unique_lock lock(slot.mutex);
  slot.changed.wait(lock, [&] { return value.load(std::memory_order_seq_cst) != old; });
#else
  value.wait(old, std::memory_order_seq_cst);
#endif
}

// Wakes every thread blocked in wait_while_equal on `value`; call it after
// changing the value.
template <typename T>
void notify_waiters(std::atomic<T>& value) noexcept {
#ifdef PYVORN_ATOMIC_WAIT_POOL
  detail::WaitSlot& slot = detail::wait_slot(&value);
  { std::lock_guard lock(slot.mutex); }
  slot.changed.notify_all();
#else
  value.notify_all();
#endif
}

}  // namespace pyvorn
