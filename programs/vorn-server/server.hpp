// vorn-server's I/O loop: the listening socket, its sessions, heartbeats.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <zmq.hpp>

#include "outlet.hpp"
#include "served_plugins.hpp"
#include "session.hpp"
#include "wire/endpoint.hpp"
#include "wire/keys.hpp"
#include "wire/transport.hpp"
#include "zap_handler.hpp"

namespace vorn::server {

struct ServerSettings {
  remote::Endpoint listen;
  // With a key pair the server speaks CURVE and admits only these clients.
  std::optional<remote::KeyPair> key;
  std::vector<std::string> allowed_clients;
};

// Owns the ZeroMQ context and every socket in it. run() is the I/O thread:
// the only thread that receives on the listening socket; sessions and their
// streams send on it through the outlet. Everything a peer sends
// is decoded with bounds; a frame that does not decode ends that peer's
// session (one log line with the reason) and nothing else.
class Server {
 public:
  // Binds. Throws zmq::error_t (address in use, ...).
  Server(ServedPlugins plugins, const ServerSettings& settings);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until stop(); then ends every session (stopping its streams and
  // releasing its device) and returns. False when sessions were still
  // stopping their streams after the shutdown deadline.
  bool run();
  // Any thread, also a signal-waiting one.
  void stop() noexcept;

 private:
  void receive();
  // The next message on the router, or nothing when none waits.
  std::optional<std::vector<zmq::message_t>> next_message(bool& malformed, std::string& route);
  void dispatch(std::vector<zmq::message_t>& frames);
  void send_pending();
  // Heartbeats and timeouts. True when it sent: a message may wait then
  // that ZMQ_FD no longer signals.
  bool tick();
  void goodbye(const std::string& route, const std::string& reason);
  void close_session(const std::string& route, const std::string& reason);
  void reap();
  std::chrono::milliseconds poll_interval() const;

  zmq::context_t context_;
  ServedPlugins plugins_;
  remote::Mailbox mailbox_;
  std::optional<ZapHandler> zap_;
  zmq::socket_t router_;  // under outlet_.mutex() while run() runs
  Outlet outlet_{router_, mailbox_};
  std::map<std::string, std::unique_ptr<Session>> sessions_;  // by routing id
  std::vector<std::unique_ptr<Session>> closing_;
  std::atomic<bool> stopping_{false};
};

}  // namespace vorn::server
