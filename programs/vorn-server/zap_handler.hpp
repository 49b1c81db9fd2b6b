// The ZAP handler of a vorn-server that uses CURVE: admits the clients whose
// public keys it was given, and refuses every other peer.
#pragma once

#include <set>
#include <string>
#include <vector>
#include <zmq.hpp>

namespace vorn::server {

// Binds the context's ZAP endpoint (before any socket that uses it binds).
// The server's I/O thread polls socket() and calls handle() when it is
// readable.
class ZapHandler {
 public:
  ZapHandler(zmq::context_t& context, const std::vector<std::string>& allowed_z85_keys);

  zmq::socket_t& socket() noexcept { return socket_; }
  // Answers one request. A request that is not well formed gets no answer
  // (ZeroMQ then refuses the peer) and a log line.
  void handle();

 private:
  zmq::socket_t socket_;
  std::set<std::string> allowed_;  // the keys' 32 bytes
};

}  // namespace vorn::server
