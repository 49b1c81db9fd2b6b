// The frames that a vorn-server and its clients exchange, and their codec.
//
// A message is one header frame, optionally followed by one payload frame
// (the bytes of a chunk, a block write or a block read). The header starts
// with the magic byte 'V', the protocol version and the kind; the fields that
// follow are fixed-width little-endian integers and texts (a u32 length, then
// the bytes). Nothing here touches ZeroMQ, so the decoder can be fuzzed on
// its own.
//
// Everything decoded comes from a peer: the decoders check every length
// against the limits below, refuse unknown kinds and operations, trailing
// bytes and a payload where none belongs, and throw FrameError naming what
// was wrong. They never read past the bytes they are given.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace vorn::remote {

inline constexpr std::uint8_t kMagic = 0x56;  // 'V'
inline constexpr std::uint8_t kProtocolVersion = 1;

// Bounds on what a peer may send.
inline constexpr std::uint64_t kMaxRequestText = 64 * 1024;        // device text, plug-in name
inline constexpr std::uint64_t kMaxReplyText = 16 * 1024 * 1024;   // info, status, device lists, errors
inline constexpr std::uint64_t kMaxBlock = 1024ULL * 1024 * 1024;  // one block transfer, one chunk
inline constexpr std::uint32_t kMinHeartbeatMs = 100;
inline constexpr std::uint32_t kMaxHeartbeatMs = 600'000;
inline constexpr std::uint32_t kMaxStreamsPerSession = 64;

// Flow control of a stream: the server has at most kWindowMessages data
// frames, and kWindowBytes payload bytes (or a single frame of any size), on
// their way to the client; the client returns credit for what it has taken,
// at the latest after kCreditMessages frames or kCreditBytes bytes. What the
// server cannot send within the window it drops, and the gap in the sequence
// numbers tells the client how many events it lost.
inline constexpr std::uint32_t kWindowMessages = 1024;
inline constexpr std::uint64_t kWindowBytes = 64ULL * 1024 * 1024;
inline constexpr std::uint32_t kCreditMessages = 64;
inline constexpr std::uint64_t kCreditBytes = 8ULL * 1024 * 1024;
// The most events one gap may stand for; a larger jump is a protocol error.
inline constexpr std::uint64_t kMaxGap = 1ULL << 26;

enum class Kind : std::uint8_t {
  // client -> server
  hello = 1,
  request = 2,
  credit = 3,
  heartbeat = 4,
  bye = 5,
  // server -> client
  reply = 16,
  data = 17,
  goodbye = 18,
};

// The device operations a request carries (see vorn::Device), plus the
// session's own: stop a stream, close the device, describe the managers.
enum class Op : std::uint8_t {
  set_register_sync = 1,
  set_register = 2,
  send_registers = 3,
  get_register_sync = 4,
  get_register = 5,
  read_registers = 6,
  trigger = 7,
  write = 8,
  read = 9,
  start_stream = 10,
  stop_stream = 11,
  get_status = 12,
  get_info = 13,
  close_device = 14,
  describe = 15,
};

// How a request ended: a number, nothing (an empty optional, no stream), or
// an error whose text is the exception's.
enum class Outcome : std::uint8_t { value = 0, none = 1, error = 2 };

// The stream event a data frame carries, as vorn::event_kind but without the
// view: a view travels as an owning chunk.
enum class Event : std::uint8_t { end = 0, error = 1, chunk = 2 };

class FrameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Opens a session. With open_device, the server creates a device from
// device_text through the plug-in named `plugin` (empty: its first); without,
// the session only answers Op::describe.
struct Hello {
  std::uint32_t heartbeat_ms = 3000;  // the client's heartbeat timeout
  bool open_device = true;
  std::string plugin;
  std::string device_text;
};

struct Request {
  std::uint32_t id = 0;
  Op op = Op::send_registers;
  std::uint32_t addr = 0;
  std::uint32_t value = 0;   // set_register*: value; trigger: the int, two's complement
  std::uint32_t extra = 0;   // set_register*
  std::uint64_t length = 0;  // write/read: bytes; start_stream: chunk size
  std::uint32_t stream = 0;  // start_stream, stop_stream
};

// The client has taken `messages` data frames holding `bytes` payload bytes
// of a stream: the server may send that much more.
struct Credit {
  std::uint32_t stream = 0;
  std::uint32_t messages = 0;
  std::uint64_t bytes = 0;
};

struct Heartbeat {};
struct Bye {};

struct Reply {
  std::uint32_t id = 0;
  Outcome outcome = Outcome::value;
  std::uint64_t number = 0;
  std::string text;  // error text, or the text of get_status/get_info/describe
};

// One stream event. seq counts the stream's events from 0; a number that is
// skipped is an event the server had to drop.
struct Data {
  std::uint32_t stream = 0;
  std::uint64_t seq = 0;
  Event event = Event::end;
  std::string text;  // Event::error
};

struct Goodbye {
  std::string reason;
};

using ClientMessage = std::variant<Hello, Request, Credit, Heartbeat, Bye>;
using ServerMessage = std::variant<Reply, Data, Heartbeat, Goodbye>;

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const ClientMessage& message);
Bytes encode(const ServerMessage& message);

// True when a message of this kind travels with a payload frame: a write
// request, a data frame with a chunk. A reply may have one (a block read).
bool needs_payload(const ClientMessage& message) noexcept;
bool needs_payload(const ServerMessage& message) noexcept;

// Decodes a header frame. payload_size is the size of the payload frame that
// followed it, or -1 for none. Throws FrameError.
ClientMessage decode_client(std::span<const std::uint8_t> header, std::int64_t payload_size);
ServerMessage decode_server(std::span<const std::uint8_t> header, std::int64_t payload_size);

// What Op::describe answers: each plug-in the server serves, in the order it
// was given, carried in the reply's text.
struct ManagerListing {
  std::string name;  // the plug-in's short name
  std::string info;
  std::string devices;  // list_devices()
  std::string options;  // get_device_options()
};
std::string encode_listing(const std::vector<ManagerListing>& listing);
// Throws FrameError.
std::vector<ManagerListing> decode_listing(const std::string& text);

// The operation's name, for messages.
const char* op_name(Op op) noexcept;

}  // namespace vorn::remote
