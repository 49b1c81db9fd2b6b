// vorn-server: serves the devices of device-manager plug-ins to vorn's remote
// plug-in. No Python: the plug-in loader, the SDK and ZeroMQ.
//
// Exit status: 0 after SIGINT or SIGTERM once every stream has stopped, 1 when
// a plug-in cannot be loaded or the address cannot be bound (or streams did
// not stop in time), 2 for a bad command line (a plug-in name that names
// nothing on the search path included).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/loader/plugin_loader.hpp"
#include "plugin_search.hpp"
#include "server.hpp"
#include "server_options.hpp"
#include "wire/keys.hpp"

namespace {

using namespace vorn::server;

std::filesystem::path this_program(const char* argv0) {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::absolute(argv0) : path;
}

ServedPlugins load_plugins(const ServerOptions& options, const std::filesystem::path& program) {
  ServedPlugins served;
  for (const auto& name : options.plugins) {
    std::filesystem::path path;
    try {
      path = resolve_plugin(name, program);
    } catch (const std::runtime_error& error) {
      throw UsageError(error.what());  // a name that names nothing is a bad argument
    }
    auto manager = pyvorn::load_device_manager(path);
    if (!manager) {
      throw std::runtime_error("plug-in " + path.string() + " made no device manager");
    }
    served.push_back({short_name(path), std::move(manager)});
    log_line("serving plug-in " + served.back().name + " (" + path.string() + "): " + served.back().manager->info());
  }
  return served;
}

int serve(const ServerOptions& options, const std::filesystem::path& program) {
  // Every thread made from here on (ZeroMQ's, the sessions', the devices')
  // leaves SIGINT and SIGTERM to the one that waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ServerSettings settings;
  settings.listen = options.listen;
  if (!options.key.empty()) {
    settings.key = vorn::remote::read_key_pair(options.key);
    for (const auto& file : options.allow) {
      for (auto& key : vorn::remote::read_public_keys(file)) {
        settings.allowed_clients.push_back(std::move(key));
      }
    }
  }
  ServedPlugins plugins = load_plugins(options, program);
  Server server(std::move(plugins), settings);
  std::thread waiter([&] {
    int received = 0;
    sigwait(&signals, &received);
    if (received != 0) {
      log_line(std::string("stopping (") + (received == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    }
    server.stop();
  });
  log_line("listening on " + options.listen.text() + (settings.key ? " (CURVE)" : ""));
  bool clean = false;
  try {
    clean = server.run();
  } catch (...) {
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    throw;
  }
  waiter.join();
  if (!clean) {
    std::fflush(stderr);
    std::_Exit(1);  // a device's stop() hangs: leave without waiting for it
  }
  log_line("stopped");
  return 0;
}

int usage_error(const UsageError& error) {
  std::fprintf(stderr, "vorn-server: %s (usage: %s)\n", error.what(),
               "vorn-server [--listen tcp://HOST:PORT] [--key FILE --allow FILE] PLUGIN...");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  ServerOptions options;
  try {
    options = parse_options(arguments);
  } catch (const UsageError& error) {
    return usage_error(error);
  }
  if (options.help) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  try {
    if (!options.make_keys.empty()) {
      vorn::remote::write_key_files(options.make_keys, vorn::remote::make_key_pair());
      std::printf("wrote %s.key (keep it to yourself) and %s.pub (give it to the other side)\n",
                  options.make_keys.c_str(), options.make_keys.c_str());
      return 0;
    }
    return serve(options, this_program(argv[0]));
  } catch (const UsageError& error) {
    return usage_error(error);
  } catch (const std::exception& error) {
    log_line(error.what());
    return 1;
  }
}
