#include "core/stream/view_lease.hpp"

namespace pyvorn {
namespace {
thread_local ViewLease* published_lease = nullptr;
}  // namespace

ViewLease* current_view_lease() noexcept { return published_lease; }

ViewLeaseScope::ViewLeaseScope(ViewLease& lease) noexcept : previous_(published_lease) { published_lease = &lease; }

ViewLeaseScope::~ViewLeaseScope() { published_lease = previous_; }

}  // namespace pyvorn
