// One client's session on vorn-server: its device and the streams it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "served_plugins.hpp"
#include "stream_sink.hpp"
#include "vorn/device.hpp"
#include "wire/frame.hpp"
#include "wire/transport.hpp"

namespace vorn::server {

// The session's requests run, in order, on a worker thread of its own, so a
// slow device holds up no other client. The I/O thread (the server's) hands
// requests and credit in, and ends the session with close(); the worker then
// stops the session's streams, releases its device, writes the session's one
// log line and finishes. Replies and stream frames leave through the
// server's outlet, sent by the thread that made them.
class Session {
 public:
  using Clock = std::chrono::steady_clock;

  Session(Outlet& outlet, std::string route, std::string peer, const remote::Hello& hello,
          const ServedPlugins& plugins);
  // Joins the worker: only once finished(), or at exit.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // I/O thread. False when too many requests wait already.
  bool enqueue(const remote::Request& request, std::optional<zmq::message_t> payload);
  void credit(const remote::Credit& credit) noexcept;
  // Ends the session for `reason` (logged); repeated calls keep the first.
  void close(const std::string& reason);
  bool finished() const noexcept;

  // I/O thread only.
  Clock::time_point last_heard;
  Clock::time_point last_sent;
  const std::chrono::milliseconds heartbeat;
  const std::string route;

 private:
  struct Job {
    remote::Request request;
    std::optional<zmq::message_t> payload;
  };
  struct Served {
    std::unique_ptr<Device::DataStream> stream;
    std::shared_ptr<StreamLink> link;
  };

  void run() noexcept;
  void open(const remote::Hello& hello);
  void answer(Job& job);
  remote::Reply perform(Job& job, zmq::message_t& payload);
  remote::Reply start_stream(const remote::Request& request);
  void stop_stream(std::uint32_t id);
  void stop_all() noexcept;
  void send(remote::Reply reply, zmq::message_t payload);

  Outlet& outlet_;
  const std::string peer_;
  const ServedPlugins& plugins_;
  const remote::Hello hello_;
  const Clock::time_point started_ = Clock::now();

  // Worker thread only.
  DeviceHolder device_;
  std::shared_ptr<void> device_code_;
  std::map<std::uint32_t, Served> streams_;
  bool opened_ = false;
  std::uint64_t calls_ = 0;
  std::uint64_t streams_started_ = 0;

  mutable std::mutex mutex_;  // everything below
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::string close_reason_;  // set once: the worker ends
  bool finished_ = false;
  std::map<std::uint32_t, std::shared_ptr<StreamLink>> links_;  // for credit from the I/O thread

  std::thread worker_;  // last
};

// Writes one line to stderr, whole, from any thread.
void log_line(const std::string& line) noexcept;

}  // namespace vorn::server
