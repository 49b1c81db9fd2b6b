// A recording made by vorn: the data file NAME and its metadata NAME.json.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn::replay {

// Limits for what a metadata file may say (inclusive).
inline constexpr std::uint64_t kMaxMetadataBytes = 64ull << 20;
inline constexpr std::uint64_t kMaxChunkSize = 256ull << 20;  // as for the simulator
inline constexpr std::uint64_t kMaxDroppedPerGap = 1ull << 32;
inline constexpr std::uint64_t kMaxErrorText = 64ull << 10;

inline constexpr const char* kFormatName = "vorn-recording";
inline constexpr std::uint64_t kFormatVersion = 1;

struct ChunkRun {
  std::uint64_t size = 0;
  std::uint64_t count = 0;  // chunks of this size in a row, at least 1
};

struct Gap {
  std::uint64_t offset = 0;   // bytes of data before it
  std::uint64_t dropped = 0;  // events lost there, at least 1
};

struct ErrorMark {
  std::uint64_t offset = 0;
  std::string text;
};

// What the metadata says, checked against itself and the data file: the
// chunk sizes add up to the data file's size, gaps and errors are in order
// and within the data.
struct Recording {
  std::filesystem::path data_path;
  std::string metadata;  // the metadata file's text, as read
  std::uint32_t address = 0;
  std::uint64_t bytes = 0;
  std::uint64_t chunks = 0;
  double duration = 0.0;  // seconds
  std::vector<ChunkRun> chunk_sizes;
  std::vector<Gap> gaps;
  std::vector<ErrorMark> errors;
};

// Reads and checks NAME.json for the data file NAME. Everything read is
// untrusted: throws std::runtime_error naming the file and the key or value
// that is wrong, or what does not agree with the data file.
Recording load_recording(const std::filesystem::path& data_path);

}  // namespace vorn::replay
