#include "session.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace vorn::server {
namespace {

using remote::Op;
using remote::Outcome;
using remote::Reply;

constexpr std::size_t kMaxQueuedJobs = 1024;

Reply value_reply(std::uint64_t number) { return Reply{0, Outcome::value, number, {}}; }
Reply none_reply() { return Reply{0, Outcome::none, 0, {}}; }
Reply error_reply(std::string text) { return Reply{0, Outcome::error, 0, std::move(text)}; }

// A text for the client, cut to what its decoder accepts.
std::string bounded(std::string text) {
  if (text.size() > remote::kMaxReplyText) {
    text.resize(remote::kMaxReplyText);
  }
  return text;
}

Reply text_reply(const std::optional<std::string>& text) {
  return text ? Reply{0, Outcome::value, 0, bounded(*text)} : none_reply();
}

std::uint64_t status_number(BasicDeviceStatus status) { return static_cast<std::uint32_t>(static_cast<int>(status)); }

void free_block(void* data, void*) noexcept { std::free(data); }

std::string quoted(const std::string& text) {
  std::ostringstream out;
  out << std::quoted(text.size() > 200 ? text.substr(0, 200) + "..." : text, '\'');
  return out.str();
}

}  // namespace

void log_line(const std::string& line) noexcept {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "vorn-server: %s\n", line.c_str());
  std::fflush(stderr);
}

Session::Session(Outlet& outlet, std::string route_id, std::string peer, const remote::Hello& hello,
                 const ServedPlugins& plugins)
    : last_heard(Clock::now()),
      last_sent(Clock::now()),
      heartbeat(hello.heartbeat_ms),
      route(std::move(route_id)),
      outlet_(outlet),
      peer_(std::move(peer)),
      plugins_(plugins),
      hello_(hello),
      worker_([this] { run(); }) {}

Session::~Session() {
  close("server stopping");
  if (worker_.joinable()) {
    worker_.join();
  }
}

bool Session::enqueue(const remote::Request& request, std::optional<zmq::message_t> payload) {
  {
    std::lock_guard lock(mutex_);
    if (jobs_.size() >= kMaxQueuedJobs) {
      return false;
    }
    jobs_.push_back(Job{request, std::move(payload)});
  }
  wake_.notify_one();  // outside the lock: the worker takes it at once
  return true;
}

void Session::credit(const remote::Credit& credit) noexcept {
  std::shared_ptr<StreamLink> link;
  {
    std::lock_guard lock(mutex_);
    auto found = links_.find(credit.stream);
    if (found == links_.end()) {
      return;
    }
    link = found->second;
  }
  link->credit(credit.messages, credit.bytes);
}

void Session::close(const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (close_reason_.empty()) {
    close_reason_ = reason;
    wake_.notify_one();
  }
}

bool Session::finished() const noexcept {
  std::lock_guard lock(mutex_);
  return finished_;
}

void Session::run() noexcept {
  try {
    open(hello_);
  } catch (const std::exception& error) {
    close(std::string("failed: ") + error.what());
  }
  std::string reason;
  for (;;) {
    std::optional<Job> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return !jobs_.empty() || !close_reason_.empty(); });
      if (!close_reason_.empty()) {
        reason = close_reason_;
        break;
      }
      job.emplace(std::move(jobs_.front()));
      jobs_.pop_front();
    }
    try {
      answer(*job);
    } catch (const std::exception& error) {
      close(std::string("failed: ") + error.what());
    }
  }
  stop_all();
  device_.reset();
  device_code_.reset();
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  std::ostringstream line;
  line << "session " << peer_ << " ";
  if (hello_.open_device) {
    line << "device " << quoted(hello_.device_text) << (opened_ ? "" : " (not opened)");
  } else {
    line << "(listing)";
  }
  line << " ended after " << std::fixed << std::setprecision(1) << seconds << " s: " << reason << "; " << calls_
       << " calls, " << streams_started_ << " streams";
  log_line(line.str());
  std::lock_guard lock(mutex_);
  finished_ = true;
}

void Session::open(const remote::Hello& hello) {
  Reply reply = none_reply();
  if (!hello.open_device) {
    reply = value_reply(0);
  } else {
    const ServedPlugin* plugin = hello.plugin.empty() ? &plugins_.front() : nullptr;
    for (const auto& served : plugins_) {
      if (plugin == nullptr && served.name == hello.plugin) {
        plugin = &served;
      }
    }
    if (plugin == nullptr) {
      std::string names;
      for (const auto& served : plugins_) {
        names += (names.empty() ? "" : ", ") + served.name;
      }
      reply = error_reply("remote: the server serves no plug-in '" + hello.plugin + "' (it serves " + names + ")");
    } else {
      try {
        device_ = plugin->manager->create_device(hello.device_text);
        if (device_) {
          device_code_ = device_.get_deleter().keep_alive;
          opened_ = true;
          reply = value_reply(0);
        }
      } catch (const std::exception& error) {
        reply = error_reply(bounded(error.what()));
      } catch (...) {
        reply = error_reply("remote: the server's plug-in failed with an unknown exception");
      }
    }
  }
  send(std::move(reply), zmq::message_t());
}

