// The byte pattern of simulated read streams.
#pragma once

#include <cstdint>

namespace vorn::sim {

// The stream is a run of little-endian 64-bit counters 0, 1, 2, ...: the byte
// at stream offset i is byte (i % 8) of the counter i / 8. fill_pattern
// writes the count bytes that start at stream offset `offset`, so chunks of
// any size continue the pattern byte-exactly.
void fill_pattern(std::uint8_t* out, std::uint64_t offset, std::uint64_t count) noexcept;

// The index of the first byte where data differs from the pattern at offset,
// or count when all match.
std::uint64_t find_pattern_mismatch(const std::uint8_t* data, std::uint64_t offset, std::uint64_t count) noexcept;

}  // namespace vorn::sim
