#include "plugin_search.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>

namespace vorn::server {
namespace {

constexpr char kSuffix[] = ".so";

std::string stem_of(const std::string& file_name) {
  std::string stem = file_name.substr(0, file_name.size() - (sizeof(kSuffix) - 1));
  return stem.rfind("lib", 0) == 0 ? stem.substr(3) : stem;
}

bool is_plugin_file(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  std::error_code error;
  return name.size() > sizeof(kSuffix) - 1 && name.ends_with(kSuffix) && std::filesystem::is_regular_file(file, error);
}

}  // namespace

std::string short_name(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  if (!name.ends_with(kSuffix)) {
    return name;
  }
  const std::string stem = stem_of(name);
  return stem.rfind("vorn_", 0) == 0 && stem.size() > 5 ? stem.substr(5) : stem;
}

std::vector<std::filesystem::path> plugin_search_path(const std::filesystem::path& program) {
  std::vector<std::filesystem::path> folders;
  if (const char* entries = std::getenv("VORN_PLUGIN_PATH")) {
    std::stringstream list(entries);
    for (std::string entry; std::getline(list, entry, ':');) {
      if (!entry.empty() && entry.front() == '/') {
        folders.emplace_back(entry);
      }
    }
  }
  const std::filesystem::path here = program.parent_path();
  folders.push_back(here.parent_path() / "plugins");
  const char* prefix = std::getenv("VORN_PREFIX");
  folders.push_back((prefix != nullptr && *prefix != '\0' ? std::filesystem::path(prefix) : here.parent_path()) /
                    "lib" / "vorn" / "plugins");
  std::vector<std::filesystem::path> unique;
  std::set<std::filesystem::path> seen;
  for (auto& folder : folders) {
    std::error_code error;
    auto real = std::filesystem::weakly_canonical(folder, error);
    if (seen.insert(error ? folder : real).second) {
      unique.push_back(folder.lexically_normal());
    }
  }
  return unique;
}

std::filesystem::path resolve_plugin(const std::string& name_or_path, const std::filesystem::path& program) {
  if (name_or_path.find('/') != std::string::npos) {
    return name_or_path;
  }
  const auto folders = plugin_search_path(program);
  for (const auto& folder : folders) {
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      const std::string name = file.filename().string();
      if (is_plugin_file(file) &&
          (name_or_path == short_name(file) || name_or_path == stem_of(name) || name_or_path == name)) {
        return file;
      }
    }
  }
  std::string searched;
  for (const auto& folder : folders) {
    searched += (searched.empty() ? "" : ", ") + folder.string();
  }
  throw std::runtime_error("no plug-in named '" + name_or_path + "' on the plug-in search path (" + searched +
                           "; add folders with VORN_PLUGIN_PATH, or pass the plug-in's path)");
}

}  // namespace vorn::server
