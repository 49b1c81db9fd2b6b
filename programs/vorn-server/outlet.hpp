// The server's ROUTER socket, shared by the threads that send on it.
#pragma once

#include <mutex>
#include <zmq.hpp>

#include "wire/transport.hpp"

namespace vorn::server {

// The I/O thread receives on the router and sends its own frames (goodbyes,
// heartbeats); session workers and stream sinks send their replies and data
// frames on it themselves, saving the hop through the I/O thread. Every use
// of the socket is under mutex(). The I/O thread waits on the router's
// ZMQ_FD, which any operation on the socket may reset: a sender that finds a
// message waiting afterwards wakes it through the mailbox.
//
// A message the router does not take (the client went away, or its queue is
// full) goes to the mailbox, and so does every later one until the I/O
// thread has sent or refused them, so the order of a stream's frames is
// kept; the I/O thread then ends that client's session.
class Outlet {
 public:
  Outlet(zmq::socket_t& router, remote::Mailbox& mailbox) noexcept : router_(router), mailbox_(mailbox) {}
  Outlet(const Outlet&) = delete;
  Outlet& operator=(const Outlet&) = delete;

  // Any thread but the I/O thread. Waits for the mutex only (held for one
  // non-blocking operation at a time). Throws std::bad_alloc.
  void send(remote::Outgoing&& message);

  // I/O thread, with mutex() held: what the senders had to leave in the
  // mailbox has been dealt with; they send directly again.
  void drained() noexcept { deferred_ = false; }

  std::mutex& mutex() noexcept { return mutex_; }

 private:
  zmq::socket_t& router_;
  remote::Mailbox& mailbox_;
  std::mutex mutex_;
  bool deferred_ = false;  // under mutex_: messages wait in the mailbox
};

}  // namespace vorn::server
