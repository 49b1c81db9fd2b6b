#include "plugin_library.hpp"

#include <dlfcn.h>

#include <mutex>
#include <system_error>

namespace vorn::sim {
namespace {

// Any function of this library will do as an anchor for dladdr.
void anchor() {}

const char* loaded_file_name() noexcept {
  Dl_info found{};
  if (dladdr(reinterpret_cast<const void*>(&anchor), &found) == 0) {
    return nullptr;
  }
  return found.dli_fname;
}

std::once_flag g_pinned;

}  // namespace

std::filesystem::path plugin_file() noexcept {
  try {
    const char* name = loaded_file_name();
    if (name == nullptr || *name == '\0') {
      return {};
    }
    std::error_code error;
    std::filesystem::path file = std::filesystem::weakly_canonical(name, error);
    return error ? std::filesystem::path(name) : file;
  } catch (...) {
    return {};
  }
}

void pin_plugin_library() noexcept {
  try {
    std::call_once(g_pinned, [] {
      const char* name = loaded_file_name();
      if (name != nullptr && *name != '\0') {
        // Marks the loaded library as never to be unloaded; the handle is
        // deliberately never closed.
        static_cast<void>(dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
      }
    });
  } catch (...) {
  }
}

}  // namespace vorn::sim
