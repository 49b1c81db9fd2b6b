// vorn-server's command line.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/endpoint.hpp"

namespace vorn::server {

// A bad command line: main prints it as one line and exits with 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kUsage[] =
    "usage: vorn-server [--listen tcp://HOST:PORT] [--key FILE --allow FILE...] PLUGIN...\n"
    "       vorn-server keys NAME";

struct ServerOptions {
  bool help = false;
  std::string make_keys;  // "keys NAME": write NAME.key and NAME.pub
  remote::Endpoint listen{"127.0.0.1", remote::kDefaultPort, false};
  std::filesystem::path key;
  std::vector<std::filesystem::path> allow;
  std::vector<std::string> plugins;
};

// Throws UsageError: an unknown option, a missing value, no plug-in, a bad
// address, and a listening address other than loopback without CURVE
// (--key and --allow).
ServerOptions parse_options(const std::vector<std::string>& arguments);

}  // namespace vorn::server
