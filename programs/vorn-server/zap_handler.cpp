#include "zap_handler.hpp"

#include <zmq.h>

#include <array>

#include "session.hpp"
#include "wire/transport.hpp"

namespace vorn::server {

ZapHandler::ZapHandler(zmq::context_t& context, const std::vector<std::string>& allowed_z85_keys)
    : socket_(context, zmq::socket_type::rep) {
  for (const auto& key : allowed_z85_keys) {
    std::array<std::uint8_t, 32> bytes{};
    if (zmq_z85_decode(bytes.data(), key.c_str()) != nullptr) {
      allowed_.emplace(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
  }
  socket_.set(zmq::sockopt::linger, 0);
  socket_.bind("inproc://zeromq.zap.01");
}

void ZapHandler::handle() {
  zmq::message_t first;
  if (!socket_.recv(first, zmq::recv_flags::dontwait)) {
    return;
  }
  // version, request id, domain, address, identity, mechanism, credentials
  auto frames = remote::receive_parts(socket_, std::move(first), 8);
  if (!frames || frames->size() < 6 || (*frames)[0].to_string() != "1.0") {
    log_line("refused a peer: malformed authentication request");
    // A REP socket must answer before it can receive again.
    socket_.send(zmq::str_buffer("1.0"), zmq::send_flags::sndmore);
    socket_.send(zmq::message_t(frames && frames->size() > 1 ? (*frames)[1].to_string() : std::string()),
                 zmq::send_flags::sndmore);
    socket_.send(zmq::str_buffer("500"), zmq::send_flags::sndmore);
    socket_.send(zmq::str_buffer("malformed request"), zmq::send_flags::sndmore);
    socket_.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
    socket_.send(zmq::str_buffer(""), zmq::send_flags::none);
    return;
  }
  const std::string address = (*frames)[3].to_string();
  const std::string mechanism = (*frames)[5].to_string();
  std::string key = frames->size() > 6 ? (*frames)[6].to_string() : std::string();
  const bool allowed = mechanism == "CURVE" && key.size() == 32 && allowed_.count(key) != 0;
  std::string user;
  if (key.size() == 32) {
    std::array<char, 41> z85{};
    zmq_z85_encode(z85.data(), reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    user = z85.data();
  }
  if (!allowed) {
    log_line("refused peer " + address + ": " +
             (mechanism != "CURVE" ? "no CURVE key (mechanism " + mechanism + ")"
                                   : "public key " + user + " is not allowed"));
  }
  socket_.send(zmq::str_buffer("1.0"), zmq::send_flags::sndmore);
  socket_.send((*frames)[1], zmq::send_flags::sndmore);
  socket_.send(zmq::buffer(std::string(allowed ? "200" : "400")), zmq::send_flags::sndmore);
  socket_.send(zmq::buffer(std::string(allowed ? "OK" : "not allowed")), zmq::send_flags::sndmore);
  socket_.send(zmq::buffer(user), zmq::send_flags::sndmore);
  socket_.send(zmq::str_buffer(""), zmq::send_flags::none);
}

}  // namespace vorn::server
