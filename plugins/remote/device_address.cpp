#include "device_address.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "wire/frame.hpp"

namespace vorn::remote {
namespace {

std::chrono::milliseconds parse_seconds(const std::string& name, const std::string& value, double low, double high) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (value.empty() || error != std::errc{} || end != value.data() + value.size() || !std::isfinite(seconds) ||
      seconds < low || seconds > high) {
    throw std::runtime_error("remote: option " + name + "=" + value + " is not a number of seconds from " +
                             std::to_string(low).substr(0, 3) + " to " + std::to_string(static_cast<long>(high)));
  }
  return std::chrono::milliseconds(static_cast<long>(std::llround(seconds * 1000)));
}

void apply_option(DeviceAddress& address, const std::string& item) {
  const auto equals = item.find('=');
  const std::string name = item.substr(0, equals);
  if (equals == std::string::npos || equals + 1 == item.size()) {
    throw std::runtime_error("remote: option '" + item +
                             "' has no value (options: " + "timeout, heartbeat, plugin, key, server_key)");
  }
  const std::string value = item.substr(equals + 1);
  if (name == "timeout") {
    address.timeout = parse_seconds(name, value, 0.1, 3600);
  } else if (name == "heartbeat") {
    address.heartbeat = parse_seconds(name, value, kMinHeartbeatMs / 1000.0, kMaxHeartbeatMs / 1000.0);
  } else if (name == "plugin") {
    address.plugin = value;
  } else if (name == "key") {
    address.key = value;
  } else if (name == "server_key") {
    address.server_key = value;
  } else {
    throw std::runtime_error("remote: unknown option '" + name + "' in '" + item +
                             "' (options: timeout, heartbeat, plugin, key, server_key)");
  }
}

}  // namespace

DeviceAddress parse_device_address(const std::string& text) {
  const auto start = text.find_first_not_of(' ');
  if (start == std::string::npos) {
    throw std::runtime_error("remote: the device text names no server (expected 'tcp://HOST:PORT DEVICE TEXT')");
  }
  const auto space = text.find(' ', start);
  DeviceAddress address;
  address.address = text.substr(start, space == std::string::npos ? std::string::npos : space - start);
  if (space != std::string::npos) {
    const auto rest = text.find_first_not_of(' ', space);
    address.device_text = rest == std::string::npos ? "" : text.substr(rest);
  }
  const auto query = address.address.find('?');
  try {
    address.endpoint = parse_endpoint(address.address.substr(0, query));
  } catch (const std::invalid_argument& error) {
    throw std::runtime_error(std::string("remote: ") + error.what());
  }
  if (address.endpoint.host == "*") {
    throw std::runtime_error("remote: bad address '" + address.address + "': '*' is no host to connect to");
  }
  if (query != std::string::npos) {
    const std::string options = address.address.substr(query + 1);
    for (std::size_t at = 0; at <= options.size();) {
      const auto amp = std::min(options.find('&', at), options.size());
      apply_option(address, options.substr(at, amp - at));
      at = amp + 1;
    }
  }
  if (address.key.empty() != address.server_key.empty()) {
    throw std::runtime_error("remote: options key= and server_key= go together (CURVE needs both)");
  }
  return address;
}

std::string device_address_help() {
  return "tcp://HOST:PORT[?OPTION=VALUE&...] DEVICE_TEXT\n"
         "  the server's address, then the device text its plug-in gets (passed on unchanged)\n"
         "options (part of the address, no spaces):\n"
         "  timeout=S     seconds a call waits for the server's answer (default 5)\n"
         "  heartbeat=S   seconds of silence after which the connection is lost (default 3)\n"
         "  plugin=NAME   the server's plug-in to use (default: the first it serves)\n"
         "  key=FILE      this client's key pair (from 'vorn keys'), with server_key=\n"
         "  server_key=FILE  the server's public key: the connection is encrypted (CURVE)\n"
         "list_devices() asks the servers named in VORN_REMOTE_SERVERS (addresses with their\n"
         "options, separated by spaces or commas).";
}

}  // namespace vorn::remote
