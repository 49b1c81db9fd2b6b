#include "connection.hpp"

#include <algorithm>
#include <utility>

#include "wire/keys.hpp"

namespace vorn::remote {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOverflowNotice[] = "Queue Overflow, dropping event";
constexpr std::uint32_t kHelloId = 0;
// Messages taken from the socket in one round before the mailbox is served.
constexpr int kReceiveBatch = 256;
// Messages kept while the server cannot be reached (calls, credit,
// heartbeats); past that the connection counts as lost.
constexpr std::size_t kMaxBacklog = 100000;
constexpr auto kBacklogRetry = std::chrono::milliseconds(10);

std::string seconds_text(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) : std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
}

void push(StreamCallback& callback, StreamEvent&& event) {
  StreamEvent delivered = std::move(event);
  callback(delivered);
}

}  // namespace

Connection::Connection(std::shared_ptr<zmq::context_t> context, const DeviceAddress& address, const Hello& hello)
    : context_(std::move(context)),
      address_(address.address),
      timeout_(address.timeout),
      heartbeat_(address.heartbeat),
      socket_(*context_, zmq::socket_type::dealer),
      mailbox_(*context_) {
  socket_.set(zmq::sockopt::linger, 200);
  socket_.set(zmq::sockopt::sndhwm, 0);  // what travels is bounded by the calls and the streams' credit
  socket_.set(zmq::sockopt::rcvhwm, 0);
  socket_.set(zmq::sockopt::maxmsgsize, static_cast<std::int64_t>(kMaxBlock + kMaxReplyText + 1024));
  socket_.set(zmq::sockopt::reconnect_ivl, 100);
  if (!address.key.empty()) {
    const KeyPair own = read_key_pair(address.key);
    const auto server = read_public_keys(address.server_key);
    socket_.set(zmq::sockopt::curve_serverkey, server.front());
    socket_.set(zmq::sockopt::curve_publickey, own.public_key);
    socket_.set(zmq::sockopt::curve_secretkey, own.secret_key);
  }
  socket_.connect(address.endpoint.text());
  {
    std::lock_guard lock(mutex_);
    pending_.emplace(kHelloId, Pending{});
  }
  io_thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
  std::vector<zmq::message_t> frames;
  frames.push_back(to_message(encode(ClientMessage{hello})));
  send(Outgoing{"", std::move(frames)});
  hello_reply_ = wait_for(kHelloId, "the opening of a session").reply;
}

Connection::~Connection() {
  // The goodbye goes first: the I/O thread sends what is posted before it
  // sees the stop request; the empty message then wakes it from its poll.
  post_bye();
  io_thread_.request_stop();
  try {
    mailbox_.post(Outgoing{});
  } catch (...) {
    // it wakes by itself within the heartbeat interval
  }
}

void Connection::post_bye() noexcept {
  try {
    std::vector<zmq::message_t> frames;
    frames.push_back(to_message(encode(ClientMessage{Bye{}})));
    send(Outgoing{"", std::move(frames)});
  } catch (...) {
    // the I/O thread ends on its own; the server times the session out
  }
}

std::uint32_t Connection::send_request(Request& request, std::vector<zmq::message_t> frames) {
  {
    std::lock_guard lock(mutex_);
    if (!lost_reason_.empty()) {
      throw CallFailed(lost_reason_);
    }
    request.id = next_request_++;
    if (next_request_ == kHelloId) {
      next_request_ = 1;
    }
    pending_.emplace(request.id, Pending{});
  }
  frames.insert(frames.begin(), to_message(encode(ClientMessage{request})));
  try {
    send(Outgoing{"", std::move(frames)});
  } catch (...) {
    std::lock_guard lock(mutex_);
    pending_.erase(request.id);
    throw;
  }
  return request.id;
}

CallResult Connection::call(Request request, const std::uint8_t* payload, std::uint64_t size) {
  if (on_io_thread()) {
    throw CallFailed("remote: " + std::string(op_name(request.op)) +
                     " from inside a stream callback of the same device would wait for itself");
  }
  std::vector<zmq::message_t> frames;
  if (request.op == Op::write) {
    frames.emplace_back(payload, static_cast<std::size_t>(size));
  }
  const std::uint32_t id = send_request(request, std::move(frames));
  return wait_for(id, op_name(request.op));
}

void Connection::post(Request request) noexcept {
  try {
    const std::uint32_t id = send_request(request, {});
    std::lock_guard lock(mutex_);
    pending_.erase(id);  // a reply to it is ignored
  } catch (...) {
    // lost or out of memory: there is nothing left to tell the server
  }
}

