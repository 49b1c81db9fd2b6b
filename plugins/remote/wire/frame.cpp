#include "wire/frame.hpp"

#include <cstring>
#include <string_view>
#include <type_traits>

namespace vorn::remote {
namespace {

class Writer {
 public:
  explicit Writer(Kind kind) { bytes_ = {kMagic, kProtocolVersion, static_cast<std::uint8_t>(kind)}; }

  template <typename T>
  Writer& number(T value) {
    using U = std::make_unsigned_t<T>;
    const auto bits = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    return *this;
  }
  Writer& text(const std::string& value) {
    number(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
  }
  Bytes done() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// Reads a header front to back; every read checks what is left.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  template <typename T>
  T number(const char* field) {
    need(sizeof(T), field);
    std::make_unsigned_t<T> bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      bits = static_cast<std::make_unsigned_t<T>>(bits |
                                                  (static_cast<std::make_unsigned_t<T>>(bytes_[at_ + i]) << (8 * i)));
    }
    at_ += sizeof(T);
    return static_cast<T>(bits);
  }
  std::string text(const char* field, std::uint64_t limit) {
    const auto size = number<std::uint32_t>(field);
    if (size > limit) {
      throw FrameError(std::string(field) + " of " + std::to_string(size) + " bytes is longer than the limit of " +
                       std::to_string(limit));
    }
    need(size, field);
    std::string value(reinterpret_cast<const char*>(bytes_.data() + at_), size);
    at_ += size;
    return value;
  }
  bool flag(const char* field) {
    const auto value = number<std::uint8_t>(field);
    if (value > 1) {
      throw FrameError(std::string(field) + " is " + std::to_string(value) + ", not 0 or 1");
    }
    return value == 1;
  }
  void finish() const {
    if (at_ != bytes_.size()) {
      throw FrameError(std::to_string(bytes_.size() - at_) + " bytes after the end of the header");
    }
  }

