#include "server.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace vorn::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxSessions = 1024;
// Messages the router may queue for one client before it counts as gone;
// stream frames are bounded by their windows long before.
constexpr int kClientQueueLimit = 20000;
constexpr auto kShutdownDeadline = std::chrono::seconds(10);
// Messages taken from the socket in one round before the mailbox is served.
constexpr int kReceiveBatch = 256;

std::string property(zmq::message_t& message, const char* name) {
  try {
    const char* value = message.gets(name);
    return value != nullptr ? value : "";
  } catch (const zmq::error_t&) {
    return "";
  }
}

std::string seconds_text(std::chrono::milliseconds duration) {
  return std::to_string(duration.count() / 1000) + "." + std::to_string(duration.count() % 1000 / 100);
}

}  // namespace

Server::Server(ServedPlugins plugins, const ServerSettings& settings)
    : plugins_(std::move(plugins)), mailbox_(context_), router_(context_, zmq::socket_type::router) {
  if (settings.key) {
    zap_.emplace(context_, settings.allowed_clients);  // before the router binds
    router_.set(zmq::sockopt::zap_domain, "vorn");
    router_.set(zmq::sockopt::curve_server, 1);
    router_.set(zmq::sockopt::curve_secretkey, settings.key->secret_key);
  }
  router_.set(zmq::sockopt::router_mandatory, 1);
  router_.set(zmq::sockopt::sndhwm, kClientQueueLimit);
  router_.set(zmq::sockopt::maxmsgsize, static_cast<std::int64_t>(remote::kMaxBlock + remote::kMaxRequestText + 1024));
  router_.set(zmq::sockopt::linger, 1000);
  if (settings.listen.ipv6) {
    router_.set(zmq::sockopt::ipv6, 1);
  }
  router_.bind(settings.listen.text());
}

Server::~Server() = default;

void Server::stop() noexcept {
  stopping_.store(true);
  try {
    mailbox_.post(remote::Outgoing{});  // wakes the I/O thread
  } catch (...) {
  }
}

std::chrono::milliseconds Server::poll_interval() const {
  auto interval = std::chrono::milliseconds(1000);
  for (const auto& [route, session] : sessions_) {
    interval = std::min(interval, session->heartbeat / 4);
  }
  return std::max(interval, std::chrono::milliseconds(25));
}

bool Server::run() {
  std::vector<zmq::pollitem_t> items = {{nullptr, router_.get(zmq::sockopt::fd), ZMQ_POLLIN, 0},
                                        {mailbox_.wake_socket().handle(), 0, ZMQ_POLLIN, 0}};
  if (zap_) {
    items.push_back({zap_->socket().handle(), 0, ZMQ_POLLIN, 0});
  }
  bool input_waits = false;
  while (!stopping_.load()) {
    zmq::poll(items.data(), items.size(), input_waits ? std::chrono::milliseconds(0) : poll_interval());
    if ((items[1].revents & ZMQ_POLLIN) != 0) {
      send_pending();
    }
    // ZMQ_FD only signals again once the router has been read empty.
    receive();
    if (zap_ && (items[2].revents & ZMQ_POLLIN) != 0) {
      zap_->handle();
    }
    input_waits = tick();
    reap();
  }
  // Every session ends: its streams stop and its device goes.
  while (!sessions_.empty()) {
    const std::string route = sessions_.begin()->first;
    goodbye(route, "the server is stopping");
    close_session(route, "server stopping");
  }
  const auto deadline = Clock::now() + kShutdownDeadline;
  while (!closing_.empty() && Clock::now() < deadline) {
    zmq::poll(items.data(), 2, std::chrono::milliseconds(20));
    send_pending();
    reap();
  }
  send_pending();
  if (!closing_.empty()) {
    log_line(std::to_string(closing_.size()) + " sessions still stopping their streams after " +
             std::to_string(kShutdownDeadline.count()) + " s");
    return false;
  }
  return true;
}

std::optional<std::vector<zmq::message_t>> Server::next_message(bool& malformed, std::string& route) {
  std::lock_guard lock(outlet_.mutex());
  zmq::message_t first;
  if (!router_.recv(first, zmq::recv_flags::dontwait)) {
    return std::nullopt;  // read empty (commands processed): ZMQ_FD signals the next message
  }
  route = first.to_string();
  auto frames = remote::receive_parts(router_, std::move(first), 3);
  malformed = !frames || frames->size() < 2;
  if (!frames) {
    frames.emplace();
  }
  return frames;
}

void Server::receive() {
  for (int i = 0; i < kReceiveBatch; ++i) {
    bool malformed = false;
    std::string route;
    auto frames = next_message(malformed, route);
    if (!frames) {
      return;
    }
    if (malformed) {
      const std::string reason =
          frames->size() == 1 ? "a message without a header" : "a message of more than two frames";
      goodbye(route, "malformed frame: " + reason);
      if (sessions_.count(route) != 0) {
        close_session(route, "malformed frame: " + reason);
      } else {
        log_line("refused a peer: malformed frame: " + reason);
      }
      continue;
    }
    dispatch(*frames);
  }
}