CallResult Connection::wait_for(std::uint32_t id, const char* what) {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + timeout_;
  auto& pending = pending_.at(id);
  replied_.wait_until(lock, deadline, [&] { return pending.result.has_value() || !lost_reason_.empty(); });
  std::optional<CallResult> result = std::move(pending.result);
  pending_.erase(id);
  if (result) {
    return std::move(*result);
  }
  if (!lost_reason_.empty()) {
    throw CallFailed(lost_reason_);
  }
  throw CallFailed("remote: no answer from " + address_ + " to " + what + " within " + seconds_text(timeout_) + " s");
}

std::uint32_t Connection::attach(std::shared_ptr<StreamChannel> channel) {
  std::lock_guard lock(mutex_);
  if (!lost_reason_.empty()) {
    throw CallFailed(lost_reason_);
  }
  const std::uint32_t id = next_stream_++;
  streams_.emplace(id, std::move(channel));
  return id;
}

void Connection::detach(std::uint32_t stream) noexcept {
  std::lock_guard lock(mutex_);
  streams_.erase(stream);
}

bool Connection::lost() const noexcept {
  std::lock_guard lock(mutex_);
  return !lost_reason_.empty();
}

std::string Connection::lost_reason() const {
  std::lock_guard lock(mutex_);
  return lost_reason_;
}

void Connection::send(Outgoing&& message) {
  const bool io_thread = on_io_thread();
  bool wake = false;
  {
    std::lock_guard lock(socket_mutex_);
    if (!backlog_.empty() || !send_parts(socket_, message)) {
      backlog_.push_back(std::move(message));
      wake = true;
    }
    if (!io_thread && !wake) {
      // The send may have taken the signal of a message that arrived meanwhile.
      wake = (socket_.get(zmq::sockopt::events) & ZMQ_POLLIN) != 0;
    }
  }
  if (wake && !io_thread) {
    mailbox_.post(Outgoing{});
  }
}

bool Connection::send_backlog() {
  std::lock_guard lock(socket_mutex_);
  while (!backlog_.empty() && send_parts(socket_, backlog_.front())) {
    backlog_.pop_front();
  }
  return backlog_.size() <= kMaxBacklog;
}

std::optional<std::vector<zmq::message_t>> Connection::receive(bool& malformed) {
  std::lock_guard lock(socket_mutex_);
  zmq::message_t first;
  if (!socket_.recv(first, zmq::recv_flags::dontwait)) {
    return std::nullopt;  // read empty (commands processed): ZMQ_FD signals the next message
  }
  auto frames = receive_parts(socket_, std::move(first), 2);
  malformed = !frames;
  return frames;
}

void Connection::run(std::stop_token stop) noexcept {
  io_thread_id_.store(std::this_thread::get_id());
  const auto interval = std::max(heartbeat_ / 4, std::chrono::milliseconds(25));
  auto last_heard = Clock::now();
  auto last_sent = last_heard;
  bool input_waits = false;
  try {
    zmq::pollitem_t items[] = {{nullptr, {}, ZMQ_POLLIN, 0}, {mailbox_.wake_socket().handle(), 0, ZMQ_POLLIN, 0}};
    {
      std::lock_guard lock(socket_mutex_);  // the constructor's thread sends the hello meanwhile
      items[0].fd = socket_.get(zmq::sockopt::fd);
    }
    while (!stop.stop_requested() && !lost()) {
      bool backlog_waits = false;
      {
        std::lock_guard lock(socket_mutex_);
        backlog_waits = !backlog_.empty();
      }
      const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_sent);
      const auto wait = input_waits ? std::chrono::milliseconds(0) : backlog_waits ? kBacklogRetry : interval;
      zmq::poll(items, 2, std::clamp(interval - idle, std::chrono::milliseconds(0), wait));
      if ((items[1].revents & ZMQ_POLLIN) != 0) {
        static_cast<void>(mailbox_.take());  // wake-ups only
      }
      if (!send_backlog()) {
        lose("cannot reach " + address_ + " (more than " + std::to_string(kMaxBacklog) + " messages waiting)");
        break;
      }
      input_waits = false;
      // Read until the socket has nothing more (or a batch is done), so
      // that ZMQ_FD signals again when the next message arrives.
      for (int i = 0; i < kReceiveBatch; ++i) {
        bool malformed = false;
        auto frames = receive(malformed);
        if (malformed) {
          lose("protocol error: a message of more than two frames");
          break;
        }
        if (!frames) {
          break;
        }
        last_heard = Clock::now();
        handle(*frames);
        input_waits = i + 1 == kReceiveBatch;
      }
      const auto now = Clock::now();
      if (now - last_heard > heartbeat_) {
        lose("no message from " + address_ + " for " + seconds_text(heartbeat_) + " s");
      } else if (now - last_sent >= interval) {
        Outgoing beat{"", {}};
        beat.frames.push_back(to_message(encode(ClientMessage{Heartbeat{}})));
        send(std::move(beat));
        last_sent = now;
        // Sending may have reset ZMQ_FD while a message arrived.
        std::lock_guard lock(socket_mutex_);
        input_waits = input_waits || (socket_.get(zmq::sockopt::events) & ZMQ_POLLIN) != 0;
      }
    }
    // What was sent last (the goodbye, a stop) still goes out.
    static_cast<void>(mailbox_.take());
    if (!lost()) {
      static_cast<void>(send_backlog());
    }
  } catch (const std::exception& error) {
    lose(std::string("client I/O failed: ") + error.what());
  }
}

