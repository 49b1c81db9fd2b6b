#include "core/stream/event_pump.hpp"

// readerwriterqueue synchronises its elements with standalone fences, which
// ThreadSanitizer does not model. Under clang the library detects TSan
// (__has_feature) and annotates every fence as a happens-before edge; GCC 12
// has no __has_feature, so the same annotations are switched on here, exactly
// as the library does it (one global synchronisation address). GCC also warns
// that atomic_thread_fence is unsupported under TSan (-Wtsan); the fences are
// annotated, so that warning is silenced for the library header only.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__) && !defined(AE_TSAN_ANNOTATE_RELEASE)
extern "C" void AnnotateHappensBefore(const char*, int, void*);
extern "C" void AnnotateHappensAfter(const char*, int, void*);
namespace pyvorn::detail {
inline int rwq_tsan_sync;
}  // namespace pyvorn::detail
#define AE_TSAN_ANNOTATE_RELEASE() \
  AnnotateHappensBefore(__FILE__, __LINE__, static_cast<void*>(&::pyvorn::detail::rwq_tsan_sync))
#define AE_TSAN_ANNOTATE_ACQUIRE() \
  AnnotateHappensAfter(__FILE__, __LINE__, static_cast<void*>(&::pyvorn::detail::rwq_tsan_sync))
#endif

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <readerwriterqueue/readerwriterqueue.h>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "core/stream/atomic_wait.hpp"
#include "core/stream/chunk_intake.hpp"

namespace pyvorn {
namespace {

// Single producer, single consumer, no count shared per element: the pump
// keeps its own counts (Shared::stored, Shared::taken) and its own wake-up.
using Queue = moodycamel::ReaderWriterQueue<vorn::StreamEvent>;

constexpr char kOverflowNotice[] = "Queue Overflow, dropping event";
constexpr char kTwoProducersNotice[] =
    "Stream callback invoked from two threads at once: a device must push from one thread at a time";

// How long the worker polls (yielding) after the queue ran empty before it
// blocks: between these bounds, adapted to the gaps between events it has
// seen (see Shared::adapt_poll). Waking a blocked worker costs the producer a
// system call and the event a scheduler wake-up (tens of microseconds on a
// virtual machine); polling costs the worker's core while it lasts.
using Clock = std::chrono::steady_clock;
constexpr std::chrono::nanoseconds kMinPoll = std::chrono::microseconds(2);
constexpr std::chrono::nanoseconds kMaxPoll = std::chrono::microseconds(200);

ShutdownWaitHooks shutdown_wait_hooks;

}  // namespace

// What the pump whose worker runs on this thread tells its consumer.
struct DeliveryContext {
  const std::stop_token* stop = nullptr;  // null: not a worker thread
  // While it reads true, the worker blocks at once instead of polling.
  const std::atomic<bool>* poll_guard = nullptr;
  // The consumer's hook for when the worker is about to block or end.
  void (*idle_hook)(void*) noexcept = nullptr;
  void* idle_arg = nullptr;
};

namespace {

thread_local DeliveryContext worker;

void run_idle_hook() noexcept {
  DeliveryContext& context = worker;
  if (context.idle_hook != nullptr) {
    context.idle_hook(context.idle_arg);
  }
}

// A run of overflow notices. Notices that follow one another are stored as
// one queue element that counts them, so a stalled consumer costs one element
// per run instead of one per dropped event, and notices do not hold the queue
// at its limit. The queue holds StreamEvents only, so that element is an
// owning chunk whose deleter is release_run: notice_run_of recognises it by
// that deleter, and it is never handed to the consumer. Shared by the
// producer, which extends the run while it is the last element stored, and
// the element, which the worker turns back into one notice per dropped event.
struct NoticeRun {
  // Notices beyond the first; -1 once the worker has taken the run, after
  // which the producer starts a new one.
  std::atomic<std::int64_t> extra{0};
  std::atomic<int> owners{2};  // the producer and the queue element
};

void release_run(std::uint8_t* run) {
  auto* counted = reinterpret_cast<NoticeRun*>(run);
  if (counted->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete counted;
  }
}

// The run that `event` carries, or null for an event of the device.
NoticeRun* notice_run_of(vorn::StreamEvent& event) noexcept {
  auto* chunk = std::get_if<vorn::ManagedBuffer>(&event);
  return chunk != nullptr && chunk->data.get_deleter() == &release_run ? reinterpret_cast<NoticeRun*>(chunk->data.get())
                                                                       : nullptr;
}

// An overflow notice; waits (yielding) while its text cannot be allocated, as
// the producer waits for the memory of a run.
vorn::StreamEvent overflow_notice() noexcept {
  vorn::StreamEvent notice;
  while (notice.index() != vorn::event_kind::error) {
    try {
      notice.emplace<vorn::event_kind::error>(kOverflowNotice);
    } catch (const std::bad_alloc&) {
      std::this_thread::yield();
    }
  }
  return notice;
}

// Worker side: one notice per event dropped in `run`, in the run's place.
// Taking the run closes it: later drops start a new one behind newer events.
void deliver_notices(NoticeRun& run, const std::stop_token& stop, const vorn::StreamCallback& consumer) noexcept {
  const std::int64_t count = 1 + run.extra.exchange(-1, std::memory_order_acq_rel);
  for (std::int64_t i = 0; i < count && !stop.stop_requested(); ++i) {
    vorn::StreamEvent notice = overflow_notice();
    consumer(notice);
  }
}

}  // namespace

struct EventPump::Shared {
  Queue queue{static_cast<std::size_t>(init_elements)};

