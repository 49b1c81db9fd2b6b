// The bounded event pump between a device's producer thread and the stream's
// worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <thread>

#include "core/stream/copy_blocks.hpp"
#include "vorn/stream.hpp"

namespace pyvorn {

// Queues the events of one read stream and replays them, in push order and
// each exactly once, to a consumer StreamCallback on a worker thread that the
// pump owns.
//
// Threading contract:
// - Producer: push() is called by the device's thread, by ONE thread at a
//   time (the queue is single-producer). push() never blocks and never takes
//   a lock; it only waits, yielding, while the memory for the end marker or
//   an overflow notice cannot be had, or while another thread's push is in
//   progress (see push). It may make one non-blocking wake-up system call,
//   and only when the worker has gone to sleep.
// - Worker: the pump's own thread calls the consumer's invoke for each event
//   and, after its loop, the consumer's destroy. When the queue runs empty it
//   polls (yielding) for a while that adapts to the gaps between events, 2 to
//   200 us: about twice the recent gap while events come closer than 200 us
//   apart (so a steady stream up to some thousands of events per second is
//   picked up without a wake-up), shrinking to 2 us once they come further
//   apart. Then it blocks until an event or a stop request arrives, so an
//   idle pump costs next to no processor time. A stop request ends the poll
//   at once, and so does the consumer's poll guard (set_poll_guard).
// - waiting() may be called from any thread.
// - Destruction may happen on any thread, including the worker itself (a
//   consumer whose delivery causes the pump to be destroyed, e.g. a Python
//   callback that stops its own stream). No push may run concurrently with
//   or after the destruction.
//   * On any other thread, the destructor requests stop, waits for a delivery
//     in progress to return and for the consumer to be destroyed on the
//     worker thread, then releases the events still queued without
//     delivering them. A caller that destroys a pump must therefore NOT hold
//     a lock that the consumer needs to finish a delivery or its destruction
//     (in this module: the Python GIL, which the Python sinks take).
//   * On the worker thread itself (from inside the consumer), it does not
//     wait for itself: it requests stop, releases the queued events at once,
//     and lets the worker thread finish on its own. The delivery in progress
//     completes, nothing further is delivered, and the worker then destroys
//     the consumer and frees what remains of the pump's shared state.
// - The consumer must not let an exception leave its invoke or destroy
//   operation; the pump catches nothing.
// The pump never touches Python.
class EventPump {
 public:
  static constexpr std::int32_t init_elements = 64;

  // Throws std::runtime_error("max_elements must be greater than
  // init_elements") when max_elements < init_elements (64 is accepted),
  // before allocating anything; std::bad_alloc when the queue cannot be
  // made; std::system_error when the worker cannot start. The consumer is
  // destroyed (on the calling thread) whenever construction fails.
  EventPump(vorn::StreamCallback consumer, std::int32_t max_elements);
  ~EventPump();

  EventPump(const EventPump&) = delete;
  EventPump& operator=(const EventPump&) = delete;
  EventPump(EventPump&&) = delete;
  EventPump& operator=(EventPump&&) = delete;

  // Producer side. Below max_elements waiting events the event is stored as
  // prepare_for_queue (core/stream/chunk_intake.hpp) makes it: a chunk view
  // (or an owning chunk with a null deleter) as an owning copy, a chunk that
  // breaks the rules of vorn/buffers.hpp as its error text. At or above it,
  // the event is left to the device (only the pointer of a null-deleter
  // chunk is let go) and the error text "Queue Overflow, dropping event"
  // takes its place. The overflow notice is the only way an event is ever
  // dropped, and the consumer receives one notice per dropped event, in its
  // place. Consecutive notices are stored as one counted element, so they
  // take no memory per notice and do not count as waiting events: a consumer
  // that falls behind sees data again as soon as it has caught up below the
  // limit. The end marker is the exception: it is always stored, so a stream
  // that ends always tells its consumer so, last.
  //
  // A push that finds another thread's push in progress (a device breaking
  // the one-producer rule) waits for it, yielding, so the queue stays whole
  // and nothing is lost. The first time on a pump, the error text "Stream
  // callback invoked from two threads at once: a device must push from one
  // thread at a time" is stored before that push's event (outside the limit:
  // it stands for no dropped event).
  void push(vorn::StreamEvent& event) noexcept;

  // The number of elements waiting to be taken out by the worker (a run of
  // consecutive overflow notices counts as one).
  std::int64_t waiting() const noexcept;

  std::int32_t max_elements() const noexcept { return max_elements_; }

  // True once a push has found another one in progress. Any thread.
  bool push_overlap_seen() const noexcept { return push_overlap_seen_.load(std::memory_order_relaxed); }

