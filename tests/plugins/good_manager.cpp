// The well-behaved test plug-in: a manager of TestDevice objects.
//
// create_device options, besides those of TestDevice:
//   none          return an empty holder
//   sleep_ms=N    take N ms before returning (runs without the GIL)
//   throw=TEXT    throw std::runtime_error(TEXT)
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "plugin_support.hpp"
#include "test_device.hpp"
#include "vorn/vorn.hpp"

namespace {

// Counts managers over the life of the loaded library; two loads of one file
// share it, so each manager gets its own number.
std::atomic<int> managers_made{0};

class TestManager final : public vorn::DeviceManager {
 public:
  TestManager() : serial_(++managers_made), folder_(vorn_test::own_folder()) {}

  std::string info() override { return "vorn test manager #" + std::to_string(serial_); }
  std::filesystem::path location() override { return folder_; }
  std::string list_devices() override { return "test:0\ntest:1"; }
  std::string get_device_options() override {
    return "none, sleep_ms=N, throw=TEXT, fail_send, fail_read, chunks=N, endless, chunk_bytes=N, interval_ms=N, "
           "views, error=TEXT";
  }

  // May run on several threads at once: touches no member state.
  vorn::DeviceHolder create_device(const std::string& options) override {
    for (const auto& [key, value] : vorn_test::parse_options(options)) {
      if (key == "none") {
        return {};
      }
      if (key == "sleep_ms") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(value)));
      } else if (key == "throw") {
        throw std::runtime_error(value);
      }
    }
    return vorn::DeviceHolder(new vorn_test::TestDevice(options), vorn::device_deleter{shared_from_this()});
  }

 private:
  int serial_;
  std::filesystem::path folder_;
};

}  // namespace

VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new TestManager(); }
