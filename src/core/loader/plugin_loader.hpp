// Loading of device-manager plug-ins.
#pragma once

#include <filesystem>
#include <memory>

#include "vorn/device_manager.hpp"

namespace pyvorn {

// Loads the plug-in library at plugin_path, calls its create_manager and
// returns the manager, owned through a vorn::manager_deleter that keeps the
// library loaded until the manager has been deleted. Every call loads anew
// and returns a distinct manager. A null create_manager result gives a null
// pointer whose control block still holds the library until it is dropped.
//
// Runs on the caller's thread; from Python with the GIL held, so the plug-in's
// initialisation and create_manager run with it too. Takes no lock.
//
// Throws, with plugin_path.string() as given in every message:
//   std::runtime_error "Device Manager not found: <path>"
//   std::runtime_error "Not a regular file: <path>"
//   std::runtime_error "Device Manager does not have create_manager function: <path>"
//   std::runtime_error "Plug-in interface version mismatch: <path> was built
//     for interface version <N>, this module provides version <M>" when the
//     plug-in's interface mark differs from vorn::interface_version; checked
//     before create_manager is called (a plug-in without the mark passes)
//   std::runtime_error "Failed to create manager: <path> <what>" when
//     create_manager (or wrapping its result) throws a std::exception
//   std::filesystem::filesystem_error when a status query or canonical fails
//   Boost.DLL's system_error ("boost::dll::shared_library::load() failed...")
//   anything else create_manager throws, unchanged.
// Nothing of the plug-in stays loaded after a failure, except after an
// exception of a foreign type (see plugin_loader.cpp). The library search
// directory set on the way stays set.
std::shared_ptr<vorn::DeviceManager> load_device_manager(const std::filesystem::path& plugin_path);

}  // namespace pyvorn
