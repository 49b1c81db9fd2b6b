// The stream starters of Device and the Python class DataStream.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "bridges/python_sinks.hpp"
#include "vorn/device.hpp"

namespace pyvorn {

using DataStream = vorn::Device::DataStream;

// Deleter of the Python DataStream's holder; runs on the thread that
// collects the object. Destroying a stream may join threads that need the GIL
// to finish (the stream's worker drops the Python callback), so the GIL is
// released meanwhile. On a stream's delivery thread the destruction is handed
// to the module's stopper thread instead (see stream_lifecycle.hpp). noexcept.
struct StreamDeleter {
  void operator()(DataStream* stream) const noexcept;
};

using StreamHolder = std::unique_ptr<DataStream, StreamDeleter>;

// Starts a stream whose callback receives ManagedBuffer chunks.
// Throws std::runtime_error for max_queue_elements that narrows below 64
// (before the device is called) and whatever the device throws. GIL held.
std::optional<StreamHolder> start_read_stream(vorn::Device& device, std::uint32_t addr, ManagedBufferCallable callback,
                                              std::uint64_t chunk_size, std::uint64_t max_queue_elements);

// Starts a stream whose callback receives DataView chunks re-cut to whole
// multiples of `alignment` bytes (the last piece may be shorter). Refuses an
// alignment of 0 before the device is called. GIL held.
std::optional<StreamHolder> start_aligned_read_stream(vorn::Device& device, std::uint32_t addr, std::uint64_t alignment,
                                                      DataViewCallable callback, std::uint64_t chunk_size,
                                                      std::uint64_t max_queue_elements);

}  // namespace pyvorn
