#include "core/stream/view_lease.hpp"

namespace pyvorn {
namespace {
thread_local ViewLease* published_lease = nullptr;
}  // namespace

ViewLease* current_view_lease() noexcept { return published_lease; }

ViewLease*& view_lease_slot() noexcept { return published_lease; }

}  // namespace pyvorn
