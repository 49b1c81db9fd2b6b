// The device-selection text of the simulator: device names, options, limits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::sim {

inline constexpr std::uint64_t KiB = 1024;
inline constexpr std::uint64_t MiB = 1024 * KiB;
inline constexpr std::uint64_t GiB = 1024 * MiB;

// The product and version, as info() and get_info() report them.
inline constexpr std::string_view kSimulatorName = "vorn simulator 1.0.0";

// The devices the simulator offers. All are alike; the name labels a device.
inline constexpr std::array<std::string_view, 4> kDeviceNames = {"sim0", "sim1", "sim2", "sim3"};

// How a stream hands over its chunks.
enum class ChunkMode {
  owned,  // owning chunks (ManagedBuffer) from a per-stream block pool
  view,   // chunk views (DataView) of one producer buffer, reused after each push
};

// Limits of the numeric options (inclusive).
inline constexpr std::uint64_t kMinChunkSize = 1;
inline constexpr std::uint64_t kMaxChunkSize = 256 * MiB;
inline constexpr std::uint64_t kMaxMemorySize = 4 * GiB;
inline constexpr std::uint64_t kMinRegisterCount = 8;
inline constexpr std::uint64_t kMaxRegisterCount = 1024 * 1024;

struct StreamSettings {
  ChunkMode chunks = ChunkMode::owned;  // mode of streams started at address 0
  std::uint64_t chunk_size = 64 * KiB;  // used when start_read_stream passes 0
  std::uint64_t byte_rate = 0;          // bytes per second; 0 = unlimited
  std::uint64_t chunk_rate = 0;         // chunks per second; 0 = unlimited
  std::uint64_t length = 0;             // bytes before the end marker; 0 = endless
  std::uint64_t error_every = 0;        // an error text after every n-th chunk; 0 = never
  std::string error_text = "simulated error";

  bool operator==(const StreamSettings&) const = default;
};

struct DeviceSettings {
  std::string name = std::string(kDeviceNames[0]);
  std::uint64_t memory_size = 16 * MiB;
  std::uint32_t register_count = 256;
  StreamSettings stream;

  bool operator==(const DeviceSettings&) const = default;
};

// Parses "<name> [key=value]..." (separators: spaces, tabs, commas). An empty
// text selects sim0 with the defaults. Throws std::runtime_error naming the
// offending device, option or value.
DeviceSettings parse_device_text(std::string_view text);

// The settings as a device-selection text that parse_device_text accepts and
// that lists every option, e.g. "sim0 chunks=owned chunk_size=64K ...".
std::string format_device_text(const DeviceSettings& settings);

// A byte count in the option syntax: "64K" when a whole multiple, else digits.
std::string format_size(std::uint64_t bytes);

// The user-facing texts of DeviceManager::list_devices and get_device_options.
std::string device_list_text();
std::string device_options_text();

}  // namespace vorn::sim
