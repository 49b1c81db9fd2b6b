// The replay plug-in's parts: its device text, its JSON reader, the checks
// of a recording's metadata, and the events its streams replay.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "json_value.hpp"
#include "recording.hpp"
#include "replay_device.hpp"
#include "replay_options.hpp"

namespace vorn::replay {
namespace {

// Expects fn to throw std::runtime_error whose text holds `part`.
template <typename Fn>
void expect_error(Fn fn, const std::string& part) {
  try {
    fn();
    ADD_FAILURE() << "no error; expected one with: " << part;
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
  }
}

struct TextCase {
  std::string text;
  std::string error;  // empty: accepted
  ReplayOptions expected;
};

// Names each case by its text in test listings.
void PrintTo(const TextCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ReplayText : public testing::TestWithParam<TextCase> {};

TEST_P(ReplayText, ParsesOrNamesTheOffendingPart) {
  const TextCase& c = GetParam();
  if (c.error.empty()) {
    EXPECT_EQ(parse_replay_text(c.text), c.expected);
    EXPECT_EQ(parse_replay_text(format_replay_text(c.expected)), c.expected) << format_replay_text(c.expected);
  } else {
    expect_error([&] { parse_replay_text(c.text); }, c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReplayText,
    testing::Values(TextCase{"runs/a.bin", "", {"runs/a.bin", RateMode::max, 0, false}},
                    TextCase{
                        "'my runs/a.bin' rate=realtime loop=1", "", {"my runs/a.bin", RateMode::realtime, 0, true}},
                    TextCase{"a.bin rate=10M", "", {"a.bin", RateMode::bytes, 10u << 20, false}},
                    TextCase{"", "needs the recording's path", {}}, TextCase{"a.bin rate=0", "rate=0 is not", {}},
                    TextCase{"a.bin rate=fast", "rate=fast is not", {}}, TextCase{"a.bin loop=2", "loop=2 is not", {}},
                    TextCase{"a.bin loop=1 loop=0", "loop given twice", {}},
                    TextCase{"a.bin colour=red", "unknown option 'colour=red'", {}},
                    TextCase{"'a.bin", "unterminated quote", {}}));

TEST(Json, ReadsValuesAndRefusesBrokenText) {
  const JsonValue doc =
      parse_json(R"({"a": [1, 2.5, -3, 18446744073709551615], "b": "x\u00e9\ud83d\ude00\n", "c": null})");
  ASSERT_EQ(doc.kind, JsonValue::Kind::object);
  const auto& items = doc.find("a")->items;
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(items[0].exact && items[0].integer == 1);
  EXPECT_FALSE(items[1].exact);
  EXPECT_FALSE(items[2].exact);
  EXPECT_TRUE(items[3].exact && items[3].integer == 18446744073709551615ull);
  EXPECT_EQ(doc.find("b")->text, "x\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_EQ(doc.find("c")->kind, JsonValue::Kind::null);
  for (const auto& [text, part] : std::vector<std::pair<std::string, std::string>>{
           {R"({"a": [1, 2)", "ends too early"},
           {R"({"a": "x)", "ends inside a string"},
           {R"({"a": 1} x)", "after the value"},
           {R"({"a": 01})", "not a JSON value"},
           {R"({"a": "\q"})", "bad escape"},
           {std::string(40, '[') + std::string(40, ']'), "nested deeper"}}) {
    expect_error([&] { parse_json(text); }, part);
  }
}

// A recording in a folder of its own, removed with it.
class RecordingFiles : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("vorn-replay-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // 10 bytes in chunks of 4, 4, 2; a gap of 2 events after the first chunk,
  // an error after the second and one at the end.
  std::string write(const std::string& data = "0123456789",
                    const std::string& runs = R"([{"size": 4, "count": 2}, {"size": 2, "count": 1}])",
                    const std::string& gaps = R"([{"offset": 4, "dropped": 2}])", const std::string& version = "1") {
    const std::string path = (folder_ / "run.bin").string();
    std::ofstream(path, std::ios::binary) << data;
    std::ofstream(path + ".json")
        << R"({"format": "vorn-recording", "version": )" << version
        << R"(, "address": 1, "bytes": 10, "chunks": 3, "duration": 0.5, "chunk_sizes": )" << runs << R"(, "gaps": )"
        << gaps << R"(, "errors": [{"offset": 8, "text": "hiccup"}, {"offset": 10, "text": "late"}]})";
    return path;
  }

  std::filesystem::path folder_;
};

TEST_F(RecordingFiles, MetadataThatDisagreesIsRefusedNamingWhat) {
  const Recording good = load_recording(write());
  EXPECT_EQ(good.bytes, 10u);
  EXPECT_EQ(good.gaps.size(), 1u);
  EXPECT_EQ(good.errors.back().text, "late");
  expect_error([&] { load_recording(write("012345678")); }, "says 10 bytes, but");
  expect_error([&] { load_recording(write("0123456789", R"([{"size": 4, "count": 2}])")); }, "gives 2 chunks of 8");
  expect_error([&] { load_recording(write("0123456789", R"([{"size": 4}])")); }, "key 'count' is missing");
  expect_error([&] { load_recording(write("0123456789", R"([{"size": -4, "count": 1}])")); }, "key 'size' is -4");
  expect_error(
      [&] {
        load_recording(write("0123456789", R"([{"size": 4, "count": 2}, {"size": 2, "count": 1}])",
                             R"([{"offset": 8, "dropped": 1}, {"offset": 4, "dropped": 1}])"));
      },
      "key 'offset' is 4");
  expect_error([&] { load_recording(write("0123456789", R"([{"size": 10, "count": 1}])", "[]", "2")); },
               "version 2, expected");
  const std::string path = write();
  std::ofstream(path + ".json") << R"({"format": "vorn-recording", "vers)";
  expect_error([&] { load_recording(path); }, "not valid JSON: the text ends inside a string (truncated?)");
}

// Collects a stream's events; the test waits for the end on it.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;  // "c:<bytes>", "e:<text>", "end"
  bool destroyed = false;

  static StreamCallback callback(const std::shared_ptr<Events>& events) {
    static constexpr StreamCallbackOps ops{
        [](void* state, StreamEvent& event) {
          auto& self = **static_cast<std::shared_ptr<Events>*>(state);
          std::string entry =
              event.index() == event_kind::end ? "end"
              : event.index() == event_kind::error
                  ? "e:" + std::get<std::string>(event)
                  : "c:" + std::string(reinterpret_cast<const char*>(std::get<ManagedBuffer>(event).data.get()),
                                       std::get<ManagedBuffer>(event).size);
          std::lock_guard lock(self.mutex);
          self.seen.push_back(std::move(entry));
          self.changed.notify_all();
        },
        [](void* state) {
          auto* holder = static_cast<std::shared_ptr<Events>*>(state);
          {
            std::lock_guard lock((*holder)->mutex);
            (*holder)->destroyed = true;
          }
          delete holder;
        }};
    return StreamCallback(&ops, new std::shared_ptr<Events>(events));
  }

  bool wait_for(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() >= count; });
  }
};

TEST_F(RecordingFiles, StreamsReplayChunksGapsAndErrorsInPlaceThenEnd) {
  const std::string path = write();
  const std::vector<std::string> once = {
      "c:0123", "e:Queue Overflow, dropping event", "e:Queue Overflow, dropping event", "c:4567", "e:hiccup", "c:89",
      "e:late"};
  for (const std::string options : {"", " rate=realtime", " loop=1"}) {
    ReplayDevice device(parse_replay_text(path + options));
    auto events = std::make_shared<Events>();
    auto stream = device.start_read_stream(1, Events::callback(events), 0);
    ASSERT_TRUE(stream && *stream);
    const bool loop = options == std::string(" loop=1");
    ASSERT_TRUE(events->wait_for(loop ? 2 * once.size() : once.size() + 1));
    (*stream)->stop();
    std::lock_guard lock(events->mutex);
    EXPECT_TRUE(events->destroyed) << "stop() destroys the callback";
    std::vector<std::string> expected = once;
    if (loop) {
      expected.insert(expected.end(), once.begin(), once.end());
      events->seen.resize(expected.size());
    } else {
      expected.push_back("end");
    }
    EXPECT_EQ(events->seen, expected) << options;
  }
  ReplayDevice device(parse_replay_text(path + " rate=1"));  // ten seconds: stopped long before
  EXPECT_EQ(device.bytes_per_second(), 1u);
  EXPECT_EQ(ReplayDevice(parse_replay_text(path + " rate=realtime")).bytes_per_second(), 20u);
  auto events = std::make_shared<Events>();
  auto stream = device.start_read_stream(0, Events::callback(events), 0);
  ASSERT_TRUE(events->wait_for(3));  // the first chunk, then the gap before the second
  (*stream)->stop();                 // ends the pacing wait
  expect_error([&] { device.start_read_stream(2, Events::callback(events), 0); }, "no stream at address 2");
  std::lock_guard lock(events->mutex);
  EXPECT_EQ(events->seen, std::vector<std::string>(once.begin(), once.begin() + 3));
}

TEST_F(RecordingFiles, BlockReadsServeTheDataAndNothingElseWorks) {
  ReplayDevice device(parse_replay_text(write()));
  std::string out(8, '.');
  auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
  EXPECT_EQ(device.read(6, 8, bytes), 4u);
  EXPECT_EQ(out, "6789....");
  EXPECT_EQ(device.read(10, 8, bytes), 0u);
  EXPECT_EQ(device.write(0, 8, bytes), 0u);
  EXPECT_FALSE(device.get_register_sync(0).has_value());
  EXPECT_EQ(device.set_register_sync(1, 2, 0), BasicDeviceStatus::Failure);
  EXPECT_NE(device.get_info()->find("\"chunk_sizes\""), std::string::npos) << "get_info shows the metadata";
}

}  // namespace
}  // namespace vorn::replay
