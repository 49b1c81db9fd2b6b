// ZeroMQ glue shared by the remote plug-in and vorn-server: messages made
// from chunks without a copy, received messages held as owning chunks, the
// outbound mailbox of an I/O thread, and multipart receive with bounds.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <zmq.hpp>

#include "vorn/buffers.hpp"
#include "wire/frame.hpp"

namespace vorn::remote {

zmq::message_t to_message(const Bytes& bytes);

// Sends owning chunks as messages built on their own blocks. The message's
// free function calls the chunk's deleter, on whichever thread ZeroMQ
// releases it (its I/O thread, or the thread that closes it), and holds
// keep_alive (the code of the device that made the chunk) until then. One
// per stream; the producer thread uses it. Thread-safe otherwise: messages may
// outlive it.
class ChunkSender {
 public:
  explicit ChunkSender(std::shared_ptr<void> keep_alive) noexcept : keep_alive_(std::move(keep_alive)) {}
  ~ChunkSender();
  ChunkSender(const ChunkSender&) = delete;
  ChunkSender& operator=(const ChunkSender&) = delete;

  // Takes the block over. An empty chunk is released at once and gives an
  // empty message. Throws zmq::error_t or std::bad_alloc; the block is then
  // released.
  zmq::message_t send(ManagedBuffer&& chunk);

 private:
  struct Releaser;
  Releaser* releaser_for(BlockDeleter deleter);

  std::shared_ptr<void> keep_alive_;
  Releaser* current_ = nullptr;
};

// A received message as an owning chunk: the chunk's deleter closes the
// message, from any thread. No copy. Throws std::bad_alloc.
ManagedBuffer adopt_message(zmq::message_t&& message);

// Owning chunks made by adopt_message that are still alive, process-wide.
std::uint64_t adopted_messages() noexcept;

// One message to send: the routing id (server side; empty on a client) and
// its frames.
struct Outgoing {
  std::string route;
  std::vector<zmq::message_t> frames;
};

// The queue through which any thread hands messages to the I/O thread that
// owns a socket, and the inproc socket that wakes that thread. post() and
// take() are thread-safe; only the I/O thread polls wake_socket() and calls
// take().
class Mailbox {
 public:
  explicit Mailbox(zmq::context_t& context);
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // Queues the message and wakes the I/O thread. Never blocks for long (a
  // mutex held only for the queue); throws std::bad_alloc.
  void post(Outgoing&& message);
  zmq::socket_t& wake_socket() noexcept { return pull_; }
  std::deque<Outgoing> take();

 private:
  std::mutex mutex_;
  std::deque<Outgoing> queue_;
  bool signalled_ = false;
  zmq::socket_t pull_;
  zmq::socket_t push_;  // under mutex_
};

// Receives the rest of a multipart message whose first frame was `first`:
// at most max_frames frames in all. A longer message is drained and
// refused: the result is empty. Non-blocking beyond the first frame.
std::optional<std::vector<zmq::message_t>> receive_parts(zmq::socket_t& socket, zmq::message_t first,
                                                         std::size_t max_frames);

// Sends a message's frames. False when ZeroMQ refused it (no route to the
// peer, queue full); the frames are then released.
bool send_parts(zmq::socket_t& socket, Outgoing& message);

}  // namespace vorn::remote
