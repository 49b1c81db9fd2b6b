// The device text of the replay plug-in: "path/to/NAME rate=max loop=0".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::replay {

// The product and version, as info() and get_info() report them.
inline constexpr std::string_view kReplayName = "vorn replay 1.0.0";

enum class RateMode {
  max,       // as fast as the consumer takes it
  realtime,  // the recording's own rate: its bytes over its duration
  bytes,     // bytes_per_second
};

struct ReplayOptions {
  std::string path;  // the data file; its metadata is path + ".json"
  RateMode rate = RateMode::max;
  std::uint64_t bytes_per_second = 0;  // RateMode::bytes only, above 0
  bool loop = false;                   // start again after the end, until stopped

  bool operator==(const ReplayOptions&) const = default;
};

// Parses "<path> [rate=max|realtime|N] [loop=0|1]", separated by spaces or
// tabs; the path may be quoted with '...' or "..." to hold spaces. N is
// bytes per second: digits with an optional K, M or G (times 1024, 1024²,
// 1024³). Throws std::runtime_error naming the offending part.
ReplayOptions parse_replay_text(std::string_view text);

// The options as a device text that parse_replay_text accepts.
std::string format_replay_text(const ReplayOptions& options);

// The user-facing text of get_device_options.
std::string replay_options_help();

}  // namespace vorn::replay