 private:
  void need(std::size_t size, const char* field) const {
    if (bytes_.size() - at_ < size) {
      throw FrameError(std::string("header ends inside ") + field + " (" + std::to_string(bytes_.size()) + " bytes)");
    }
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

Kind read_kind(Reader& reader) {
  const auto magic = reader.number<std::uint8_t>("magic");
  if (magic != kMagic) {
    throw FrameError("not a vorn frame (first byte " + std::to_string(magic) + ")");
  }
  const auto version = reader.number<std::uint8_t>("version");
  if (version != kProtocolVersion) {
    throw FrameError("protocol version " + std::to_string(version) + " (this side speaks " +
                     std::to_string(kProtocolVersion) + ")");
  }
  return static_cast<Kind>(reader.number<std::uint8_t>("kind"));
}

void expect_payload(bool wanted, std::int64_t payload_size, const char* what) {
  if (wanted && payload_size < 0) {
    throw FrameError(std::string(what) + " without its payload frame");
  }
  if (!wanted && payload_size >= 0) {
    throw FrameError(std::string(what) + " with a payload frame it does not take");
  }
}

Op read_op(Reader& reader) {
  const auto op = reader.number<std::uint8_t>("operation");
  if (op < static_cast<std::uint8_t>(Op::set_register_sync) || op > static_cast<std::uint8_t>(Op::describe)) {
    throw FrameError("unknown operation " + std::to_string(op));
  }
  return static_cast<Op>(op);
}

std::uint32_t read_heartbeat(Reader& reader) {
  const auto ms = reader.number<std::uint32_t>("heartbeat");
  if (ms < kMinHeartbeatMs || ms > kMaxHeartbeatMs) {
    throw FrameError("heartbeat timeout " + std::to_string(ms) + " ms is out of range (" +
                     std::to_string(kMinHeartbeatMs) + " to " + std::to_string(kMaxHeartbeatMs) + ")");
  }
  return ms;
}

void check_block(std::uint64_t length, const char* what) {
  if (length > kMaxBlock) {
    throw FrameError(std::string(what) + " of " + std::to_string(length) + " bytes is above the limit of " +
                     std::to_string(kMaxBlock));
  }
}

constexpr std::uint32_t kMaxManagers = 256;

}  // namespace

std::string encode_listing(const std::vector<ManagerListing>& listing) {
  Writer writer(Kind::reply);
  writer.number(static_cast<std::uint32_t>(listing.size()));
  for (const auto& manager : listing) {
    writer.text(manager.name).text(manager.info).text(manager.devices).text(manager.options);
  }
  const Bytes bytes = writer.done();
  return std::string(bytes.begin(), bytes.end());
}

std::vector<ManagerListing> decode_listing(const std::string& text) {
  Reader reader({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (read_kind(reader) != Kind::reply) {
    throw FrameError("a device listing of the wrong kind");
  }
  const auto count = reader.number<std::uint32_t>("manager count");
  if (count > kMaxManagers) {
    throw FrameError("a listing of " + std::to_string(count) + " plug-ins (at most " + std::to_string(kMaxManagers) +
                     ")");
  }
  std::vector<ManagerListing> listing(count);
  for (auto& manager : listing) {
    manager.name = reader.text("plug-in name", kMaxRequestText);
    manager.info = reader.text("manager info", kMaxReplyText);
    manager.devices = reader.text("device list", kMaxReplyText);
    manager.options = reader.text("device options", kMaxReplyText);
  }
  reader.finish();
  return listing;
}

const char* op_name(Op op) noexcept {
  switch (op) {
    case Op::set_register_sync:
      return "set_register_sync";
    case Op::set_register:
      return "set_register";
    case Op::send_registers:
      return "send_registers";
    case Op::get_register_sync:
      return "get_register_sync";
    case Op::get_register:
      return "get_register";
    case Op::read_registers:
      return "read_registers";
    case Op::trigger:
      return "trigger";
    case Op::write:
      return "write";
    case Op::read:
      return "read";
    case Op::start_stream:
      return "start_read_stream";
    case Op::stop_stream:
      return "stop";
    case Op::get_status:
      return "get_status";
    case Op::get_info:
      return "get_info";
    case Op::close_device:
      return "close";
    case Op::describe:
      return "describe";
  }
  return "unknown";
}

Bytes encode(const ClientMessage& message) {
  return std::visit(
      [](const auto& m) -> Bytes {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Hello>) {
          return Writer(Kind::hello)
              .number(m.heartbeat_ms)
              .number(static_cast<std::uint8_t>(m.open_device))
              .text(m.plugin)
              .text(m.device_text)
              .done();
        } else if constexpr (std::is_same_v<M, Request>) {
          return Writer(Kind::request)
              .number(m.id)
              .number(static_cast<std::uint8_t>(m.op))
              .number(m.addr)
              .number(m.value)
              .number(m.extra)
              .number(m.length)
              .number(m.stream)
              .done();
        } else if constexpr (std::is_same_v<M, Credit>) {
          return Writer(Kind::credit).number(m.stream).number(m.messages).number(m.bytes).done();
        } else if constexpr (std::is_same_v<M, Heartbeat>) {
          return Writer(Kind::heartbeat).done();
        } else {
          return Writer(Kind::bye).done();
        }
      },
      message);
}

Bytes encode(const ServerMessage& message) {
  return std::visit(
      [](const auto& m) -> Bytes {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Reply>) {
          return Writer(Kind::reply)
              .number(m.id)
              .number(static_cast<std::uint8_t>(m.outcome))
              .number(m.number)
              .text(m.text)
              .done();
        } else if constexpr (std::is_same_v<M, Data>) {
          return Writer(Kind::data)
              .number(m.stream)
              .number(m.seq)
              .number(static_cast<std::uint8_t>(m.event))
              .text(m.text)
              .done();
        } else if constexpr (std::is_same_v<M, Heartbeat>) {
          return Writer(Kind::heartbeat).done();
        } else {
          return Writer(Kind::goodbye).text(m.reason).done();
        }
      },
      message);
}

bool needs_payload(const ClientMessage& message) noexcept {
  const auto* request = std::get_if<Request>(&message);
  return request != nullptr && request->op == Op::write;
}

bool needs_payload(const ServerMessage& message) noexcept {
  const auto* data = std::get_if<Data>(&message);
  return data != nullptr && data->event == Event::chunk;
}

ClientMessage decode_client(std::span<const std::uint8_t> header, std::int64_t payload_size) {
  Reader reader(header);
  const Kind kind = read_kind(reader);
  ClientMessage message;
  switch (kind) {
    case Kind::hello: {
      Hello hello;
      hello.heartbeat_ms = read_heartbeat(reader);
      hello.open_device = reader.flag("open_device");
      hello.plugin = reader.text("plug-in name", kMaxRequestText);
      hello.device_text = reader.text("device text", kMaxRequestText);
      message = std::move(hello);
      break;
    }
    case Kind::request: {
      Request request;
      request.id = reader.number<std::uint32_t>("request id");
      request.op = read_op(reader);
      request.addr = reader.number<std::uint32_t>("address");
      request.value = reader.number<std::uint32_t>("value");
      request.extra = reader.number<std::uint32_t>("extra");
      request.length = reader.number<std::uint64_t>("length");
      request.stream = reader.number<std::uint32_t>("stream");
      if (request.op == Op::write || request.op == Op::read) {
        check_block(request.length, "block transfer");
      }
      if (request.op == Op::write && payload_size >= 0 && static_cast<std::uint64_t>(payload_size) != request.length) {
        throw FrameError("write of " + std::to_string(request.length) + " bytes with a payload of " +
                         std::to_string(payload_size));
      }
      message = request;
      break;
    }
    case Kind::credit: {
      Credit credit;
      credit.stream = reader.number<std::uint32_t>("stream");
      credit.messages = reader.number<std::uint32_t>("messages");
      credit.bytes = reader.number<std::uint64_t>("bytes");
      message = credit;
      break;
    }
    case Kind::heartbeat:
      message = Heartbeat{};
      break;
    case Kind::bye:
      message = Bye{};
      break;
    default:
      throw FrameError("unknown frame kind " + std::to_string(static_cast<int>(kind)) + " from a client");
  }
  reader.finish();
  expect_payload(needs_payload(message), payload_size, "frame");
  return message;
}

ServerMessage decode_server(std::span<const std::uint8_t> header, std::int64_t payload_size) {
  Reader reader(header);
  const Kind kind = read_kind(reader);
  ServerMessage message;
  switch (kind) {
    case Kind::reply: {
      Reply reply;
      reply.id = reader.number<std::uint32_t>("request id");
      const auto outcome = reader.number<std::uint8_t>("outcome");
      if (outcome > static_cast<std::uint8_t>(Outcome::error)) {
        throw FrameError("unknown outcome " + std::to_string(outcome));
      }
      reply.outcome = static_cast<Outcome>(outcome);
      reply.number = reader.number<std::uint64_t>("number");
      reply.text = reader.text("reply text", kMaxReplyText);
      reader.finish();
      if (payload_size >= 0) {
        check_block(static_cast<std::uint64_t>(payload_size), "reply payload");
      }
      return reply;
    }
    case Kind::data: {
      Data data;
      data.stream = reader.number<std::uint32_t>("stream");
      data.seq = reader.number<std::uint64_t>("sequence number");
      const auto event = reader.number<std::uint8_t>("event");
      if (event > static_cast<std::uint8_t>(Event::chunk)) {
        throw FrameError("unknown stream event " + std::to_string(event));
      }
      data.event = static_cast<Event>(event);
      data.text = reader.text("error text", kMaxReplyText);
      if (data.event != Event::error && !data.text.empty()) {
        throw FrameError("stream event with a text it does not take");
      }
      if (payload_size >= 0) {
        check_block(static_cast<std::uint64_t>(payload_size), "chunk");
      }
      message = std::move(data);
      break;
    }
    case Kind::heartbeat:
      message = Heartbeat{};
      break;
    case Kind::goodbye:
      message = Goodbye{reader.text("reason", kMaxRequestText)};
      break;
    default:
      throw FrameError("unknown frame kind " + std::to_string(static_cast<int>(kind)) + " from a server");
  }
  reader.finish();
  expect_payload(needs_payload(message), payload_size, "frame");
  return message;
}

}  // namespace vorn::remote
