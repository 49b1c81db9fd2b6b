// Status values of register and trigger operations.
#pragma once

namespace vorn {

// Result of every register and trigger operation. Any value other than
// Success counts as failure.
enum class BasicDeviceStatus : int {
  Success = 0,
  Failure = 1,
};

}  // namespace vorn
