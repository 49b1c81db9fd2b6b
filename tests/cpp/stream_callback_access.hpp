// Test-only read access to a StreamCallback's operations table and state.
#pragma once

#include "vorn/stream.hpp"

namespace vorn {

struct StreamCallbackAccess {
  static const StreamCallbackOps* ops(const StreamCallback& callback) noexcept { return callback.ops_; }
  static void* state(const StreamCallback& callback) noexcept { return callback.state_; }
};

}  // namespace vorn
