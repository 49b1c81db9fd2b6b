// Hand-over of the storage behind a chunk view that a consumer must keep.
#pragma once

#include <memory>

namespace pyvorn {

// An adapter that emits chunk views publishes a lease for the duration of
// each downstream call (on the calling thread). A consumer that finds, after
// its own work, that something still refers to the viewed bytes calls take():
// from then on the adapter neither frees nor overwrites that memory, and the
// returned owner keeps it alive. take() returns null when the storage is not
// the adapter's to give (the bytes belong to the device).
class ViewLease {
 public:
  virtual std::shared_ptr<void> take() = 0;

 protected:
  ~ViewLease() = default;
};

// The lease published on this thread for the delivery in progress, or null.
ViewLease* current_view_lease() noexcept;

// The calling thread's slot of the published lease: valid for the thread's
// life, for that thread only. An emitter that runs on one thread for its
// whole life may keep it, and so publish without a thread-local look-up (a
// call into the dynamic loader, in a module).
ViewLease*& view_lease_slot() noexcept;

// Publishes a lease on this thread for its lifetime; restores the previous
// one on destruction. `slot` is the calling thread's view_lease_slot().
class ViewLeaseScope {
 public:
  ViewLeaseScope(ViewLease*& slot, ViewLease& lease) noexcept : slot_(slot), previous_(slot) { slot = &lease; }
  ~ViewLeaseScope() { slot_ = previous_; }
  ViewLeaseScope(const ViewLeaseScope&) = delete;
  ViewLeaseScope& operator=(const ViewLeaseScope&) = delete;

 private:
  ViewLease*& slot_;
  ViewLease* previous_;
};

}  // namespace pyvorn
