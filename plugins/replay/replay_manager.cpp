#include "replay_manager.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <memory>
#include <system_error>

#include "replay_device.hpp"
#include "replay_options.hpp"

namespace vorn::replay {
namespace {

// The file holding this function's code, as the system names it; empty if
// it cannot tell.
std::filesystem::path own_file() {
#ifdef _WIN32
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&own_file), &module)) {
    return {};
  }
  std::wstring name(32768, L'\0');
  name.resize(GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size())));
  return name;
#else
  Dl_info found{};
  if (dladdr(reinterpret_cast<const void*>(&own_file), &found) == 0 || found.dli_fname == nullptr) {
    return {};
  }
  return found.dli_fname;
#endif
}

}  // namespace

std::string ReplayManager::info() {
  return std::string(kReplayName) + " (" + std::to_string(devices_created_.load(std::memory_order_relaxed)) +
         " devices created)";
}

std::filesystem::path ReplayManager::location() {
  try {
    std::error_code error;
    const std::filesystem::path file = own_file();
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(file, error);
    return (error ? file : canonical).parent_path();
  } catch (...) {
    return {};
  }
}

std::string ReplayManager::list_devices() { return {}; }

std::string ReplayManager::get_device_options() { return replay_options_help(); }

DeviceHolder ReplayManager::create_device(const std::string& options) {
  device_deleter deleter{shared_from_this()};
  auto device = std::make_unique<ReplayDevice>(parse_replay_text(options));
  devices_created_.fetch_add(1, std::memory_order_relaxed);
  return DeviceHolder(device.release(), std::move(deleter));
}

}  // namespace vorn::replay

// The plug-in's only export. Ownership of the new manager passes to the
// caller, who wraps it in a std::shared_ptr before calling anything else.
VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new vorn::replay::ReplayManager(); }