  // Requests the worker to stop after the delivery in progress, without
  // waiting for it. The destructor does this too; exposed for tests.
  void request_stop() noexcept;

 private:
  struct Shared;  // the queue and the worker's wake-up state

  static void run(std::stop_token stop, std::shared_ptr<Shared> shared, vorn::StreamCallback consumer) noexcept;

  // Shared with the worker, so that a pump destroyed on its own worker thread
  // can let the worker finish with it. Uniquely owns the event queue.
  std::shared_ptr<Shared> shared_;
  std::jthread worker_;
  std::stop_source stop_{std::nostopstate};  // a copy of the worker's stop source
  std::int32_t max_elements_;
  // The blocks of the copies this pump makes (producer side); closed with
  // the pump, freed with the last block that comes back.
  struct CloseCopies {
    void operator()(CopyBlocks* copies) const noexcept { copies->close(); }
  };
  std::unique_ptr<CopyBlocks, CloseCopies> copies_;
  // Producer side only: the run of notices that is the last element stored,
  // while the worker has not taken it (a NoticeRun, shared with the element).
  void* open_run_ = nullptr;
  // Held for the length of each push: serialises the pushes of a device
  // that breaks the one-producer rule (see push). Written twice per push, so
  // it starts a cache line of its own (and the pump shares none with the
  // heap blocks around it, such as the consumer's state, which the worker
  // writes for every delivery).
  alignas(64) std::atomic<bool> pushing_{false};
  std::atomic<bool> push_overlap_seen_{false};

  // Producer side: the steps of push().
  // Waits until no other push is in progress, then takes pushing_; stores
  // the notice of two producers the first time.
  void wait_for_turn() noexcept;
  void store_end_marker() noexcept;
  // Stores the event as prepare_for_queue makes it; false when the queue
  // cannot take it, after releasing an owned payload.
  bool store(vorn::StreamEvent& event) noexcept;
  // Counts a notice in the open run, or stores a new run.
  void add_overflow_notice() noexcept;
  void store_notice_run() noexcept;
  // Producer side (or the destructor): stops extending the open run.
  void close_notice_run() noexcept;
};

// The deleter of the blocks into which a pump copies chunk views
// (copy_block_deleter()): module code, so such blocks need no plug-in kept
// loaded.
vorn::BlockDeleter pump_block_deleter() noexcept;

// True on any pump's worker thread: the thread that delivers a stream's
// events. Code that may run inside a consumer uses it to avoid waiting for a
// stream (its own or another's) whose worker may be waiting for this one.
bool on_delivery_thread() noexcept;

// What a pump's worker thread tells the consumer it delivers to. Lives as
// long as the thread; a consumer that only ever runs on one worker may keep
// the pointer and query it without a thread-local look-up per event.
struct DeliveryContext;

// The context of the calling worker thread; null on any other thread.
const DeliveryContext* current_delivery() noexcept;

// True once the pump has been asked to stop (for example destroyed by the
// consumer itself): a consumer that emits several deliveries for one event
// stops at once.
bool stop_requested(const DeliveryContext& context) noexcept;

// While `*guard` reads true (a muted stream), this worker blocks at once when
// no event waits instead of polling. Set by the consumer during a delivery,
// with a flag that outlives the worker; null clears it. One per worker
// thread.
void set_poll_guard(const DeliveryContext& context, const std::atomic<bool>* guard) noexcept;

// `hook(arg)` runs whenever this worker finds no event waiting (before it
// polls and blocks) and when it ends, so that a consumer which keeps a
// costly resource (the GIL) across back-to-back deliveries gives it up. Set by the consumer during a delivery; a null
// hook clears it. One per worker thread.
void set_idle_hook(const DeliveryContext& context, void (*hook)(void* arg) noexcept, void* arg) noexcept;

// Brackets the destructor's wait for the worker. An embedding runtime whose
// lock the worker may need to finish (the module: the Python GIL, which the
// consumer takes to drop the Python callback) installs hooks that give that
// lock up for the wait when the destroying thread holds it: `before` returns
// a token that `after` receives. Install once, before any pump exists; both
// must be callable from any thread and must not throw.
struct ShutdownWaitHooks {
  void* (*before)() = nullptr;
  void (*after)(void* token) = nullptr;
};
void set_shutdown_wait_hooks(ShutdownWaitHooks hooks) noexcept;

// A StreamCallback whose state is a heap-allocated EventPump: invoke pushes,
// destroy deletes the pump (a null state is ignored). Throws as the EventPump
// constructor.
vorn::StreamCallback make_event_pump(vorn::StreamCallback consumer, std::int32_t max_elements);

}  // namespace pyvorn
