#include "plugin_library.hpp"

#include <dlfcn.h>

#include <mutex>

namespace vorn::remote {
namespace {

void anchor() {}

std::filesystem::path loaded_file_name() {
  Dl_info found{};
  if (dladdr(reinterpret_cast<const void*>(&anchor), &found) == 0 || found.dli_fname == nullptr) {
    return {};
  }
  return found.dli_fname;
}

std::once_flag g_pinned;

}  // namespace

std::filesystem::path plugin_file() noexcept {
  try {
    std::error_code error;
    const std::filesystem::path name = loaded_file_name();
    std::filesystem::path file = name.empty() ? name : std::filesystem::weakly_canonical(name, error);
    return error ? name : file;
  } catch (...) {
    return {};
  }
}

void pin_plugin_library() noexcept {
  try {
    std::call_once(g_pinned, [] {
      const std::filesystem::path name = loaded_file_name();
      if (!name.empty()) {
        // Never unloaded from now on; the handle is deliberately kept.
        static_cast<void>(dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
      }
    });
  } catch (...) {
  }
}

}  // namespace vorn::remote
