#include "core/loader/library_dir.hpp"

#include <mutex>

#ifdef _WIN32
#include <windows.h>
#endif

namespace pyvorn {
namespace {

std::mutex& folder_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& current_folder() {
  static std::string folder;
  return folder;
}

}  // namespace

std::string library_folder_of(const std::filesystem::path& plugin_path) {
  return plugin_path.parent_path().generic_string();
}

void set_library_directory(const std::string& folder) {
  std::lock_guard lock(folder_mutex());
#ifdef _WIN32
  SetDllDirectoryA(folder.c_str());
#endif
  current_folder() = folder;
}

std::string library_directory() {
  std::lock_guard lock(folder_mutex());
  return current_folder();
}

}  // namespace pyvorn
