// Native tests of the plug-in loader: the library folder it registers and
// every failure it reports, against the test plug-ins of tests/plugins.
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/loader/library_dir.hpp"
#include "core/loader/plugin_loader.hpp"

namespace fs = std::filesystem;

namespace {

fs::path plugin(const std::string& name) {
  return fs::path(VORN_TEST_PLUGIN_DIR) / (VORN_TEST_PLUGIN_PREFIX + name + VORN_TEST_PLUGIN_SUFFIX);
}

// True while the file is mapped into this process.
bool is_mapped(const fs::path& library) {
#ifdef _WIN32
  return GetModuleHandleW(fs::canonical(library).wstring().c_str()) != nullptr;
#else
  const auto target = fs::canonical(library).string();
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.ends_with(" " + target)) {
      return true;
    }
  }
  return false;
#endif
}

// Runs the test in a scratch folder and returns to the original one after.
class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    original_ = fs::current_path();
    scratch_ = fs::temp_directory_path() / ("vorn_loader_tests_" + std::to_string(::getpid()));
    fs::create_directories(scratch_);
    fs::current_path(scratch_);
  }
  void TearDown() override {
    fs::current_path(original_);
    fs::remove_all(scratch_);
  }

  fs::path original_;
  fs::path scratch_;
};

TEST(LibraryFolder, IsTheParentAsWrittenInGenericForm) {
  // On POSIX a backslash is part of a file name, not a separator, so a
  // Windows-style path has no parent here; generic form also merges repeated
  // slashes.
  const struct {
    const char* path;
    const char* folder;
  } cases[] = {
      {"libx.so", ""},
      {"plugins/libx.so", "plugins"},
      {"./libx.so", "."},
      {"../a/b/libx.so", "../a/b"},
      {"/opt/vorn/libx.so", "/opt/vorn"},
      {"/libx.so", "/"},
      {"a//b/libx.so", "a/b"},
#ifdef _WIN32
      {"C:\\vorn\\plugins\\libx.so", "C:/vorn/plugins"},
      {"a/b\\c/libx.so", "a/b/c"},
#else
      {"C:\\vorn\\plugins\\libx.so", ""},
      {"a/b\\c/libx.so", "a/b\\c"},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pyvorn::library_folder_of(c.path), c.folder) << c.path;
  }
}

TEST(LibraryFolder, SetValueIsKeptUntilChanged) {
  pyvorn::set_library_directory("some/folder");
  EXPECT_EQ(pyvorn::library_directory(), "some/folder");
  pyvorn::set_library_directory("");
  EXPECT_EQ(pyvorn::library_directory(), "");
}

TEST_F(ScratchFolder, FailuresCarryThePathAsGiven) {
  fs::create_directory("plugins_dir");
#ifndef _WIN32  // wine has no symbolic links
  fs::create_directory_symlink(scratch_ / "plugins_dir", "link_to_dir");
#endif
  const auto no_export = plugin("vorn_test_no_export").string();
  const auto throwing = plugin("vorn_test_throwing").string();
  const auto wrong_mark = plugin("vorn_test_wrong_mark").string();
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {"missing.so", "Device Manager not found: missing.so"},
      {"nowhere/../missing.so", "Device Manager not found: nowhere/../missing.so"},
      {"plugins_dir", "Not a regular file: plugins_dir"},
#ifndef _WIN32
      {"link_to_dir", "Not a regular file: link_to_dir"},
#endif
      {no_export, "Device Manager does not have create_manager function: " + no_export},
      {throwing, "Failed to create manager: " + throwing + " create_manager refused"},
      {wrong_mark, "Plug-in interface version mismatch: " + wrong_mark + " was built for interface version " +
                       std::to_string(vorn::interface_version + 1) + ", this module provides version " +
                       std::to_string(vorn::interface_version)},
  };
  for (const auto& c : cases) {
    try {
      pyvorn::load_device_manager(c.path);
      ADD_FAILURE() << "no exception for " << c.path;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(typeid(e), typeid(std::runtime_error)) << c.path;
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  // A failed load leaves nothing of the plug-in loaded.
  EXPECT_FALSE(is_mapped(no_export));
  EXPECT_FALSE(is_mapped(throwing));
  EXPECT_FALSE(is_mapped(wrong_mark));
}

TEST_F(ScratchFolder, StatusFailureIsAFilesystemError) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a loop of symbolic links, which wine cannot create";
#endif
  fs::create_symlink("loop_b", "loop_a");
  fs::create_symlink("loop_a", "loop_b");
  try {
    pyvorn::load_device_manager("loop_a");
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.path1(), "loop_a");
    EXPECT_EQ(e.code(), std::errc::too_many_symbolic_link_levels);
  }
}

