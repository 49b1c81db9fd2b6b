// The process-wide folder in which the system loader looks for the
// dependencies of a plug-in library.
#pragma once

#include <filesystem>
#include <string>

namespace pyvorn {

// The folder that the loader registers for a plug-in path: the parent of the
// path exactly as the caller wrote it (not made absolute or canonical), in
// generic form. A bare file name gives "". On POSIX a backslash is an
// ordinary file-name character, so "a\\b.so" has no parent and gives "" too;
// on Windows backslashes are separators and come back as forward slashes.
std::string library_folder_of(const std::filesystem::path& plugin_path);

// Makes folder the process's library search directory. Process-wide and never
// reset: it outlasts the load that set it, whether that succeeds or not.
// On Windows this is SetDllDirectoryA (its result is not checked); elsewhere
// the folder is only recorded, because a plug-in built with vorn_add_plugin
// finds its own dependencies through its $ORIGIN run path. Thread-safe.
void set_library_directory(const std::string& folder);

// The folder last passed to set_library_directory, "" before the first call.
std::string library_directory();

}  // namespace pyvorn
