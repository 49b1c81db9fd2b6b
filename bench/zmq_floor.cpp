// The floors of the remote benchmarks: raw ZeroMQ on loopback TCP, measured
// in the same run as the remote figures.
//
//   vorn_bench_zmq_floor transfer SIZE SECONDS   one-way messages of SIZE bytes
//                                                (sent without a copy), B/s
//   vorn_bench_zmq_floor rtt COUNT               DEALER/ROUTER round trips of a
//                                                small message, p50 in ns
// Prints one line of JSON.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

namespace {

using Clock = std::chrono::steady_clock;

void no_free(void*, void*) noexcept {}

int transfer(std::size_t size, double seconds) {
  const std::vector<char> block(size, 'x');  // outlives the context, whose threads send from it
  zmq::context_t context;
  zmq::socket_t pull(context, zmq::socket_type::pull);
  pull.set(zmq::sockopt::linger, 0);
  pull.bind("tcp://127.0.0.1:*");
  const std::string endpoint = pull.get(zmq::sockopt::last_endpoint);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    zmq::socket_t push(context, zmq::socket_type::push);
    push.set(zmq::sockopt::linger, 0);
    push.connect(endpoint);
    try {
      while (!done.load(std::memory_order_relaxed)) {
        zmq::message_t message(const_cast<char*>(block.data()), block.size(), &no_free, nullptr);
        static_cast<void>(push.send(message, zmq::send_flags::none));
      }
    } catch (const zmq::error_t&) {
      // the context ends: the run is over
    }
  });
  zmq::message_t message;
  // Warm up, then count.
  for (int i = 0; i < 100; ++i) {
    static_cast<void>(pull.recv(message));
  }
  std::uint64_t bytes = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    static_cast<void>(pull.recv(message));
    bytes += message.size();
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  done.store(true);
  pull.close();  // the sender's blocking send ends with the context
  context.shutdown();
  sender.join();
  std::printf("{\"bytes_per_second\": %.0f}\n", static_cast<double>(bytes) / elapsed);
  return 0;
}

int round_trip(int count) {
  zmq::context_t context;
  zmq::socket_t router(context, zmq::socket_type::router);
  router.set(zmq::sockopt::linger, 0);
  router.bind("tcp://127.0.0.1:*");
  const std::string endpoint = router.get(zmq::sockopt::last_endpoint);
  std::thread echo([&] {
    for (int i = 0; i < count + 100; ++i) {
      zmq::message_t id;
      zmq::message_t body;
      static_cast<void>(router.recv(id));
      static_cast<void>(router.recv(body));
      router.send(id, zmq::send_flags::sndmore);
      router.send(body, zmq::send_flags::none);
    }
  });
  zmq::socket_t dealer(context, zmq::socket_type::dealer);
  dealer.set(zmq::sockopt::linger, 0);
  dealer.connect(endpoint);
  std::vector<double> times;
  char request[32] = {};
  for (int i = 0; i < count + 100; ++i) {
    const auto start = Clock::now();
    dealer.send(zmq::buffer(request), zmq::send_flags::none);
    zmq::message_t reply;
    static_cast<void>(dealer.recv(reply));
    if (i >= 100) {
      times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
  }
  echo.join();
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  std::printf("{\"p50_ns\": %.0f}\n", times[times.size() / 2]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "transfer" && argc == 4) {
    return transfer(std::stoul(argv[2]), std::stod(argv[3]));
  }
  if (mode == "rtt" && argc == 3) {
    return round_trip(std::stoi(argv[2]));
  }
  std::fprintf(stderr, "usage: vorn_bench_zmq_floor transfer SIZE SECONDS | rtt COUNT\n");
  return 2;
}
