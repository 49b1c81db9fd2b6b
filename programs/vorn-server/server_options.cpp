#include "server_options.hpp"

namespace vorn::server {

ServerOptions parse_options(const std::vector<std::string>& arguments) {
  ServerOptions options;
  if (!arguments.empty() && arguments[0] == "keys") {
    if (arguments.size() != 2 || arguments[1].empty() || arguments[1].front() == '-') {
      throw UsageError("keys takes one NAME: the files NAME.key and NAME.pub are written");
    }
    options.make_keys = arguments[1];
    return options;
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size()) {
        throw UsageError(argument + " needs a value");
      }
      return arguments[++i];
    };
    if (argument == "-h" || argument == "--help") {
      options.help = true;
      return options;
    } else if (argument == "--listen") {
      try {
        options.listen = remote::parse_endpoint(value());
      } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
      }
    } else if (argument == "--key") {
      options.key = value();
    } else if (argument == "--allow") {
      options.allow.emplace_back(value());
    } else if (argument.rfind("-", 0) == 0) {
      throw UsageError("unknown option " + argument);
    } else {
      options.plugins.push_back(argument);
    }
  }
  if (options.plugins.empty()) {
    throw UsageError("no plug-in to serve (give its short name, such as sim, or its path)");
  }
  if (options.key.empty() != options.allow.empty()) {
    throw UsageError("--key and --allow go together: the server's key pair and the clients it admits");
  }
  if (!remote::is_loopback(options.listen) && options.key.empty()) {
    throw UsageError("listening on " + options.listen.text() +
                     ", which is not a loopback address, needs CURVE: --key FILE (from 'vorn keys') and --allow FILE");
  }
  return options;
}

}  // namespace vorn::server
