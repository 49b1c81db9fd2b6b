// The frame codec: what one side encodes the other decodes unchanged, and
// what a peer may not send is refused with a reason, never read past.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "wire/frame.hpp"

namespace vorn::remote {
namespace {

template <typename Message>
Message round_trip(const Message& message, std::int64_t payload = -1) {
  if constexpr (std::is_constructible_v<ClientMessage, Message>) {
    return std::get<Message>(decode_client(encode(ClientMessage{message}), payload));
  } else {
    return std::get<Message>(decode_server(encode(ServerMessage{message}), payload));
  }
}

TEST(Frames, EveryFieldSurvivesTheTrip) {
  const Hello hello = round_trip(Hello{1234, false, "sim", "sim0 chunk_size=1K"});
  EXPECT_EQ(hello.heartbeat_ms, 1234u);
  EXPECT_FALSE(hello.open_device);
  EXPECT_EQ(hello.plugin, "sim");
  EXPECT_EQ(hello.device_text, "sim0 chunk_size=1K");
  const Request request = round_trip(Request{7, Op::write, 0xFFFFFFFF, 0x80000000, 3, 16, 9}, 16);
  EXPECT_EQ(request.id, 7u);
  EXPECT_EQ(request.op, Op::write);
  EXPECT_EQ(request.addr, 0xFFFFFFFFu);
  EXPECT_EQ(request.value, 0x80000000u);
  EXPECT_EQ(request.length, 16u);
  EXPECT_EQ(request.stream, 9u);
  const Data data = round_trip(Data{5, 1ULL << 40, Event::error, std::string("bad\xFF", 4)});
  EXPECT_EQ(data.seq, 1ULL << 40);
  EXPECT_EQ(data.text, std::string("bad\xFF", 4));
  const Reply reply = round_trip(Reply{3, Outcome::none, ~0ULL, "x"}, 0);
  EXPECT_EQ(reply.outcome, Outcome::none);
  EXPECT_EQ(reply.number, ~0ULL);
  const auto listing = decode_listing(encode_listing({{"sim", "info", "sim0: a", "opts"}}));
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].devices, "sim0: a");
}

struct Refused {
  const char* name;
  Bytes header;
  std::int64_t payload;
  const char* reason;
};

class RefusedFrames : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedFrames, NameWhatIsWrong) {
  const Refused& c = GetParam();
  try {
    decode_client(c.header, c.payload);
    FAIL() << "accepted";
  } catch (const FrameError& error) {
    EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
  }
}

Bytes with(Bytes bytes, std::initializer_list<std::uint8_t> more) {
  bytes.insert(bytes.end(), more);
  return bytes;
}

Bytes write_of(std::uint64_t length) { return encode(ClientMessage{Request{1, Op::write, 0, 0, 0, length, 0}}); }

INSTANTIATE_TEST_SUITE_P(
    Frames, RefusedFrames,
    ::testing::Values(
        Refused{"empty", {}, -1, "header ends inside magic"}, Refused{"magic", {0x57, 1, 4}, -1, "not a vorn frame"},
        Refused{"version", {0x56, 2, 4}, -1, "protocol version 2"},
        Refused{"kind", {0x56, 1, 99}, -1, "unknown frame kind 99"},
        Refused{"server_kind", {0x56, 1, 16}, -1, "unknown frame kind 16 from a client"},
        Refused{"trailing", with(encode(ClientMessage{Heartbeat{}}), {0}), -1, "1 bytes after"},
        Refused{"text_length", {0x56, 1, 1, 0xE8, 3, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF}, -1, "longer than the limit"},
        Refused{
            "truncated_text", {0x56, 1, 1, 0xE8, 3, 0, 0, 1, 5, 0, 0, 0, 'a'}, -1, "header ends inside plug-in name"},
        Refused{"heartbeat",
                {0x56, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
                -1,
                "heartbeat timeout 1 ms is out of range"},
        Refused{"flag", {0x56, 1, 1, 0xE8, 3, 0, 0, 2}, -1, "open_device is 2"},
        Refused{"operation", {0x56, 1, 2, 1, 0, 0, 0, 99}, -1, "unknown operation 99"},
        Refused{"write_without_payload", write_of(4), -1, "without its payload"},
        Refused{"write_size", write_of(4), 5, "write of 4 bytes with a payload of 5"},
        Refused{"block_limit", write_of(kMaxBlock + 1), -1, "above the limit"},
        Refused{"payload_not_taken", encode(ClientMessage{Bye{}}), 0, "does not take"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Frames, ServerFramesAreCheckedToo) {
  EXPECT_THROW(decode_server(encode(ServerMessage{Data{1, 0, Event::chunk, {}}}), -1), FrameError);
  EXPECT_THROW(decode_server(encode(ServerMessage{Data{1, 0, Event::end, "text"}}), -1), FrameError);
  EXPECT_THROW(decode_server(Bytes{0x56, 1, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}, -1), FrameError);
  EXPECT_THROW(decode_listing("V\x01\x10\xFF\xFF\xFF\xFF"), FrameError);
}

}  // namespace
}  // namespace vorn::remote