void Server::dispatch(std::vector<zmq::message_t>& frames) {
  const std::string route = frames[0].to_string();
  zmq::message_t& header = frames[1];
  std::optional<zmq::message_t> payload;
  if (frames.size() == 3) {
    payload = std::move(frames[2]);
  }
  remote::ClientMessage message;
  std::string malformed;
  try {
    message = remote::decode_client({static_cast<const std::uint8_t*>(header.data()), header.size()},
                                    payload ? static_cast<std::int64_t>(payload->size()) : std::int64_t{-1});
  } catch (const remote::FrameError& error) {
    malformed = error.what();
  }
  auto found = sessions_.find(route);
  if (found == sessions_.end()) {
    const std::string peer = property(header, "Peer-Address");
    if (!malformed.empty()) {
      log_line("refused peer " + peer + ": malformed frame: " + malformed);
      goodbye(route, "malformed frame: " + malformed);
    } else if (auto* hello = std::get_if<remote::Hello>(&message)) {
      if (sessions_.size() >= kMaxSessions) {
        log_line("refused peer " + peer + ": " + std::to_string(kMaxSessions) + " sessions already");
        goodbye(route, "the server has too many sessions");
        return;
      }
      const std::string user = property(header, "User-Id");
      const std::string who = (peer.empty() ? "(unknown address)" : peer) + (user.empty() ? "" : " key " + user);
      sessions_.emplace(route, std::make_unique<Session>(outlet_, route, who, *hello, plugins_));
    } else if (!std::holds_alternative<remote::Bye>(message)) {
      goodbye(route, "the server has no such session (it was restarted, or ended it)");
    }
    return;
  }
  Session& session = *found->second;
  session.last_heard = Clock::now();
  if (!malformed.empty()) {
    goodbye(route, "malformed frame: " + malformed);
    close_session(route, "malformed frame: " + malformed);
    return;
  }
  if (auto* request = std::get_if<remote::Request>(&message)) {
    if (!session.enqueue(*request, std::move(payload))) {
      goodbye(route, "too many calls waiting");
      close_session(route, "too many calls waiting");
    }
  } else if (auto* credit = std::get_if<remote::Credit>(&message)) {
    session.credit(*credit);
  } else if (std::holds_alternative<remote::Bye>(message)) {
    close_session(route, "the client ended the session");
  } else if (std::holds_alternative<remote::Hello>(message)) {
    goodbye(route, "malformed frame: a second hello");
    close_session(route, "malformed frame: a second hello");
  }
}

void Server::send_pending() {
  std::vector<std::string> gone;
  {
    // Under the outlet's mutex throughout, so that no sender's frame
    // overtakes the ones that waited here.
    std::lock_guard lock(outlet_.mutex());
    for (auto& message : mailbox_.take()) {
      if (message.frames.empty()) {
        continue;  // a wake-up
      }
      const bool sent = remote::send_parts(router_, message);
      auto found = sessions_.find(message.route);
      if (found == sessions_.end()) {
        continue;
      }
      if (sent) {
        found->second->last_sent = Clock::now();
      } else {
        gone.push_back(message.route);
      }
    }
    outlet_.drained();
  }
  for (const auto& route : gone) {
    close_session(route, "the client went away");
  }
}

bool Server::tick() {
  const auto now = Clock::now();
  bool sent = false;
  std::vector<std::string> silent;
  for (auto& [route, session] : sessions_) {
    if (now - session->last_heard > session->heartbeat) {
      silent.push_back(route);
    } else if (now - session->last_sent >= session->heartbeat / 4) {
      remote::Outgoing beat{route, {}};
      beat.frames.push_back(remote::to_message(remote::encode(remote::ServerMessage{remote::Heartbeat{}})));
      std::lock_guard lock(outlet_.mutex());
      if (remote::send_parts(router_, beat)) {
        session->last_sent = now;
      }
      sent = true;
    }
  }
  for (const auto& route : silent) {
    const auto heartbeat = sessions_.at(route)->heartbeat;
    close_session(route, "no message from the client for " + seconds_text(heartbeat) + " s");
  }
  return sent;
}

void Server::goodbye(const std::string& route, const std::string& reason) {
  remote::Outgoing out{route, {}};
  out.frames.push_back(remote::to_message(remote::encode(remote::ServerMessage{remote::Goodbye{reason}})));
  std::lock_guard lock(outlet_.mutex());
  static_cast<void>(remote::send_parts(router_, out));
}

void Server::close_session(const std::string& route, const std::string& reason) {
  auto found = sessions_.find(route);
  if (found == sessions_.end()) {
    return;
  }
  found->second->close(reason);
  closing_.push_back(std::move(found->second));
  sessions_.erase(found);
}

void Server::reap() {
  std::erase_if(closing_, [](const std::unique_ptr<Session>& session) { return session->finished(); });
}

}  // namespace vorn::server
