// libFuzzer target: the frame decoder of vorn-server and the remote plug-in
// (plugins/remote/wire/frame.*), which reads whatever a peer sends.
//
// Input: one byte picks the decoder (client frames, server frames, a device
// listing), one byte the payload frame (none, or a size), the rest is the
// header. Every input decodes or is refused with a FrameError that says why;
// nothing else may happen. A decoded message encodes to exactly the header it
// came from: the decoder takes nothing it cannot give back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "wire/frame.hpp"

namespace {

using namespace vorn::remote;

[[noreturn]] void fail(const char* what, std::span<const std::uint8_t> header) {
  std::fprintf(stderr, "%s (header of %zu bytes)\n", what, header.size());
  std::abort();
}

template <typename Message>
void check_round_trip(const Message& message, std::span<const std::uint8_t> header) {
  const Bytes again = encode(message);
  if (again.size() != header.size() || !std::equal(again.begin(), again.end(), header.begin())) {
    fail("a decoded frame encodes to other bytes", header);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::uint8_t which = data[0] % 3;
  // 0: no payload frame; otherwise a payload of (n - 1) * 4 bytes.
  const std::int64_t payload = data[1] == 0 ? -1 : (static_cast<std::int64_t>(data[1]) - 1) * 4;
  const std::span<const std::uint8_t> header(data + 2, size - 2);
  try {
    if (which == 0) {
      const ClientMessage message = decode_client(header, payload);
      if (needs_payload(message) != (payload >= 0)) {
        fail("a client frame's payload frame was not checked", header);
      }
      check_round_trip(message, header);
    } else if (which == 1) {
      const ServerMessage message = decode_server(header, payload);
      if (needs_payload(message) && payload < 0) {
        fail("a server frame without its payload was accepted", header);
      }
      check_round_trip(message, header);
    } else {
      const std::string text(reinterpret_cast<const char*>(header.data()), header.size());
      const auto listing = decode_listing(text);
      if (encode_listing(listing) != text) {
        fail("a decoded listing encodes to other bytes", header);
      }
    }
  } catch (const FrameError& refused) {
    if (std::strlen(refused.what()) == 0) {
      fail("refused without a reason", header);
    }
  }
  return 0;
}
