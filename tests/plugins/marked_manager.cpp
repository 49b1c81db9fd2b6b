// A plug-in built without vorn_add_plugin, so it carries no interface mark
// unless VORN_TEST_MARK_OFFSET is defined: then its mark is
// vorn::interface_version plus that offset, and the loader must refuse it
// before create_manager runs.
#include <stdexcept>

#include "vorn/vorn.hpp"

#ifdef VORN_TEST_MARK_OFFSET
VORN_PLUGIN_EXPORT const std::uint32_t vorn_interface_version = vorn::interface_version + VORN_TEST_MARK_OFFSET;
#endif

namespace {

struct UnmarkedManager final : vorn::DeviceManager {
  std::string info() override { return "vorn test manager without interface mark"; }
  std::filesystem::path location() override { return {}; }
  std::string list_devices() override { return {}; }
  std::string get_device_options() override { return {}; }
  vorn::DeviceHolder create_device(const std::string&) override { return {}; }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() {
#ifdef VORN_TEST_MARK_OFFSET
  throw std::runtime_error("create_manager ran despite the interface mark");
#else
  return new UnmarkedManager();
#endif
}
