// The data file of a recording, read at byte offsets from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace vorn::replay {

// Opened once; every read seeks and reads under one mutex, so the device's
// block reads and its streams' producers may read at the same time.
class DataFile {
 public:
  // Throws std::runtime_error naming the file when it cannot be opened.
  explicit DataFile(const std::filesystem::path& path);
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Reads up to length bytes at offset into out; returns how many were read
  // (fewer at the end of the file, 0 past it or on a read error).
  std::uint64_t read_at(std::uint64_t offset, std::uint64_t length, std::uint8_t* out) noexcept;

  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  const std::filesystem::path path_;
  std::mutex mutex_;
  std::ifstream in_;
};

}  // namespace vorn::replay
