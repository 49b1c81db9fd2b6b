// The simulated register bank: staged writes, atomic commits, snapshots.
#pragma once

#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vorn/status.hpp"

namespace vorn::sim {

// Register indices with a fixed meaning; every other index is a plain
// read/write register. Addresses are register indices, not byte offsets.
enum RegisterIndex : std::uint32_t {
  kIdentityRegister = 0,      // read-only, always kIdentityValue
  kScratchRegister = 1,       // read/write, no side effects
  kTriggerCountRegister = 2,  // read-only, successful trigger() calls
  kTriggerAddrRegister = 3,   // read-only, address of the last trigger()
  kTriggerValueRegister = 4,  // read-only, value of the last trigger() (two's complement)
  kFirstPlainRegister = 5,
};

inline constexpr std::uint32_t kIdentityValue = 0x56524E31;  // "VRN1"

// The registers with a fixed meaning, in index order. The bank's access rule
// and every text that describes the register map are made from this table.
struct FixedRegister {
  RegisterIndex index;
  std::string_view name;
  bool read_only;
};
inline constexpr FixedRegister kFixedRegisters[] = {
    {kIdentityRegister, "identity", true},          {kScratchRegister, "scratch", false},
    {kTriggerCountRegister, "trigger count", true}, {kTriggerAddrRegister, "trigger address", true},
    {kTriggerValueRegister, "trigger value", true},
};
static_assert(std::size(kFixedRegisters) == kFirstPlainRegister, "one entry per fixed register");
static_assert(
    [] {
      for (std::uint32_t i = 0; i < kFirstPlainRegister; ++i) {
        if (kFixedRegisters[i].index != i) {
          return false;
        }
      }
      return true;
    }(),
    "entries in index order");

// The fixed registers as "0 identity 0x56524E31 read-only", "1 scratch", ...
// joined by separator. Throws std::bad_alloc.
std::string describe_fixed_registers(std::string_view separator);

// Every operation is thread-safe and noexcept; one mutex guards the bank and
// is never held while calling out.
class RegisterBank {
 public:
  // Throws std::runtime_error when count is below kFirstPlainRegister,
  // std::bad_alloc when the bank cannot be allocated.
  explicit RegisterBank(std::uint32_t count);

  std::uint32_t size() const noexcept { return count_; }
  static bool is_read_only(std::uint32_t addr) noexcept;

  // Stages a write; Failure for an index out of range or a read-only one.
  // A later staged write to the same register replaces the earlier one.
  BasicDeviceStatus stage(std::uint32_t addr, std::uint32_t value) noexcept;
  // Applies every staged write at once, so a snapshot sees all or none.
  BasicDeviceStatus commit() noexcept;
  // Copies the live registers into the snapshot that value() reads.
  BasicDeviceStatus refresh() noexcept;
  // The snapshot's value; 0 out of range.
  std::uint32_t value(std::uint32_t addr) const noexcept;
  // Records a trigger in the live registers at once; Failure out of range.
  BasicDeviceStatus trigger(std::uint32_t addr, int value) noexcept;

  struct Counts {
    std::uint64_t committed_writes = 0;
    std::uint64_t refreshes = 0;
    std::uint64_t triggers = 0;
  };
  Counts counts() const noexcept;

 private:
  mutable std::mutex mutex_;
  std::uint32_t count_;
  std::vector<std::uint32_t> live_;
  std::vector<std::uint32_t> snapshot_;
  std::vector<std::uint32_t> staged_value_;
  std::vector<bool> is_staged_;
  std::vector<std::uint32_t> staged_order_;  // reserved for count_ entries: staging never allocates
  Counts counts_;
};

}  // namespace vorn::sim
