// The plug-in's only export.
#include "remote_manager.hpp"
#include "vorn/device_manager.hpp"

// Ownership of the new manager passes to the caller. Throws std::bad_alloc
// or zmq::error_t.
VORN_PLUGIN_EXPORT vorn::DeviceManager* create_manager() { return new vorn::remote::RemoteManager(); }
