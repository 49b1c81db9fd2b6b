// The callback vorn-server hands a device for each stream it serves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "outlet.hpp"
#include "vorn/stream.hpp"
#include "wire/transport.hpp"

namespace vorn::server {

// What the session and the I/O thread share with a stream's sink: where its
// frames go and how much of its window is in use.
struct StreamLink {
  StreamLink(Outlet& out, std::string peer_route, std::uint32_t stream_id) noexcept
      : outlet(out), route(std::move(peer_route)), id(stream_id) {}

  // I/O thread: the client has taken this much. Credit for more than is on
  // its way is ignored, so a peer cannot widen the window.
  void credit(std::uint32_t messages, std::uint64_t bytes) noexcept;

  Outlet& outlet;  // outlives every stream (the server's)
  const std::string route;
  const std::uint32_t id;
  std::atomic<std::int64_t> in_flight_messages{0};
  std::atomic<std::int64_t> in_flight_bytes{0};
  // Set before the stream is stopped: the sink posts nothing more.
  std::atomic<bool> muted{false};
  std::atomic<std::uint64_t> dropped{0};
};

// A StreamCallback that turns each event into a data frame for the client,
// numbered in order. An owning chunk goes out on its own block (no copy), a
// view as a copy; when the window is full the event is dropped and its
// number skipped, so the client sees the gap; the end marker always goes
// out. Never blocks (the outlet's mutex only). keep_alive keeps the
// device's code loaded while chunks it made are in ZeroMQ's queues.
StreamCallback make_stream_sink(std::shared_ptr<StreamLink> link, std::shared_ptr<void> keep_alive);

}  // namespace vorn::server
