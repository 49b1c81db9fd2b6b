#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>

#include "sim_options.hpp"

namespace vorn::sim {
namespace {

struct GoodText {
  std::string text;
  DeviceSettings expected;
};

DeviceSettings with(void (*change)(DeviceSettings&)) {
  DeviceSettings settings;
  change(settings);
  return settings;
}

void PrintTo(const GoodText& p, std::ostream* out) { *out << "'" << p.text << "'"; }

class ParseGoodText : public testing::TestWithParam<GoodText> {};

TEST_P(ParseGoodText, GivesSettings) { EXPECT_EQ(parse_device_text(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseGoodText,
    testing::Values(GoodText{"", DeviceSettings{}}, GoodText{" \t, ", DeviceSettings{}},
                    GoodText{"sim0", DeviceSettings{}},
                    GoodText{"sim3", with([](DeviceSettings& s) { s.name = "sim3"; })},
                    GoodText{"sim1 chunks=view, chunk_size=1K,rate=100M chunk_rate=0x10", with([](DeviceSettings& s) {
                               s.name = "sim1";
                               s.stream.chunks = ChunkMode::view;
                               s.stream.chunk_size = 1024;
                               s.stream.byte_rate = 100 * MiB;
                               s.stream.chunk_rate = 16;
                             })},
                    GoodText{"sim0 length=3g error_every=7 memory=0 registers=8", with([](DeviceSettings& s) {
                               s.stream.length = 3 * GiB;
                               s.stream.error_every = 7;
                               s.memory_size = 0;
                               s.register_count = 8;
                             })},
                    GoodText{"sim0 chunk_size=256M memory=4G registers=1M", with([](DeviceSettings& s) {
                               s.stream.chunk_size = 256 * MiB;
                               s.memory_size = 4 * GiB;
                               s.register_count = 1024 * 1024;
                             })},
                    GoodText{"sim0 error_text='lost sync, resyncing' chunks=owned",
                             with([](DeviceSettings& s) { s.stream.error_text = "lost sync, resyncing"; })},
                    GoodText{R"(sim0 error_text="it's gone")",
                             with([](DeviceSettings& s) { s.stream.error_text = "it's gone"; })},
                    GoodText{"sim0 rate=18446744073709551615",
                             with([](DeviceSettings& s) { s.stream.byte_rate = 18446744073709551615ull; })}));

struct BadText {
  std::string text;
  std::string names;  // what the message must contain
};

void PrintTo(const BadText& p, std::ostream* out) { *out << "'" << p.text << "'"; }

class ParseBadText : public testing::TestWithParam<BadText> {};

TEST_P(ParseBadText, ThrowsNamingTheCulprit) {
  try {
    parse_device_text(GetParam().text);
    FAIL() << "accepted: " << GetParam().text;
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().names), std::string::npos) << "message: " << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseBadText,
    testing::Values(BadText{"sim9", "'sim9'"}, BadText{"SIM0", "'SIM0'"}, BadText{"chunk_size=1K", "device name"},
                    BadText{"sim0 colour=red", "'colour'"}, BadText{"sim0 chunk_size", "chunk_size needs a value"},
                    BadText{"sim0 chunk_size=", "chunk_size: ''"}, BadText{"sim0 chunk_size=0", "chunk_size=0"},
                    BadText{"sim0 chunk_size=257M", "chunk_size=257M"},
                    BadText{"sim0 chunk_size=12Q", "chunk_size: '12Q'"}, BadText{"sim0 rate=-1", "rate: '-1'"},
                    BadText{"sim0 rate=1.5M", "rate: '1.5M'"}, BadText{"sim0 length=0x", "length: '0x'"},
                    BadText{"sim0 length=0xZZ", "length: '0xZZ'"}, BadText{"sim0 length=K", "length: 'K'"},
                    BadText{"sim0 length=18446744073709551616", "length is too large: '18446744073709551616'"},
                    BadText{"sim0 length=17179869184G", "length is too large: '17179869184G'"},
                    BadText{"sim0 chunks=pool", "chunks: 'pool'"}, BadText{"sim0 memory=5G", "memory=5G"},
                    BadText{"sim0 registers=7", "registers=7"}, BadText{"sim0 registers=2M", "registers=2M"},
                    BadText{"sim0 error_text=''", "error_text must not be empty"},
                    BadText{"sim0 error_text='open", "unterminated quote"},
                    BadText{"sim0 error_text='a'b", "'error_text='a'b'"},
                    BadText{"sim0 error_text=it's", "error_text=it's"},
                    BadText{"sim0 rate=1 rate=2", "rate given more than once"}));

TEST(FormatDeviceText, RoundTripsEverySetting) {
  const DeviceSettings settings = parse_device_text(
      "sim2 chunks=view chunk_size=4097 rate=3M chunk_rate=9 length=1G error_every=2 "
      "error_text=\"don't panic, really\" memory=1000 registers=300");
  const std::string text = format_device_text(settings);
  EXPECT_EQ(parse_device_text(text), settings) << text;
  EXPECT_EQ(format_device_text(DeviceSettings{}),
            "sim0 chunks=owned chunk_size=64K rate=0 chunk_rate=0 length=0 error_every=0 "
            "error_text='simulated error' memory=16M registers=256");
}

TEST(DeviceTexts, DocumentEveryDeviceAndOption) {
  const std::string help = device_options_text();
  for (const char* option : {"chunks=", "chunk_size=", "rate=", "chunk_rate=", "length=", "error_every=", "error_text=",
                             "memory=", "registers="}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  const std::string list = device_list_text();
  for (std::string_view name : kDeviceNames) {
    EXPECT_NE(list.find(std::string(name) + ": "), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace vorn::sim
