// A manager whose texts are not valid UTF-8, and which makes no devices; the
// device text "throw" makes create_device throw a message that is not valid
// UTF-8 either.
#include <stdexcept>

#include "plugin_support.hpp"
#include "vorn/vorn.hpp"

namespace {

class BadTextManager final : public vorn::DeviceManager {
 public:
  std::string info() override { return "info \xff\xfe"; }
  std::filesystem::path location() override { return vorn_test::own_folder(); }
  std::string list_devices() override { return "device \xc3\x28"; }
  std::string get_device_options() override { return "options \x80"; }
  vorn::DeviceHolder create_device(const std::string& text) override {
    if (text == "throw") {
      throw std::runtime_error("unknown option \xff in the device text");
    }
    return {};
  }
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new BadTextManager(); }