void Session::send(Reply reply, zmq::message_t payload) {
  remote::Outgoing out{route, {}};
  out.frames.push_back(remote::to_message(remote::encode(remote::ServerMessage{std::move(reply)})));
  if (payload.size() != 0) {
    out.frames.push_back(std::move(payload));
  }
  outlet_.send(std::move(out));
}

void Session::answer(Job& job) {
  ++calls_;
  zmq::message_t payload;
  Reply reply;
  try {
    reply = perform(job, payload);
  } catch (const std::exception& error) {
    reply = error_reply(bounded(error.what()));
  } catch (...) {
    reply = error_reply("remote: the server's device failed with an unknown exception");
  }
  reply.id = job.request.id;
  send(std::move(reply), std::move(payload));
}

Reply Session::perform(Job& job, zmq::message_t& payload) {
  const remote::Request& r = job.request;
  switch (r.op) {
    case Op::describe: {
      std::vector<remote::ManagerListing> listing;
      for (const auto& served : plugins_) {
        listing.push_back({served.name, bounded(served.manager->info()), bounded(served.manager->list_devices()),
                           bounded(served.manager->get_device_options())});
      }
      return Reply{0, Outcome::value, 0, remote::encode_listing(listing)};
    }
    case Op::stop_stream:
      stop_stream(r.stream);
      return value_reply(0);
    case Op::close_device:
      device_.reset();  // its streams go on, as local ones do
      return value_reply(0);
    default:
      break;
  }
  if (!device_) {
    return error_reply(std::string("remote: ") + remote::op_name(r.op) + " on a session without a device");
  }
  Device& device = *device_;
  switch (r.op) {
    case Op::set_register_sync:
      return value_reply(status_number(device.set_register_sync(r.addr, r.value, r.extra)));
    case Op::set_register:
      return value_reply(status_number(device.set_register(r.addr, r.value, r.extra)));
    case Op::send_registers:
      return value_reply(status_number(device.send_registers()));
    case Op::get_register_sync: {
      const auto value = device.get_register_sync(r.addr);
      return value ? value_reply(*value) : none_reply();
    }
    case Op::get_register:
      return value_reply(device.get_register(r.addr));
    case Op::read_registers:
      return value_reply(status_number(device.read_registers()));
    case Op::trigger:
      return value_reply(status_number(device.trigger(r.addr, static_cast<int>(r.value))));
    case Op::write: {
      auto* data = static_cast<std::uint8_t*>(job.payload->data());
      return value_reply(device.write(r.addr, r.length, data));
    }
    case Op::read: {
      auto* block = static_cast<std::uint8_t*>(std::calloc(r.length != 0 ? r.length : 1, 1));
      if (block == nullptr) {
        return error_reply("remote: no memory for a read of " + std::to_string(r.length) + " bytes");
      }
      const std::uint64_t count = device.read(r.addr, r.length, block);
      const std::uint64_t filled = std::min(count, r.length);
      payload = zmq::message_t(block, static_cast<std::size_t>(filled), &free_block, nullptr);
      return value_reply(count);
    }
    case Op::start_stream:
      return start_stream(r);
    case Op::get_status:
      return text_reply(device.get_status());
    case Op::get_info:
      return text_reply(device.get_info());
    default:
      break;
  }
  return error_reply(std::string("remote: unexpected operation ") + remote::op_name(r.op));
}

Reply Session::start_stream(const remote::Request& request) {
  if (streams_.count(request.stream) != 0) {
    throw std::runtime_error("remote: stream " + std::to_string(request.stream) + " is running already");
  }
  if (streams_.size() >= remote::kMaxStreamsPerSession) {
    return error_reply("remote: at most " + std::to_string(remote::kMaxStreamsPerSession) +
                       " streams per device are served");
  }
  auto link = std::make_shared<StreamLink>(outlet_, route, request.stream);
  {
    std::lock_guard lock(mutex_);
    links_[request.stream] = link;
  }
  std::optional<std::unique_ptr<Device::DataStream>> stream;
  try {
    stream = device_->start_read_stream(request.addr, make_stream_sink(link, device_code_), request.length);
  } catch (...) {
    std::lock_guard lock(mutex_);
    links_.erase(request.stream);
    throw;
  }
  if (!stream || !*stream) {
    std::lock_guard lock(mutex_);
    links_.erase(request.stream);
    return none_reply();
  }
  ++streams_started_;
  streams_.emplace(request.stream, Served{std::move(*stream), std::move(link)});
  return value_reply(0);
}

void Session::stop_stream(std::uint32_t id) {
  auto found = streams_.find(id);
  if (found == streams_.end()) {
    return;  // stopped before, or never started
  }
  Served served = std::move(found->second);
  streams_.erase(found);
  served.link->muted.store(true, std::memory_order_release);
  try {
    served.stream->stop();
  } catch (const std::exception& error) {
    log_line("session " + peer_ + ": stopping stream " + std::to_string(id) + " failed: " + error.what());
  }
  served.stream.reset();
  std::lock_guard lock(mutex_);
  links_.erase(id);
}

void Session::stop_all() noexcept {
  while (!streams_.empty()) {
    try {
      stop_stream(streams_.begin()->first);
    } catch (...) {
      streams_.erase(streams_.begin());
    }
  }
}

}  // namespace vorn::server