  // Elements stored (producer) and taken out (worker), each written by its
  // side alone and on a cache line of its own, so that a push and a take
  // share no written line. The producer compares with its last look at
  // `taken` and looks again only when that says the queue is full.
  alignas(64) std::atomic<std::int64_t> stored{0};
  std::int64_t taken_seen = 0;  // producer only
  alignas(64) std::atomic<std::int64_t> taken{0};

  // Producer side: one more element is in the queue.
  void count_stored() noexcept { stored.store(stored.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }

  // Producer side: true when `limit` elements or more wait.
  bool full(std::int64_t limit) noexcept {
    const std::int64_t in = stored.load(std::memory_order_relaxed);
    if (in - taken_seen < limit) {
      return false;
    }
    taken_seen = taken.load(std::memory_order_relaxed);
    return in - taken_seen >= limit;
  }

  // Worker side: takes the next element, if any.
  bool take(vorn::StreamEvent& event) noexcept {
    if (!queue.try_dequeue(event)) {
      return false;
    }
    taken.store(taken.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
  }

  // Wake-up protocol (Dekker-style, all seq_cst):
  //   producer: enqueue; ++wake_seq; if (sleeping) notify.
  //   worker:   s = wake_seq; sleeping = true; re-check queue and stop;
  //             wait while wake_seq == s; sleeping = false.
  // Either the worker sees the event (or the new sequence value) before it
  // sleeps, or the producer sees it sleeping and wakes it. A stop request
  // bumps the sequence and notifies from the stopping thread.
  // The sequence is the producer's (written by every push), the flag the
  // worker's (written when it blocks and wakes, read by every push).
  alignas(64) std::atomic<std::uint32_t> wake_seq{0};
  alignas(64) std::atomic<bool> sleeping{false};

  void wake_after_store() noexcept {
    wake_seq.fetch_add(1, std::memory_order_seq_cst);
    if (sleeping.load(std::memory_order_seq_cst)) {
      notify_waiters(wake_seq);
    }
  }

  void wake_for_stop() noexcept {
    wake_seq.fetch_add(1, std::memory_order_seq_cst);
    notify_waiters(wake_seq);
  }

  // Worker only: how long the next idle period polls before blocking.
  std::chrono::nanoseconds poll_budget = kMinPoll;

  // Worker side.
  bool empty() const noexcept { return queue.peek() == nullptr; }

  // Worker side, with the queue found empty: polls for up to poll_budget
  // (not at all while the consumer's poll guard is set), then blocks until
  // an event is stored or stop is requested. Returns with an event waiting
  // or stop requested.
  void idle(const std::stop_token& stop, const DeliveryContext& context) noexcept {
    const auto start = Clock::now();
    for (auto now = start; empty(); now = Clock::now()) {
      if (stop.stop_requested()) {
        return;
      }
      if (now - start >= poll_budget || guarded(context)) {
        block(stop);
        if (!stop.stop_requested() && !guarded(context)) {
          adapt_poll(Clock::now() - start);
        }
        return;
      }
      std::this_thread::yield();
    }
    adapt_poll(Clock::now() - start);
  }

  static bool guarded(const DeliveryContext& context) noexcept {
    return context.poll_guard != nullptr && context.poll_guard->load(std::memory_order_relaxed);
  }

  void block(const std::stop_token& stop) noexcept {
    while (empty() && !stop.stop_requested()) {
      const std::uint32_t seen = wake_seq.load(std::memory_order_seq_cst);
      sleeping.store(true, std::memory_order_seq_cst);
      if (empty() && !stop.stop_requested()) {
        wait_while_equal(wake_seq, seen);
      }
      sleeping.store(false, std::memory_order_relaxed);
    }
  }

  // After an idle period of `gap` that an event ended: a gap that polling
  // for twice as long would have caught raises the budget to that at once;
  // a shorter one lets it decay slowly towards it; a gap beyond kMaxPoll
  // halves it, so a slow or idle stream soon polls for kMinPoll only.
  void adapt_poll(std::chrono::nanoseconds gap) noexcept {
    if (gap > kMaxPoll) {
      poll_budget = std::max(kMinPoll, poll_budget / 2);
      return;
    }
    const std::chrono::nanoseconds wanted = std::min(kMaxPoll, 2 * gap + kMinPoll);
    poll_budget = wanted > poll_budget ? wanted : poll_budget - (poll_budget - wanted) / 8;
  }

  // Consumer side only: destroys every waiting event without delivering it.
  void release_waiting() noexcept {
    vorn::StreamEvent event;
    while (take(event)) {
      event = vorn::StreamEvent{};
    }
  }

  // Worker side: delivers the queued events in order until the end marker has
  // been delivered or stop is requested, idling while the queue is empty.
  void deliver_until_end(const std::stop_token& stop, vorn::StreamCallback& consumer) noexcept {
    const DeliveryContext& context = worker;
    while (!stop.stop_requested()) {
      vorn::StreamEvent event;
      if (!take(event)) {
        run_idle_hook();
        idle(stop, context);
      } else if (NoticeRun* run = notice_run_of(event)) {
        deliver_notices(*run, stop, consumer);
      } else {
        const bool end = event.index() == vorn::event_kind::end;
        consumer(event);
        if (end) {
          return;
        }
      }
      // The event dies here, releasing an owning chunk the consumer left.
    }
  }
};

EventPump::EventPump(vorn::StreamCallback consumer, std::int32_t max_elements) : max_elements_(max_elements) {
  if (max_elements < init_elements) {
    throw std::runtime_error("max_elements must be greater than init_elements");
  }
  copies_.reset(CopyBlocks::create());
  if (!copies_) {
    throw std::bad_alloc();
  }
  shared_ = std::make_shared<Shared>();
  // On failure std::jthread destroys its copy of the consumer (and ours is
  // empty by then, or still owned by this frame's parameter).
  worker_ = std::jthread(&EventPump::run, shared_, std::move(consumer));
  stop_ = worker_.get_stop_source();
}

void set_shutdown_wait_hooks(ShutdownWaitHooks hooks) noexcept { shutdown_wait_hooks = hooks; }

vorn::BlockDeleter pump_block_deleter() noexcept { return copy_block_deleter(); }

bool on_delivery_thread() noexcept { return worker.stop != nullptr; }

const DeliveryContext* current_delivery() noexcept {
  const DeliveryContext& context = worker;
  return context.stop != nullptr ? &context : nullptr;
}

bool stop_requested(const DeliveryContext& context) noexcept { return context.stop->stop_requested(); }

void set_poll_guard(const DeliveryContext& context, const std::atomic<bool>* guard) noexcept {
  const_cast<DeliveryContext&>(context).poll_guard = guard;  // the calling worker's own record
}

void set_idle_hook(const DeliveryContext& context, void (*hook)(void* arg) noexcept, void* arg) noexcept {
  auto& own = const_cast<DeliveryContext&>(context);  // the calling worker's own record
  own.idle_hook = hook;
  own.idle_arg = arg;
}

void EventPump::request_stop() noexcept {
  stop_.request_stop();
  shared_->wake_for_stop();
}

EventPump::~EventPump() {
  close_notice_run();
  request_stop();
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id()) {
      // Destroyed from inside the consumer, on the worker thread: joining
      // would wait for ourselves. This thread is the queue's consumer, so it
      // may empty the queue; the worker keeps the shared state alive, finds
      // stop requested when the delivery returns, destroys the consumer and
      // ends on its own.
      shared_->release_waiting();
      worker_.detach();
    } else {
      void* token = shutdown_wait_hooks.before != nullptr ? shutdown_wait_hooks.before() : nullptr;
      worker_.join();
      if (shutdown_wait_hooks.after != nullptr) {
        shutdown_wait_hooks.after(token);
      }
    }
  }
  // Members go in reverse order: the stop source, the (finished or
  // detached) worker, then our share of the queue; the last share destroys
  // the events still queued, releasing their owning chunks.
}

void EventPump::push(vorn::StreamEvent& event) noexcept {
  if (pushing_.exchange(true, std::memory_order_acquire)) {
    wait_for_turn();
  }
  if (event.index() == vorn::event_kind::end) {
    store_end_marker();
  } else if (shared_->full(max_elements_)) {
    // Overflow: a notice takes the event's place. The device's event is left
    // as it is, for the device to destroy.
    disown_undeletable(event);
    add_overflow_notice();
  } else if (store(event)) {
    close_notice_run();  // the run is no longer the last element stored
    shared_->wake_after_store();
  } else {
    add_overflow_notice();  // no memory for the event (already released by store)
  }
  pushing_.store(false, std::memory_order_release);
}

void EventPump::wait_for_turn() noexcept {
  const bool first = !push_overlap_seen_.exchange(true, std::memory_order_relaxed);
  do {
    std::this_thread::yield();
  } while (pushing_.load(std::memory_order_relaxed) || pushing_.exchange(true, std::memory_order_acquire));
  if (first) {
    // Once per pump, before the event of the push that waited. It stands for
    // no dropped event, so the limit does not apply; without memory for it,
    // nothing is said.
    try {
      if (shared_->queue.enqueue(
              vorn::StreamEvent(std::in_place_index<vorn::event_kind::error>, kTwoProducersNotice))) {
        shared_->count_stored();
        close_notice_run();
        shared_->wake_after_store();
      }
    } catch (const std::bad_alloc&) {
    }
  }
}

void EventPump::store_end_marker() noexcept {
  // The end marker is never dropped, whatever waits: it tells the consumer
  // that the stream is over (and the aligning adapter to flush what it
  // holds). It goes behind a run of notices, like any event.
  close_notice_run();
  while (!shared_->queue.enqueue(vorn::StreamEvent{})) {
    std::this_thread::yield();  // out of memory: wait for some
  }
  shared_->count_stored();
  shared_->wake_after_store();
}

bool EventPump::store(vorn::StreamEvent& event) noexcept {
  // A view becomes an owning copy, a chunk that breaks the rules its error
  // text. The allocating enqueue fails only before it moves anything.
  if (prepare_for_queue(event, *copies_) && shared_->queue.enqueue(std::move(event))) {
    shared_->count_stored();
    return true;
  }
  event = vorn::StreamEvent{};  // out of memory: the payload is released here, once
  return false;
}

void EventPump::add_overflow_notice() noexcept {
  if (open_run_ != nullptr) {
    auto* run = static_cast<NoticeRun*>(open_run_);
    for (std::int64_t extra = run->extra.load(std::memory_order_acquire); extra >= 0;) {
      if (run->extra.compare_exchange_weak(extra, extra + 1, std::memory_order_acq_rel)) {
        return;  // counted in the run the worker has not taken yet
      }
    }
    close_notice_run();  // taken meanwhile: start a new run
  }
  store_notice_run();
  shared_->wake_after_store();
}

void EventPump::store_notice_run() noexcept {
  for (;;) {
    auto* run = new (std::nothrow) NoticeRun;
    if (run != nullptr) {
      try {
        // An owning chunk marked by its deleter carries the run (see NoticeRun).
        if (shared_->queue.emplace(std::in_place_index<vorn::event_kind::owned_chunk>,
                                   reinterpret_cast<std::uint8_t*>(run), 0, &release_run)) {
          shared_->count_stored();
          open_run_ = run;
          return;
        }
      } catch (const std::bad_alloc&) {
      }
      delete run;
    }
    std::this_thread::yield();  // out of memory: wait for some
  }
}

void EventPump::close_notice_run() noexcept {
  if (open_run_ != nullptr) {
    release_run(static_cast<std::uint8_t*>(open_run_));
    open_run_ = nullptr;
  }
}

std::int64_t EventPump::waiting() const noexcept {
  const std::int64_t taken = shared_->taken.load(std::memory_order_relaxed);
  return std::max<std::int64_t>(0, shared_->stored.load(std::memory_order_relaxed) - taken);
}

void EventPump::run(std::stop_token stop, std::shared_ptr<Shared> shared, vorn::StreamCallback consumer) noexcept {
  worker.stop = &stop;
  // request_stop() wakes the worker itself; no stop callback is registered,
  // since some standard libraries wait for a running one on a semaphore that
  // can miss its release.
  shared->deliver_until_end(stop, consumer);
  run_idle_hook();
  worker.idle_hook = nullptr;
  consumer.reset();
  worker = DeliveryContext{};
  // `shared` goes last: after a destruction on this thread, it is the last
  // share and frees the queue.
}

namespace {

void pump_invoke(void* state, vorn::StreamEvent& event) { static_cast<EventPump*>(state)->push(event); }

void pump_destroy(void* state) { delete static_cast<EventPump*>(state); }

constexpr vorn::StreamCallbackOps kPumpOps{&pump_invoke, &pump_destroy};

}  // namespace

vorn::StreamCallback make_event_pump(vorn::StreamCallback consumer, std::int32_t max_elements) {
  auto* pump = new EventPump(std::move(consumer), max_elements);
  return vorn::StreamCallback(&kPumpOps, pump);
}

}  // namespace pyvorn
