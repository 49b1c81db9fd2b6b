#include "replay_options.hpp"

#include <charconv>
#include <stdexcept>
#include <vector>

namespace vorn::replay {
namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error("replay: " + message); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The words of the text; a word that starts with a quote runs to the same
// quote, which must be followed by a space or the end.
std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (true) {
    while (pos < text.size() && is_space(text[pos])) {
      ++pos;
    }
    if (pos == text.size()) {
      return words;
    }
    if (text[pos] == '\'' || text[pos] == '"') {
      const std::size_t close = text.find(text[pos], pos + 1);
      if (close == std::string_view::npos) {
        fail("unterminated quote in " + std::string(text.substr(pos)));
      }
      if (close + 1 < text.size() && !is_space(text[close + 1])) {
        fail("a quoted path must be followed by a space: " + std::string(text.substr(pos)));
      }
      words.emplace_back(text.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      continue;
    }
    const std::size_t start = pos;
    while (pos < text.size() && !is_space(text[pos])) {
      ++pos;
    }
    words.emplace_back(text.substr(start, pos - start));
  }
}

std::uint64_t parse_rate(const std::string& value) {
  std::string_view digits = value;
  unsigned shift = 0;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      default:
        break;
    }
  }
  if (shift != 0) {
    digits.remove_suffix(1);
  }
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || number == 0 ||
      number > (UINT64_MAX >> shift)) {
    fail("option rate=" + value + " is not max, realtime or a number of bytes per second above 0 (such as 10M)");
  }
  return number << shift;
}

}  // namespace

ReplayOptions parse_replay_text(std::string_view text) {
  const std::vector<std::string> words = split_words(text);
  if (words.empty() || words.front().empty()) {
    fail("the device text needs the recording's path first, such as 'runs/run.bin rate=realtime loop=0'");
  }
  ReplayOptions options;
  options.path = words.front();
  bool rate_seen = false;
  bool loop_seen = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    const std::size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    if (key == "rate" && equals != std::string::npos) {
      if (rate_seen) {
        fail("option rate given twice: " + word);
      }
      rate_seen = true;
      if (value == "max") {
        options.rate = RateMode::max;
      } else if (value == "realtime") {
        options.rate = RateMode::realtime;
      } else {
        options.rate = RateMode::bytes;
        options.bytes_per_second = parse_rate(value);
      }
    } else if (key == "loop" && equals != std::string::npos) {
      if (loop_seen) {
        fail("option loop given twice: " + word);
      }
      loop_seen = true;
      if (value != "0" && value != "1") {
        fail("option loop=" + value + " is not 0 or 1");
      }
      options.loop = value == "1";
    } else {
      fail("unknown option '" + word + "' (options: rate=max|realtime|N, loop=0|1)");
    }
  }
  return options;
}

std::string format_replay_text(const ReplayOptions& options) {
  std::string rate = options.rate == RateMode::max        ? "max"
                     : options.rate == RateMode::realtime ? "realtime"
                                                          : std::to_string(options.bytes_per_second);
  const bool quote = options.path.find_first_of(" \t\n\r") != std::string::npos;
  const char mark = options.path.find('\'') == std::string::npos ? '\'' : '"';
  std::string path = quote ? mark + options.path + mark : options.path;
  return path + " rate=" + rate + " loop=" + (options.loop ? "1" : "0");
}

std::string replay_options_help() {
  return "Device text: the path of a recording made by vorn record (the data file NAME, with its metadata\n"
         "NAME.json beside it), then optional options as key=value, separated by spaces. Quote a path that\n"
         "holds spaces with '...' or \"...\". Example: \"runs/run.bin rate=realtime loop=1\".\n"
         "  rate=max|realtime|N  how fast the stream replays: as fast as it is taken (max, the default), at\n"
         "                       the recording's own rate (its bytes over its duration), or N bytes per\n"
         "                       second (digits with an optional K, M or G)\n"
         "  loop=0|1             1: start again after the end, until stopped (no end marker); default 0\n"
         "Streams (any address: 0 or the recorded one) replay the recorded chunk sizes, each gap as that\n"
         "many overflow notices and each error text at its place, then the end marker. read() serves the\n"
         "data file's bytes at the address as byte offset; the device has no registers.";
}

}  // namespace vorn::replay
