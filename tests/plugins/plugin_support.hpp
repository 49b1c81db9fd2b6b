// Helpers shared by the test plug-ins.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_test {

// The folder of the library this code was linked into, absolute. Call it
// while loading (from create_manager), before the process may change folder.
inline std::filesystem::path own_folder() {
#ifdef _WIN32
  HMODULE module = nullptr;
  std::wstring name(32768, L'\0');
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&own_folder), &module)) {
    return {};
  }
  name.resize(GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size())));
  return std::filesystem::absolute(name).lexically_normal().parent_path();
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_folder), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return std::filesystem::absolute(info.dli_fname).lexically_normal().parent_path();
#endif
}

// One "key" or "key=value" item of a comma-separated option text.
struct Option {
  std::string key;
  std::string value;
};

inline std::vector<Option> parse_options(std::string_view text) {
  std::vector<Option> options;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) {
      continue;
    }
    const auto equals = item.find('=');
    if (equals == std::string_view::npos) {
      options.push_back({std::string(item), {}});
    } else {
      options.push_back({std::string(item.substr(0, equals)), std::string(item.substr(equals + 1))});
    }
  }
  return options;
}

}  // namespace vorn_test
