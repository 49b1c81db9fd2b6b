// What the event pump makes of a device's data event before queueing it: the
// checks of the chunk rules of vorn/buffers.hpp, and the copy of bytes that
// stay the device's.
#pragma once

#include "core/stream/copy_blocks.hpp"
#include "vorn/stream.hpp"

namespace pyvorn {

// Turns a device's event (anything but the end marker), in place, into the
// element the pump queues in its place:
// - an error text, or an owning chunk that keeps the rules: left as it is;
// - a chunk view, or an owning chunk with a null deleter: an owning copy of
//   its bytes in a block from `copies` (released through
//   copy_block_deleter()). The null-deleter block
//   stays the device's: its pointer is let go without a call;
// - data null with a non-zero size N:
//   "Invalid stream chunk: null data with N bytes";
// - a size N above PTRDIFF_MAX (what a Python buffer, Py_ssize_t, can
//   describe): "Invalid stream chunk: N bytes is more than a buffer can
//   hold", an owning block released here, once, through its deleter;
// - a copy that cannot be allocated:
//   "Out of memory: cannot copy a chunk view of N bytes".
// Returns false, leaving an empty event (the payload released as above),
// when not even that text can be allocated. Producer thread; never throws.
bool prepare_for_queue(vorn::StreamEvent& event, CopyBlocks& copies) noexcept;

// For an event the pump drops without taking it, which the device then
// destroys: lets go of the pointer of an owning chunk with a null deleter, so
// that nothing calls it. Producer thread.
void disown_undeletable(vorn::StreamEvent& event) noexcept;

}  // namespace pyvorn
