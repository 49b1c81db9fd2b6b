#include "core/loader/plugin_loader.hpp"

#include <boost/dll/shared_library.hpp>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/loader/library_dir.hpp"

namespace pyvorn {
namespace {

using Library = boost::dll::shared_library;

constexpr const char* kFactoryName = "create_manager";

// Keeps a library loaded until the process ends. Used when create_manager
// throws something that is not a std::exception: such an object may have its
// type information and destructor inside the plug-in, and it is still alive
// while it travels up to the caller, after the loader's own reference is gone.
void pin_for_process_lifetime(std::shared_ptr<Library> library) {
  static std::mutex mutex;
  static std::vector<std::shared_ptr<Library>> pinned;
  std::lock_guard lock(mutex);
  pinned.push_back(std::move(library));
}

}  // namespace

std::shared_ptr<vorn::DeviceManager> load_device_manager(const std::filesystem::path& plugin_path) {
  if (!std::filesystem::exists(plugin_path)) {
    throw std::runtime_error("Device Manager not found: " + plugin_path.string());
  }
  // Resolved only to check what the path finally names; loading uses the path
  // as given.
  const auto canonical = std::filesystem::canonical(plugin_path);
  if (!std::filesystem::is_regular_file(std::filesystem::status(canonical))) {
    throw std::runtime_error("Not a regular file: " + plugin_path.string());
  }

  set_library_directory(library_folder_of(plugin_path));

  auto library = std::make_shared<Library>(plugin_path, boost::dll::load_mode::default_mode);
  if (!library->has(kFactoryName)) {
    throw std::runtime_error("Device Manager does not have create_manager function: " + plugin_path.string());
  }
  // A plug-in built against other headers would crash at its first virtual
  // call: refuse it before create_manager runs. A plug-in without the mark is
  // loaded unchecked.
  if (library->has(vorn::interface_mark_symbol)) {
    const std::uint32_t built_for = library->get<const std::uint32_t>(vorn::interface_mark_symbol);
    if (built_for != vorn::interface_version) {
      throw std::runtime_error("Plug-in interface version mismatch: " + plugin_path.string() +
                               " was built for interface version " + std::to_string(built_for) +
                               ", this module provides version " + std::to_string(vorn::interface_version));
    }
  }
  auto& create_manager = library->get<vorn_create_manager_fn>(kFactoryName);

  // Only this region turns exceptions into the "Failed to create manager"
  // error. If wrapping throws, shared_ptr hands the manager to the deleter,
  // which deletes it before its library reference goes.
  try {
    return std::shared_ptr<vorn::DeviceManager>(create_manager(), vorn::manager_deleter{library});
  } catch (const std::exception& e) {
    // e may live in the plug-in: build the message while library still holds it.
    throw std::runtime_error("Failed to create manager: " + plugin_path.string() + " " + e.what());
  } catch (...) {
    pin_for_process_lifetime(library);
    throw;
  }
}

}  // namespace pyvorn
