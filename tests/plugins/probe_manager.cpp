// The probe plug-in: records into the probe log when the library is loaded
// and unloaded, and when its manager and devices are created and destroyed.
// Events: loaded, manager created, device created, device destroyed,
// manager destroyed, unloaded.
#include "plugin_support.hpp"
#include "probe_log.hpp"
#include "test_device.hpp"
#include "vorn/vorn.hpp"

namespace {

// Constructed when the library is loaded, destroyed when it is unloaded.
struct LoadMarker {
  LoadMarker() { vorn_probe_record("loaded"); }
  ~LoadMarker() { vorn_probe_record("unloaded"); }
  LoadMarker(const LoadMarker&) = delete;
  LoadMarker& operator=(const LoadMarker&) = delete;
};
const LoadMarker load_marker;

class ProbeDevice final : public vorn_test::TestDevice {
 public:
  explicit ProbeDevice(const std::string& options) : TestDevice(options) { vorn_probe_record("device created"); }
  ~ProbeDevice() override { vorn_probe_record("device destroyed"); }
};

class ProbeManager final : public vorn::DeviceManager {
 public:
  ProbeManager() : folder_(vorn_test::own_folder()) { vorn_probe_record("manager created"); }
  ~ProbeManager() override { vorn_probe_record("manager destroyed"); }

  std::string info() override { return "vorn probe manager"; }
  std::filesystem::path location() override { return folder_; }
  std::string list_devices() override { return "probe"; }
  std::string get_device_options() override { return ""; }
  vorn::DeviceHolder create_device(const std::string& options) override {
    return vorn::DeviceHolder(new ProbeDevice(options), vorn::device_deleter{shared_from_this()});
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new ProbeManager(); }
