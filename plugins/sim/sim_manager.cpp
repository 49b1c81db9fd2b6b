#include "sim_manager.hpp"

#include <memory>

#include "block_pool.hpp"
#include "plugin_library.hpp"
#include "sim_device.hpp"
#include "sim_options.hpp"
#include "sim_stream.hpp"

namespace vorn::sim {
namespace {

std::atomic<std::uint64_t> g_live_managers{0};

}  // namespace

SimManager::SimManager() noexcept { g_live_managers.fetch_add(1, std::memory_order_relaxed); }

SimManager::~SimManager() {
  if (g_live_managers.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
      (SimStream::live_streams() != 0 || BlockPool::live_pools() != 0)) {
    pin_plugin_library();
  }
}

std::string SimManager::info() {
  return std::string(kSimulatorName) + " (" + std::to_string(devices_created_.load(std::memory_order_relaxed)) +
         " devices created)";
}

std::filesystem::path SimManager::location() { return plugin_file().parent_path(); }

std::string SimManager::list_devices() { return device_list_text(); }

std::string SimManager::get_device_options() { return device_options_text(); }

DeviceHolder SimManager::create_device(const std::string& options) {
  DeviceSettings settings = parse_device_text(options);
  device_deleter deleter{shared_from_this()};
  auto device = std::make_unique<SimDevice>(std::move(settings));
  devices_created_.fetch_add(1, std::memory_order_relaxed);
  return DeviceHolder(device.release(), std::move(deleter));
}

}  // namespace vorn::sim
