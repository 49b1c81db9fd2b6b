// The shared library that holds the remote plug-in's code.
#pragma once

#include <filesystem>

namespace vorn::remote {

// The file this code was loaded from; empty if the system cannot tell.
std::filesystem::path plugin_file() noexcept;

// Keeps the library loaded for the rest of the process: received chunks that
// outlive the last manager release through its code. Thread-safe.
void pin_plugin_library() noexcept;

}  // namespace vorn::remote
