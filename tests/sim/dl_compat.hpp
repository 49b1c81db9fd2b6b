// dlopen, dlsym, dlclose and dlerror for tests that load a library directly:
// <dlfcn.h> on POSIX; on Windows, the subset the tests use, over LoadLibrary.
#pragma once

#ifndef _WIN32
#include <dlfcn.h>
#else
#include <windows.h>

#include <filesystem>
#include <string>

inline constexpr int RTLD_LOCAL = 0;
inline constexpr int RTLD_NOW = 2;
inline constexpr int RTLD_NOLOAD = 4;

// With RTLD_NOLOAD, only a library already loaded (its count goes up, as with
// dlopen). A relative or drive-less path is taken from the current folder.
inline void* dlopen(const char* file, int mode) {
  const std::wstring path = std::filesystem::absolute(file).make_preferred().wstring();
  HMODULE module = nullptr;
  if ((mode & RTLD_NOLOAD) != 0) {
    return GetModuleHandleExW(0, path.c_str(), &module) ? module : nullptr;
  }
  return LoadLibraryW(path.c_str());
}

inline void* dlsym(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

inline int dlclose(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) ? 0 : -1; }

inline const char* dlerror() {
  thread_local std::string text;
  text = "Windows error " + std::to_string(GetLastError());
  return text.c_str();
}
#endif
