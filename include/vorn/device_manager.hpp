// The device-manager interface that every plug-in exports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "vorn/device.hpp"

namespace boost::dll {
class shared_library;
}  // namespace boost::dll

namespace vorn {

// Version of the plug-in interface that these headers define. It changes with
// every change that breaks plug-ins built against the previous headers (a
// virtual operation added, removed or reordered, a layout that differs). The
// module refuses to load a plug-in whose interface mark (below) names another
// version.
inline constexpr std::uint32_t interface_version = 1;

// Name of the exported interface mark: a const std::uint32_t with C linkage
// holding the interface_version a plug-in was built against.
inline constexpr char interface_mark_symbol[] = "vorn_interface_version";

// Abstract manager. The order of the virtual operations is part of the
// plug-in ABI. The loader owns every manager through a std::shared_ptr, so
// shared_from_this() works from the moment create_manager has returned (not
// inside it). create_device may be called from several threads at once, and
// concurrently with the other operations.
struct DeviceManager : std::enable_shared_from_this<DeviceManager> {
  virtual ~DeviceManager() = default;
  virtual std::string info() = 0;
  virtual std::filesystem::path location() = 0;
  virtual std::string list_devices() = 0;
  virtual std::string get_device_options() = 0;
  // Each device's deleter must hold a reference that keeps this manager
  // alive, for example shared_from_this().
  virtual DeviceHolder create_device(const std::string& options) = 0;
};

// Deleter of the manager's shared pointer: deletes the manager through its
// virtual destructor. The library reference is released when the control
// block goes, i.e. right after the manager's destructor has run.
struct manager_deleter {
  std::shared_ptr<boost::dll::shared_library> library;

  void operator()(DeviceManager* manager) const noexcept { delete manager; }
};

}  // namespace vorn

// The factory every plug-in exports with C linkage. Returns a manager
// allocated with new (ownership passes to the caller), or null.
using vorn_create_manager_fn = vorn::DeviceManager*();

#if defined(_WIN32)
#define VORN_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define VORN_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Exports the interface mark, vorn_interface_version, holding the
// interface_version this plug-in is built against; the module compares it
// with its own before it calls create_manager. vorn_add_plugin adds the mark
// to every plug-in it builds. A plug-in built otherwise writes
// `VORN_PLUGIN_INTERFACE_MARK();` at global scope in exactly one of its
// source files (never both: the symbol would be defined twice). A plug-in
// without the mark is loaded unchecked.
#define VORN_PLUGIN_INTERFACE_MARK() \
  VORN_PLUGIN_EXPORT const std::uint32_t vorn_interface_version = ::vorn::interface_version
