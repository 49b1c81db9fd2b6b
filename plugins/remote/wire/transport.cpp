#include "wire/transport.hpp"

#include <atomic>
#include <cstring>
#include <unordered_map>

namespace vorn::remote {

zmq::message_t to_message(const Bytes& bytes) { return zmq::message_t(bytes.data(), bytes.size()); }

// One deleter of one stream, shared by the sender (one reference while it is
// current) and every message built on a block it releases.
struct ChunkSender::Releaser {
  BlockDeleter deleter;
  std::shared_ptr<void> keep_alive;
  std::atomic<std::int64_t> refs{1};

  void unref() noexcept {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
    }
  }
  static void free_block(void* data, void* hint) noexcept {
    auto* releaser = static_cast<Releaser*>(hint);
    releaser->deleter(static_cast<std::uint8_t*>(data));
    releaser->unref();
  }
};

ChunkSender::~ChunkSender() {
  if (current_ != nullptr) {
    current_->unref();
  }
}

ChunkSender::Releaser* ChunkSender::releaser_for(BlockDeleter deleter) {
  if (current_ == nullptr || current_->deleter != deleter) {
    auto* fresh = new Releaser{deleter, keep_alive_};
    if (current_ != nullptr) {
      current_->unref();
    }
    current_ = fresh;
  }
  return current_;
}

zmq::message_t ChunkSender::send(ManagedBuffer&& chunk) {
  if (chunk.size == 0 || chunk.data == nullptr) {
    chunk = ManagedBuffer{};
    return zmq::message_t();
  }
  Releaser* releaser = releaser_for(chunk.data.get_deleter());
  releaser->refs.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t size = chunk.size;
  std::uint8_t* block = chunk.data.get();
  try {
    zmq::message_t message(block, static_cast<std::size_t>(size), &Releaser::free_block, releaser);
    static_cast<void>(chunk.data.release());  // the message owns the block now
    chunk.size = 0;
    return message;
  } catch (...) {
    releaser->unref();
    throw;
  }
}

namespace {

// Received messages held by owning chunks, by the address of their bytes
// (distinct for every live non-empty message: a small message keeps its
// bytes inside its own heap-allocated message object).
struct Adopted {
  std::mutex mutex;
  std::unordered_map<const std::uint8_t*, zmq::message_t*> messages;
  std::atomic<std::uint64_t> live{0};
};

// Destroyed when the library is unloaded, which the remote manager prevents
// while chunks are alive (it pins the library).
Adopted& adopted() {
  static Adopted registry;
  return registry;
}

void release_adopted(std::uint8_t* data) {
  Adopted& registry = adopted();
  zmq::message_t* message = nullptr;
  {
    std::lock_guard lock(registry.mutex);
    auto found = registry.messages.find(data);
    if (found == registry.messages.end()) {
      return;
    }
    message = found->second;
    registry.messages.erase(found);
  }
  delete message;
  registry.live.fetch_sub(1, std::memory_order_relaxed);
}

void release_empty(std::uint8_t* block) { delete[] block; }

}  // namespace

ManagedBuffer adopt_message(zmq::message_t&& message) {
  if (message.size() == 0) {
    return ManagedBuffer(new std::uint8_t[1], 0, &release_empty);
  }
  auto held = std::make_unique<zmq::message_t>(std::move(message));
  auto* data = static_cast<std::uint8_t*>(held->data());
  const std::uint64_t size = held->size();
  Adopted& registry = adopted();
  {
    std::lock_guard lock(registry.mutex);
    registry.messages.emplace(data, held.get());
  }
  static_cast<void>(held.release());
  registry.live.fetch_add(1, std::memory_order_relaxed);
  return ManagedBuffer(data, size, &release_adopted);
}

std::uint64_t adopted_messages() noexcept { return adopted().live.load(std::memory_order_relaxed); }

Mailbox::Mailbox(zmq::context_t& context)
    : pull_(context, zmq::socket_type::pull), push_(context, zmq::socket_type::push) {
  // A closed socket's inproc name is released later, by ZeroMQ's reaper:
  // every mailbox gets a name of its own.
  static std::atomic<std::uint64_t> mailboxes{0};
  const std::string name = "inproc://vorn-mailbox-" + std::to_string(mailboxes.fetch_add(1));
  pull_.set(zmq::sockopt::linger, 0);
  push_.set(zmq::sockopt::linger, 0);
  pull_.bind(name);
  push_.connect(name);
}

void Mailbox::post(Outgoing&& message) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(message));
  if (!signalled_) {
    signalled_ = true;
    static_cast<void>(push_.send(zmq::message_t(), zmq::send_flags::dontwait));
  }
}

std::deque<Outgoing> Mailbox::take() {
  std::deque<Outgoing> taken;
  std::lock_guard lock(mutex_);
  zmq::message_t wake;
  while (pull_.recv(wake, zmq::recv_flags::dontwait)) {
  }
  signalled_ = false;
  taken.swap(queue_);
  return taken;
}

std::optional<std::vector<zmq::message_t>> receive_parts(zmq::socket_t& socket, zmq::message_t first,
                                                         std::size_t max_frames) {
  std::vector<zmq::message_t> parts;
  bool more = first.more();
  parts.push_back(std::move(first));
  bool too_many = false;
  while (more) {
    zmq::message_t part;
    if (!socket.recv(part, zmq::recv_flags::dontwait)) {
      break;  // a multipart message arrives whole; nothing more is queued
    }
    more = part.more();
    if (parts.size() >= max_frames) {
      too_many = true;  // keep draining, so the next message starts clean
      continue;
    }
    parts.push_back(std::move(part));
  }
  if (too_many) {
    return std::nullopt;
  }
  return parts;
}

bool send_parts(zmq::socket_t& socket, Outgoing& message) {
  try {
    const bool routed = !message.route.empty();
    if (routed && !socket.send(zmq::buffer(message.route), zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
      return false;
    }
    for (std::size_t i = 0; i < message.frames.size(); ++i) {
      const bool last = i + 1 == message.frames.size();
      const auto flags = last ? zmq::send_flags::dontwait : zmq::send_flags::sndmore | zmq::send_flags::dontwait;
      if (!socket.send(message.frames[i], flags)) {
        return false;
      }
    }
    return true;
  } catch (const zmq::error_t&) {
    return false;  // EHOSTUNREACH: the peer is gone
  }
}

}  // namespace vorn::remote
