// The shared library that holds the simulator's code.
#pragma once

#include <filesystem>

namespace vorn::sim {

// The file this code was loaded from; empty if the system cannot tell.
std::filesystem::path plugin_file() noexcept;

// Keeps the library loaded for the rest of the process. Called when the last
// simulated device goes while streams or owned chunks still live: they run
// or release through this library's code, and nothing outside the library
// would otherwise keep it loaded once its manager is gone. Thread-safe.
void pin_plugin_library() noexcept;

}  // namespace vorn::sim
