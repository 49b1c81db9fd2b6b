// The built plug-in, loaded the way the module loads it: dlopen, then
// create_manager, then a std::shared_ptr around the manager.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dl_compat.hpp"
#include "stream_recorder.hpp"
#include "vorn/vorn.hpp"

namespace vorn::sim {
namespace {

using test::RecordedEvent;
using test::StreamRecorder;

class SimPlugin : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = dlopen(VORN_SIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    factory_ = reinterpret_cast<vorn_create_manager_fn*>(dlsym(library_, "create_manager"));
    ASSERT_NE(factory_, nullptr) << dlerror();
  }
  static void TearDownTestSuite() {
    if (library_ != nullptr) {
      dlclose(library_);
    }
  }

  void SetUp() override {
    ASSERT_NE(factory_, nullptr);
    manager_ = std::shared_ptr<DeviceManager>(factory_());
    ASSERT_TRUE(manager_);
  }

  static inline void* library_ = nullptr;
  static inline vorn_create_manager_fn* factory_ = nullptr;
  std::shared_ptr<DeviceManager> manager_;
};

TEST_F(SimPlugin, DescribesItselfAndItsDevices) {
  EXPECT_EQ(manager_->info().rfind("vorn simulator 1.0.0", 0), 0u) << manager_->info();
  EXPECT_EQ(manager_->location(), std::filesystem::canonical(VORN_SIM_PLUGIN_PATH).parent_path());
  std::istringstream lines(manager_->list_devices());
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) {
    names.push_back(line.substr(0, line.find(':')));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"sim0", "sim1", "sim2", "sim3"}));
  EXPECT_NE(manager_->get_device_options().find("chunk_size="), std::string::npos);
}

TEST_F(SimPlugin, BadDeviceTextThrowsRuntimeErrorNamingTheValue) {
  try {
    manager_->create_device("sim0 rate=fast");
    FAIL() << "accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("rate: 'fast'"), std::string::npos) << error.what();
  }
}

TEST_F(SimPlugin, CarriesTheInterfaceMarkOfItsHeaders) {
  const auto* mark = static_cast<const std::uint32_t*>(dlsym(library_, vorn::interface_mark_symbol));
  ASSERT_NE(mark, nullptr) << "vorn_add_plugin adds the mark";
  EXPECT_EQ(*mark, vorn::interface_version);
}

TEST_F(SimPlugin, DeviceHolderKeepsItsManagerAlive) {
  const std::weak_ptr<DeviceManager> watch = manager_;
  {
    DeviceHolder device = manager_->create_device("sim2 registers=16");
    manager_.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(device->get_register_sync(0), 0x56524E31u);
    const std::string info = device->get_info().value();
    EXPECT_NE(info.find("sim2 chunks=owned"), std::string::npos) << info;
    EXPECT_NE(info.find("registers=16"), std::string::npos) << info;
  }
  EXPECT_TRUE(watch.expired()) << "the holder's deleter released the manager";
}

TEST_F(SimPlugin, CreatesDevicesFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::thread> threads;
  std::atomic<int> working{0};
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        try {
          DeviceHolder device =
              manager_->create_device("sim" + std::to_string(t) + " memory=64K registers=" + std::to_string(8 + i));
          static_cast<void>(manager_->list_devices());
          static_cast<void>(manager_->info());
          const std::uint32_t value = static_cast<std::uint32_t>(t * 1000 + i);
          if (device->set_register_sync(1, value, 0) == BasicDeviceStatus::Success &&
              device->get_register_sync(1) == value) {
            ++working;
          }
          EXPECT_THROW(manager_->create_device("sim" + std::to_string(t) + " bogus=1"), std::runtime_error);
        } catch (...) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(working.load(), kThreads * kPerThread);
  EXPECT_NE(manager_->info().find("(100 devices created)"), std::string::npos) << manager_->info();
}

TEST_F(SimPlugin, OwnedChunksOutliveStreamDeviceAndManager) {
  DeviceHolder device = manager_->create_device("sim1 length=1M chunk_size=64K");
  auto recorder = std::make_shared<StreamRecorder>(/*keep_owned=*/true);
  StreamCallback callback = StreamRecorder::callback(recorder);
  auto stream = device->start_read_stream(0, std::move(callback), 0);
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE(recorder->wait_for_end());
  stream->reset();
  EXPECT_TRUE(recorder->destroyed());
  device.reset();
  manager_.reset();
  std::vector<ManagedBuffer> kept = recorder->take_kept();
  EXPECT_EQ(kept.size(), 16u);
  EXPECT_EQ(recorder->pattern_errors(), 0u);
  kept.clear();  // the deleters run in the plug-in, which is still loaded
}

bool plugin_loaded() {
  void* handle = dlopen(VORN_SIM_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

enum class Leftover { nothing, running_stream, owned_chunks };

// Loads the plug-in as the module does (the manager's deleter deletes the
// manager, then closes the library), makes a device, leaves something of it
// behind, drops device and manager, and reports through the exit code
// whether the library stayed loaded (1) or not (0). The leftover is used and
// released afterwards, which crashes if the library went.
[[noreturn]] void load_use_and_drop(Leftover leftover) {
  auto recorder = std::make_shared<StreamRecorder>(/*keep_owned=*/true);
  std::unique_ptr<Device::DataStream> stream;
  {
    void* library = dlopen(VORN_SIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    auto* factory = reinterpret_cast<vorn_create_manager_fn*>(dlsym(library, "create_manager"));
    auto manager = std::shared_ptr<DeviceManager>(factory(), [library](DeviceManager* unused) {
      delete unused;
      dlclose(library);
    });
    DeviceHolder device = manager->create_device("sim0 chunk_size=4K");
    if (leftover != Leftover::nothing) {
      stream = std::move(*device->start_read_stream(0, StreamRecorder::callback(recorder), 0));
      recorder->wait_for_chunks(1);
    }
    if (leftover == Leftover::owned_chunks) {
      stream.reset();
    }
  }
  const bool loaded = plugin_loaded();
  if (leftover == Leftover::owned_chunks && recorder->take_kept().empty()) {
    std::exit(3);
  }
  if (stream) {
    const std::size_t seen = recorder->event_count();
    if (!recorder->wait([&](const auto& events) { return events.size() > seen + 10; })) {
      std::exit(2);  // the stream stopped working
    }
    stream.reset();
  }
  std::exit(loaded ? 1 : 0);
}

TEST(SimPluginLifetime, UnloadsWithItsLastManager) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process without the plug-in
  EXPECT_EXIT(load_use_and_drop(Leftover::nothing), testing::ExitedWithCode(0), "");
}

TEST(SimPluginLifetime, StaysLoadedForStreamsAndChunksThatOutliveEveryManager) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(load_use_and_drop(Leftover::running_stream), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(load_use_and_drop(Leftover::owned_chunks), testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace vorn::sim
