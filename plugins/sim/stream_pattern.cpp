#include "stream_pattern.hpp"

#include <bit>
#include <cstring>

namespace vorn::sim {
namespace {

std::uint64_t to_little_endian(std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

std::uint8_t pattern_byte(std::uint64_t offset) noexcept {
  return static_cast<std::uint8_t>((offset / 8) >> (8 * (offset % 8)));
}

}  // namespace

void fill_pattern(std::uint8_t* out, std::uint64_t offset, std::uint64_t count) noexcept {
  // Unaligned head up to the next counter boundary.
  while (count != 0 && offset % 8 != 0) {
    *out++ = pattern_byte(offset++);
    --count;
  }
  std::uint64_t counter = offset / 8;
  for (std::uint64_t words = count / 8; words != 0; --words) {
    const std::uint64_t word = to_little_endian(counter++);
    std::memcpy(out, &word, 8);
    out += 8;
  }
  offset = counter * 8;
  for (count %= 8; count != 0; --count) {
    *out++ = pattern_byte(offset++);
  }
}

std::uint64_t find_pattern_mismatch(const std::uint8_t* data, std::uint64_t offset, std::uint64_t count) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    if (data[i] != pattern_byte(offset + i)) {
      return i;
    }
  }
  return count;
}

}  // namespace vorn::sim
