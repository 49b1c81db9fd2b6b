// The addresses a vorn-server listens on and a client connects to.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::remote {

inline constexpr std::uint16_t kDefaultPort = 7531;

// tcp://HOST:PORT, HOST a name, an IPv4 address or [IPv6]; "*" (every
// address) only where listening.
struct Endpoint {
  std::string host;  // without brackets
  std::uint16_t port = 0;
  bool ipv6 = false;

  std::string text() const;  // tcp://HOST:PORT, brackets kept
};

// Throws std::invalid_argument naming the text and what is wrong with it.
Endpoint parse_endpoint(const std::string& text);

// True for localhost, 127.0.0.0/8 and ::1: addresses no other machine reaches.
bool is_loopback(const Endpoint& endpoint) noexcept;

}  // namespace vorn::remote
