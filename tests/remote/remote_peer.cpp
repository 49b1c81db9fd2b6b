// A hand-made peer of vorn-server for the tests: sends one message of the
// frames given in hex (a ZeroMQ DEALER, as the remote plug-in), then prints
// what the server answers within two seconds: "goodbye: REASON", "reply",
// "data", "heartbeat", or "nothing".
//
//   vorn_remote_peer tcp://HOST:PORT HEX [HEX...]
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <zmq.hpp>

#include "wire/frame.hpp"
#include "wire/transport.hpp"

namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vorn_remote_peer tcp://HOST:PORT HEX [HEX...]\n");
    return 2;
  }
  zmq::context_t context;
  zmq::socket_t socket(context, zmq::socket_type::dealer);
  socket.set(zmq::sockopt::linger, 0);
  socket.connect(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const auto bytes = from_hex(argv[i]);
    socket.send(zmq::buffer(bytes), i + 1 < argc ? zmq::send_flags::sndmore : zmq::send_flags::none);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
    zmq::poll(&item, 1, std::chrono::milliseconds(100));
    zmq::message_t first;
    if (!socket.recv(first, zmq::recv_flags::dontwait)) {
      continue;
    }
    auto frames = vorn::remote::receive_parts(socket, std::move(first), 2);
    try {
      const auto& header = frames->front();
      const auto message =
          vorn::remote::decode_server({static_cast<const std::uint8_t*>(header.data()), header.size()},
                                      frames->size() > 1 ? static_cast<std::int64_t>((*frames)[1].size()) : -1);
      if (const auto* goodbye = std::get_if<vorn::remote::Goodbye>(&message)) {
        std::printf("goodbye: %s\n", goodbye->reason.c_str());
        return 0;
      }
      std::printf("%s\n", std::holds_alternative<vorn::remote::Reply>(message)  ? "reply"
                          : std::holds_alternative<vorn::remote::Data>(message) ? "data"
                                                                                : "heartbeat");
    } catch (const vorn::remote::FrameError& error) {
      std::printf("bad answer: %s\n", error.what());
    }
    return 0;
  }
  std::printf("nothing\n");
  return 0;
}
