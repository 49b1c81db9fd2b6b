// The plug-in's only export.
#include "sim_manager.hpp"
#include "vorn/device_manager.hpp"

// Ownership of the new manager passes to the caller, who wraps it in a
// std::shared_ptr before calling anything else. Throws std::bad_alloc.
VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new vorn::sim::SimManager(); }