TEST_F(ScratchFolder, NonLibraryFileFailsToLoadAfterSettingTheFolder) {
  fs::create_directory("sub");
  std::ofstream("sub/not_a_library.so") << "plain text\n";
  pyvorn::set_library_directory("before");
  try {
    pyvorn::load_device_manager("sub/not_a_library.so");
    ADD_FAILURE() << "no exception";
  } catch (const std::system_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("boost::dll::shared_library::load() failed")) << e.what();
  }
  EXPECT_EQ(pyvorn::library_directory(), "sub");
}

TEST_F(ScratchFolder, RelativeAndBarePathsLoadFromTheCurrentFolder) {
  fs::create_directory("plugins");
  fs::copy_file(plugin("vorn_test_good"), "plugins/libgood.so");

  auto relative = pyvorn::load_device_manager("plugins/libgood.so");
  ASSERT_NE(relative, nullptr);
  EXPECT_EQ(pyvorn::library_directory(), "plugins");
  EXPECT_EQ(relative->location(), scratch_ / "plugins");

  fs::current_path("plugins");
  auto bare = pyvorn::load_device_manager("libgood.so");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(pyvorn::library_directory(), "");
}

TEST(Loader, NonStandardExceptionsPassUnchanged) {
  EXPECT_THROW(pyvorn::load_device_manager(plugin("vorn_test_throwing_int")), int);
  // The thrown object needs its library to be destroyed after it has left
  // the loader; reaching the end of this test without a crash is the check.
  bool caught = false;
  try {
    pyvorn::load_device_manager(plugin("vorn_test_throwing_object"));
  } catch (const std::exception&) {
    ADD_FAILURE() << "translated into a std::exception";
  } catch (...) {
    caught = true;
  }
  EXPECT_TRUE(caught);
}

TEST(Loader, PluginWithoutInterfaceMarkLoads) {
  auto manager = pyvorn::load_device_manager(plugin("vorn_test_unmarked"));
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->info(), "vorn test manager without interface mark");
}

TEST(Loader, NullManagerReleasesTheLibraryWhenDropped) {
  const auto path = plugin("vorn_test_null");
  auto manager = pyvorn::load_device_manager(path);
  EXPECT_EQ(manager, nullptr);
  EXPECT_TRUE(is_mapped(path));
  manager.reset();
  EXPECT_FALSE(is_mapped(path));
}

TEST(Loader, DevicesKeepTheLibraryLoaded) {
  const auto path = plugin("vorn_test_good");
  auto first = pyvorn::load_device_manager(path);
  auto second = pyvorn::load_device_manager(path);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_NE(first->info(), second->info());
  EXPECT_EQ(first->location(), fs::absolute(VORN_TEST_PLUGIN_DIR));

  {
    // The deleter, not the device, holds the manager: it must be destroyed.
    auto device = first->create_device("");
    ASSERT_NE(device, nullptr);
    first.reset();
    second.reset();
    EXPECT_TRUE(is_mapped(path));
    EXPECT_EQ(device->set_register_sync(4, 77, 0), vorn::BasicDeviceStatus::Success);
    EXPECT_EQ(device->get_register_sync(4), 77U);
  }
  EXPECT_FALSE(is_mapped(path));
}

}  // namespace
