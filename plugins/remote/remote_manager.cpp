#include "remote_manager.hpp"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "connection.hpp"
#include "device_address.hpp"
#include "plugin_library.hpp"
#include "remote_device.hpp"
#include "wire/transport.hpp"

namespace vorn::remote {
namespace {

constexpr char kVersion[] = "vorn remote devices 0.1.0";

std::vector<std::string> listed_servers() {
  const char* value = std::getenv(kServersVariable);
  std::vector<std::string> servers;
  std::string text = value != nullptr ? value : "";
  for (char& c : text) {
    c = c == ',' ? ' ' : c;
  }
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    servers.push_back(word);
  }
  return servers;
}

// The plug-ins of one server, or the reason it gave none.
struct ServerListing {
  std::string address;
  std::vector<ManagerListing> managers;
  std::string problem;
};

ServerListing describe_server(const std::shared_ptr<zmq::context_t>& context, const std::string& server) {
  ServerListing listing{server, {}, {}};
  try {
    const DeviceAddress address = parse_device_address(server);
    Hello hello;
    hello.heartbeat_ms = static_cast<std::uint32_t>(address.heartbeat.count());
    hello.open_device = false;
    Connection connection(context, address, hello);
    Request request;
    request.op = Op::describe;
    listing.managers = decode_listing(connection.call(request).reply.text);
  } catch (const std::exception& error) {
    listing.problem = error.what();
  }
  return listing;
}

// The device text that selects `plugin` on the server at `address`.
std::string address_for(const std::string& address, const std::string& plugin, bool several) {
  if (!several) {
    return address;
  }
  return address + (address.find('?') == std::string::npos ? "?" : "&") + "plugin=" + plugin;
}

}  // namespace

RemoteManager::RemoteManager() : context_(std::make_shared<zmq::context_t>()) {
  context_->set(zmq::ctxopt::max_sockets, 65535);
  context_->set(zmq::ctxopt::blocky, false);  // ending never waits past the sockets' linger
}

RemoteManager::~RemoteManager() {
  if (adopted_messages() != 0) {
    pin_plugin_library();
  }
}

std::string RemoteManager::info() {
  return std::string(kVersion) + " (" + std::to_string(devices_created_.load(std::memory_order_relaxed)) +
         " devices created)";
}

std::filesystem::path RemoteManager::location() { return plugin_file().parent_path(); }

std::string RemoteManager::list_devices() {
  std::string lines;
  for (const auto& server : listed_servers()) {
    const ServerListing listing = describe_server(context_, server);
    if (!listing.problem.empty()) {
      lines += (lines.empty() ? "" : "\n") + server + ": not reachable (" + listing.problem + ")";
      continue;
    }
    for (const auto& manager : listing.managers) {
      std::istringstream devices(manager.devices);
      for (std::string line; std::getline(devices, line);) {
        if (!line.empty()) {
          lines +=
              (lines.empty() ? "" : "\n") + address_for(server, manager.name, listing.managers.size() > 1) + " " + line;
        }
      }
    }
  }
  return lines;
}

std::string RemoteManager::get_device_options() {
  std::string text = device_address_help();
  for (const auto& server : listed_servers()) {
    const ServerListing listing = describe_server(context_, server);
    if (!listing.problem.empty()) {
      text += "\n\n" + server + ": not reachable (" + listing.problem + ")";
    }
    for (const auto& manager : listing.managers) {
      text += "\n\n" + address_for(server, manager.name, listing.managers.size() > 1) + " (plug-in " + manager.name +
              ": " + manager.info + "):\n" + manager.options;
    }
  }
  return text;
}

DeviceHolder RemoteManager::create_device(const std::string& options) {
  const DeviceAddress address = parse_device_address(options);
  Hello hello;
  hello.heartbeat_ms = static_cast<std::uint32_t>(address.heartbeat.count());
  hello.plugin = address.plugin;
  hello.device_text = address.device_text;
  auto connection = std::make_shared<Connection>(context_, address, hello);
  const Reply& reply = connection->hello_reply();
  device_deleter deleter{shared_from_this()};
  if (reply.outcome == Outcome::error) {
    throw std::runtime_error(reply.text);
  }
  if (reply.outcome == Outcome::none) {
    return DeviceHolder(nullptr, std::move(deleter));
  }
  auto device = std::make_unique<RemoteDevice>(std::move(connection));
  devices_created_.fetch_add(1, std::memory_order_relaxed);
  return DeviceHolder(device.release(), std::move(deleter));
}

}  // namespace vorn::remote
