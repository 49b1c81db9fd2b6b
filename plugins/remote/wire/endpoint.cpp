#include "wire/endpoint.hpp"

#include <charconv>
#include <stdexcept>

namespace vorn::remote {
namespace {

[[noreturn]] void refuse(const std::string& text, const std::string& why) {
  throw std::invalid_argument("bad address '" + text + "': " + why + " (expected tcp://HOST:PORT)");
}

bool is_ipv4_loopback(const std::string& host) {
  // 127.a.b.c with decimal parts of at most 255.
  if (host.rfind("127.", 0) != 0) {
    return false;
  }
  int parts = 0;
  for (std::size_t at = 0; at <= host.size();) {
    const std::size_t dot = std::min(host.find('.', at), host.size());
    unsigned value = 0;
    const auto [end, error] = std::from_chars(host.data() + at, host.data() + dot, value);
    if (error != std::errc{} || end != host.data() + dot || dot == at || value > 255) {
      return false;
    }
    ++parts;
    at = dot + 1;
  }
  return parts == 4;
}

}  // namespace

std::string Endpoint::text() const { return "tcp://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port); }

Endpoint parse_endpoint(const std::string& text) {
  const std::string scheme = "tcp://";
  if (text.rfind(scheme, 0) != 0) {
    refuse(text, "only tcp:// addresses are served");
  }
  const std::string rest = text.substr(scheme.size());
  Endpoint endpoint;
  std::size_t colon = 0;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close == 1) {
      refuse(text, "unterminated or empty [IPv6] host");
    }
    endpoint.host = rest.substr(1, close - 1);
    endpoint.ipv6 = true;
    colon = close + 1;
    if (colon >= rest.size() || rest[colon] != ':') {
      refuse(text, "no port");
    }
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) {
      refuse(text, "no port");
    }
    endpoint.host = rest.substr(0, colon);
  }
  if (endpoint.host.empty()) {
    refuse(text, "no host");
  }
  for (const char c : endpoint.host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_' || c == '*' || (endpoint.ipv6 && c == ':');
    if (!ok) {
      refuse(text, std::string("character '") + c + "' in the host");
    }
  }
  const std::string port = rest.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65535) {
    refuse(text, "port '" + port + "' is not a number from 1 to 65535");
  }
  endpoint.port = static_cast<std::uint16_t>(value);
  return endpoint;
}

bool is_loopback(const Endpoint& endpoint) noexcept {
  return endpoint.host == "localhost" || endpoint.host == "::1" || is_ipv4_loopback(endpoint.host);
}

}  // namespace vorn::remote
