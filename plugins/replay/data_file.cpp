#include "data_file.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vorn::replay {

DataFile::DataFile(const std::filesystem::path& path) : path_(path), in_(path, std::ios::binary) {
  if (!in_) {
    throw std::runtime_error("replay: cannot open the data file " + path.string());
  }
}

std::uint64_t DataFile::read_at(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) noexcept {
  constexpr auto kMaxStep = static_cast<std::uint64_t>(std::numeric_limits<std::streamsize>::max());
  if (offset > kMaxStep) {
    return 0;
  }
  std::lock_guard lock(mutex_);
  try {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    std::uint64_t done = 0;
    while (done < length && in_) {
      const std::uint64_t step = std::min(length - done, kMaxStep);
      in_.read(reinterpret_cast<char*>(out + done), static_cast<std::streamsize>(step));
      done += static_cast<std::uint64_t>(in_.gcount());
    }
    return done;
  } catch (...) {
    return 0;
  }
}

}  // namespace vorn::replay
