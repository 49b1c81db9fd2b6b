// One client session with a vorn-server: a DEALER socket, the I/O thread
// that owns it, the calls waiting for their replies and the streams it feeds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <zmq.hpp>

#include "device_address.hpp"
#include "vorn/stream.hpp"
#include "wire/frame.hpp"
#include "wire/transport.hpp"

namespace vorn::remote {

// A call that got no answer: the connection is lost, or the server did not
// reply in time. The text is what the caller sees.
class CallFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The client end of one stream, shared by the RemoteStream and the I/O
// thread. The I/O thread is the only thread that invokes the callback, and
// only with `mutex` held and `open` true; the stream takes the callback out
// under `mutex` and destroys it on its own thread.
struct StreamChannel {
  std::mutex mutex;
  StreamCallback callback;
  bool open = true;  // false after stop() or once the end marker went out
  // I/O thread only:
  std::uint64_t next_seq = 0;
  std::uint32_t uncredited_messages = 0;
  std::uint64_t uncredited_bytes = 0;
};

struct CallResult {
  Reply reply;
  zmq::message_t payload;  // a block read's bytes
};

class Connection {
 public:
  // Connects and opens the session with `hello`; returns once the server has
  // answered it (the answer is in hello_reply()). Throws CallFailed when the
  // server does not answer within the timeout, std::runtime_error for a key
  // file that cannot be used, zmq::error_t when the socket cannot be made.
  Connection(std::shared_ptr<zmq::context_t> context, const DeviceAddress& address, const Hello& hello);
  // Ends the session (tells the server when it can) and joins the I/O
  // thread. Never on the I/O thread: nothing there owns a Connection.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Reply& hello_reply() const noexcept { return hello_reply_; }
  const std::string& address() const noexcept { return address_; }

  // Sends the request (with the bytes of a block write) and waits for its
  // reply, up to the timeout. Any thread but the I/O thread. Throws
  // CallFailed.
  CallResult call(Request request, const std::uint8_t* payload = nullptr, std::uint64_t size = 0);
  // Sends the request without waiting for the reply. Any thread.
  void post(Request request) noexcept;

  // A new stream id, and the channel registered under it; data for it is
  // delivered from now on. detach() ends that; the channel's callback is the
  // caller's to destroy. Any thread.
  std::uint32_t attach(std::shared_ptr<StreamChannel> channel);
  void detach(std::uint32_t stream) noexcept;

  // True once the session is over ("connection lost: ..." in lost_reason).
  bool lost() const noexcept;
  std::string lost_reason() const;
  bool on_io_thread() const noexcept { return std::this_thread::get_id() == io_thread_id_.load(); }

 private:
  struct Pending {
    std::optional<CallResult> result;
  };

  void run(std::stop_token stop) noexcept;
  // Sends the message on the socket at once, from the calling thread, or
  // (no connection to the server at the moment, or older messages still
  // waiting) queues it for the I/O thread to send. Any thread; the order of
  // the messages is kept. Throws std::bad_alloc.
  void send(Outgoing&& message);
  // I/O thread: sends what waits, as far as the socket takes it. False when
  // too much waits.
  bool send_backlog();
  // I/O thread: takes the next message from the socket, if one is there.
  std::optional<std::vector<zmq::message_t>> receive(bool& malformed);
  void handle(std::vector<zmq::message_t>& frames);
  void deliver(const Data& data, std::optional<zmq::message_t> payload);
  void give_credit(std::uint32_t stream, StreamChannel& channel, std::uint64_t bytes, bool force);
  void lose(const std::string& reason) noexcept;
  void post_bye() noexcept;
  std::uint32_t send_request(Request& request, std::vector<zmq::message_t> frames);
  CallResult wait_for(std::uint32_t id, const char* what);

  std::shared_ptr<zmq::context_t> context_;
  std::string address_;
  std::chrono::milliseconds timeout_;
  std::chrono::milliseconds heartbeat_;
  // Callers send their requests on the socket themselves, the I/O thread
  // receives and sends the rest; each under socket_mutex_, which also holds
  // the backlog: what the socket did not take yet (no connection to the
  // server at the moment), sent first once it does. The I/O thread waits on
  // the socket's ZMQ_FD, which any operation on the socket may reset: a
  // thread that sent wakes it through the mailbox when a message is waiting.
  std::mutex socket_mutex_;
  zmq::socket_t socket_;
  std::deque<Outgoing> backlog_;
  Mailbox mailbox_;  // wakes the I/O thread
  Reply hello_reply_;

  mutable std::mutex mutex_;  // everything below
  std::condition_variable replied_;
  std::map<std::uint32_t, Pending> pending_;
  std::map<std::uint32_t, std::shared_ptr<StreamChannel>> streams_;
  std::uint32_t next_request_ = 1;
  std::uint32_t next_stream_ = 1;
  std::string lost_reason_;  // empty while the session lives

  std::atomic<std::thread::id> io_thread_id_{};
  std::jthread io_thread_;  // last: starts once everything above exists
};

}  // namespace vorn::remote
