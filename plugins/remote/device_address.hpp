// The device text of the remote plug-in: where the server is, how to reach
// it, and the device text the server's plug-in gets.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "wire/endpoint.hpp"

namespace vorn::remote {

// "tcp://HOST:PORT[?OPTION=VALUE&...] [DEVICE TEXT]". The options belong to
// the address (no spaces), so they never clash with the server's device text,
// which is everything after the first run of spaces, passed on unchanged.
//   timeout=S      seconds a call waits for its answer (default 5)
//   heartbeat=S    seconds of silence after which the connection counts as
//                  lost (default 3)
//   plugin=NAME    the server's plug-in (default: the first it serves)
//   key=FILE       this client's key pair (vorn keys); with server_key=
//   server_key=FILE  the server's public key: the connection uses CURVE
struct DeviceAddress {
  Endpoint endpoint;
  std::chrono::milliseconds timeout{5000};
  std::chrono::milliseconds heartbeat{3000};
  std::string plugin;
  std::filesystem::path key;
  std::filesystem::path server_key;
  std::string device_text;

  // The address with its options, without the device text.
  std::string address;
};

// Throws std::runtime_error("remote: ...") naming the bad part.
DeviceAddress parse_device_address(const std::string& text);

// The option summary of get_device_options.
std::string device_address_help();

}  // namespace vorn::remote