void Connection::handle(std::vector<zmq::message_t>& frames) {
  std::optional<zmq::message_t> payload;
  if (frames.size() == 2) {
    payload = std::move(frames[1]);
  }
  ServerMessage message;
  try {
    const auto* header = static_cast<const std::uint8_t*>(frames[0].data());
    message = decode_server({header, frames[0].size()},
                            payload ? static_cast<std::int64_t>(payload->size()) : std::int64_t{-1});
  } catch (const FrameError& error) {
    lose(std::string("protocol error: ") + error.what());
    return;
  }
  if (auto* reply = std::get_if<Reply>(&message)) {
    {
      std::lock_guard lock(mutex_);
      auto found = pending_.find(reply->id);
      if (found == pending_.end() || found->second.result) {
        return;
      }
      found->second.result = CallResult{std::move(*reply), payload ? std::move(*payload) : zmq::message_t()};
    }
    replied_.notify_all();  // outside the lock: the caller takes it at once
  } else if (auto* data = std::get_if<Data>(&message)) {
    deliver(*data, std::move(payload));
  } else if (auto* goodbye = std::get_if<Goodbye>(&message)) {
    lose(goodbye->reason);
  }
}

void Connection::deliver(const Data& data, std::optional<zmq::message_t> payload) {
  std::shared_ptr<StreamChannel> channel;
  {
    std::lock_guard lock(mutex_);
    auto found = streams_.find(data.stream);
    if (found == streams_.end()) {
      return;  // stopped here; the server stops it too
    }
    channel = found->second;
  }
  const std::uint64_t bytes = payload ? payload->size() : 0;
  {
    std::lock_guard lock(channel->mutex);
    if (data.seq < channel->next_seq || data.seq - channel->next_seq > kMaxGap) {
      const std::string what = "protocol error: stream " + std::to_string(data.stream) + " went from event " +
                               std::to_string(channel->next_seq) + " to " + std::to_string(data.seq);
      channel->mutex.unlock();
      lose(what);
      channel->mutex.lock();
      return;
    }
    if (channel->open) {
      for (std::uint64_t gap = data.seq - channel->next_seq; gap > 0 && channel->open; --gap) {
        push(channel->callback, StreamEvent(std::in_place_index<event_kind::error>, kOverflowNotice));
      }
      switch (data.event) {
        case Event::end:
          push(channel->callback, StreamEvent{});
          channel->open = false;
          break;
        case Event::error:
          push(channel->callback, StreamEvent(std::in_place_index<event_kind::error>, data.text));
          break;
        case Event::chunk:
          push(channel->callback,
               StreamEvent(std::in_place_index<event_kind::owned_chunk>, adopt_message(std::move(*payload))));
          break;
      }
    }
    channel->next_seq = data.seq + 1;
  }
  give_credit(data.stream, *channel, bytes, data.event == Event::end);
}

void Connection::give_credit(std::uint32_t stream, StreamChannel& channel, std::uint64_t bytes, bool force) {
  // I/O thread only: the counters are not shared with the stream.
  channel.uncredited_messages += 1;
  channel.uncredited_bytes += bytes;
  if (force) {
    return;  // the stream is over
  }
  if (channel.uncredited_messages < kCreditMessages && channel.uncredited_bytes < kCreditBytes) {
    return;
  }
  Outgoing credit{"", {}};
  credit.frames.push_back(
      to_message(encode(ClientMessage{Credit{stream, channel.uncredited_messages, channel.uncredited_bytes}})));
  channel.uncredited_messages = 0;
  channel.uncredited_bytes = 0;
  send(std::move(credit));
}

void Connection::lose(const std::string& reason) noexcept {
  std::map<std::uint32_t, std::shared_ptr<StreamChannel>> streams;
  std::string text;
  {
    std::lock_guard lock(mutex_);
    if (!lost_reason_.empty()) {
      return;
    }
    lost_reason_ = "connection lost: " + reason;
    text = lost_reason_;
    streams = streams_;
    replied_.notify_all();
  }
  for (auto& [id, channel] : streams) {
    std::lock_guard lock(channel->mutex);
    if (channel->open) {
      try {
        push(channel->callback, StreamEvent(std::in_place_index<event_kind::error>, text));
      } catch (...) {
        // no memory for the text: the end marker still goes out
      }
      push(channel->callback, StreamEvent{});
      channel->open = false;
    }
  }
}

}  // namespace vorn::remote
