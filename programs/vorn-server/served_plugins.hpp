// The device managers vorn-server serves.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vorn/device_manager.hpp"

namespace vorn::server {

struct ServedPlugin {
  std::string name;  // short name, as a client's plugin= option names it
  std::shared_ptr<DeviceManager> manager;
};

using ServedPlugins = std::vector<ServedPlugin>;

}  // namespace vorn::server
