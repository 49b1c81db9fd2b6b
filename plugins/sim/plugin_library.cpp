#include "plugin_library.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <mutex>
#include <string>
#include <system_error>

namespace vorn::sim {
namespace {

// Any function of this library will do as an anchor to find the library.
void anchor() {}

#ifdef _WIN32
// The DLL holding anchor, null if the system cannot tell. With pin, it also
// stays loaded for the rest of the process.
HMODULE own_module(bool pin) noexcept {
  HMODULE module = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                      (pin ? GET_MODULE_HANDLE_EX_FLAG_PIN : GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  return GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&anchor), &module) ? module : nullptr;
}

// The file the library was loaded from, as the system names it; empty if the
// system cannot tell. May throw std::bad_alloc.
std::filesystem::path loaded_file_name() {
  HMODULE module = own_module(false);
  std::wstring name(32768, L'\0');
  const DWORD length = module ? GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size())) : 0;
  name.resize(length);
  return name;
}

void pin_loaded_library() { static_cast<void>(own_module(true)); }
#else
std::filesystem::path loaded_file_name() {
  Dl_info found{};
  if (dladdr(reinterpret_cast<const void*>(&anchor), &found) == 0 || found.dli_fname == nullptr) {
    return {};
  }
  return found.dli_fname;
}

void pin_loaded_library() {
  const std::filesystem::path name = loaded_file_name();
  if (!name.empty()) {
    // Marks the loaded library as never to be unloaded; the handle is
    // deliberately never closed.
    static_cast<void>(dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE));
  }
}
#endif

std::once_flag g_pinned;

}  // namespace

std::filesystem::path plugin_file() noexcept {
  try {
    const std::filesystem::path name = loaded_file_name();
    if (name.empty()) {
      return {};
    }
    std::error_code error;
    std::filesystem::path file = std::filesystem::weakly_canonical(name, error);
    return error ? name : file;
  } catch (...) {
    return {};
  }
}

void pin_plugin_library() noexcept {
  try {
    std::call_once(g_pinned, [] { pin_loaded_library(); });
  } catch (...) {
  }
}

}  // namespace vorn::sim
