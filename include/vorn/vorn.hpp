// Everything a plug-in needs: include this one header.
#pragma once

#include "vorn/buffers.hpp"
#include "vorn/device.hpp"
#include "vorn/device_manager.hpp"
#include "vorn/status.hpp"
#include "vorn/stream.hpp"
