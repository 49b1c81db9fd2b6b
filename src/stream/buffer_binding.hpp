// Python classes ManagedBuffer and DataView.
#pragma once

#include "vorn/buffers.hpp"

namespace pyvorn {

// Marks a DataView whose loan has ended: later buffer requests on its Python
// object raise BufferError. Buffers it exported before keep their pointer.
void expire_data_view(vorn::DataView& view) noexcept;

}  // namespace pyvorn
