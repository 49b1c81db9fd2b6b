// Finding the plug-ins vorn-server is asked to serve.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vorn::server {

// The folders searched for a plug-in given by short name, in order, as the
// vorn package searches them: the absolute entries of VORN_PLUGIN_PATH, the
// package's plugins/ folder (beside the folder of this program, which the
// package keeps in vorn/bin/), and <prefix>/lib/vorn/plugins, where prefix is
// $VORN_PREFIX (the vorn command sets it to its interpreter's prefix) or the
// folder above this program's (cmake --install puts it in <prefix>/bin).
// There is no fallback to the current folder.
std::vector<std::filesystem::path> plugin_search_path(const std::filesystem::path& program);

// The short name of a plug-in file: its name without "lib", "vorn_" and the
// suffix (libvorn_sim.so is "sim").
std::string short_name(const std::filesystem::path& file);

// A path (anything with a '/') as given, or the first plug-in along the
// search path that the name selects (its short name, its name without "lib",
// or its file name). Throws std::runtime_error listing the folders searched.
std::filesystem::path resolve_plugin(const std::string& name_or_path, const std::filesystem::path& program);

}  // namespace vorn::server
