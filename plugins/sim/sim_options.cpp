#include "sim_options.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorn::sim {
namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error("sim: " + message); }

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }
bool is_quote(char c) { return c == '\'' || c == '"'; }

struct Token {
  std::string_view text;  // the token as written, for messages
  std::string_view key;
  std::string value;  // unquoted
  bool has_value = false;
};

// Reads a text left to right; pos is the next character to look at.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // Skips separators; false at the end of the text.
  bool next_token() {
    while (pos_ < text_.size() && is_separator(text_[pos_])) {
      ++pos_;
    }
    return pos_ < text_.size();
  }

  // Reads one token "word" or "key=value".
  Token read_token() {
    const std::size_t start = pos_;
    Token token;
    token.key = read_while([](char c) { return !is_separator(c) && c != '='; });
    if (pos_ < text_.size() && text_[pos_] == '=') {
      token.has_value = true;
      ++pos_;
      token.value = pos_ < text_.size() && is_quote(text_[pos_]) ? read_quoted(start) : read_plain(start);
    }
    token.text = text_.substr(start, pos_ - start);
    return token;
  }

 private:
  template <typename Pred>
  std::string_view read_while(Pred pred) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && pred(text_[pos_])) {
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  // '...' or "...": anything up to the same quote, then a separator or the end.
  std::string read_quoted(std::size_t token_start) {
    const char quote = text_[pos_++];
    const std::size_t close = text_.find(quote, pos_);
    if (close == std::string_view::npos) {
      fail("unterminated quote in '" + std::string(text_.substr(token_start)) + "'");
    }
    std::string value(text_.substr(pos_, close - pos_));
    pos_ = close + 1;
    if (pos_ < text_.size() && !is_separator(text_[pos_])) {
      fail("a separator must follow the quoted value in '" +
           std::string(text_.substr(token_start, pos_ + 1 - token_start)) + "'");
    }
    return value;
  }

  // Up to the next separator; a quote may not appear inside.
  std::string read_plain(std::size_t token_start) {
    std::string value(read_while([](char c) { return !is_separator(c); }));
    if (std::any_of(value.begin(), value.end(), is_quote)) {
      fail("a quote may only open a value, in '" + std::string(text_.substr(token_start, pos_ - token_start)) + "'");
    }
    return value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Splits the text into tokens "word" or "key=value"; a value may be quoted
// with '...' or "..." to hold separators.
std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  Scanner scanner(text);
  while (scanner.next_token()) {
    tokens.push_back(scanner.read_token());
  }
  return tokens;
}

// The digits of a count with their base and the multiplier of a suffix.
struct CountDigits {
  std::string_view digits;
  int base = 10;
  std::uint64_t scale = 1;
};

// Hexadecimal after 0x (no suffix), else decimal with an optional binary
// suffix K, M or G in either case.
CountDigits split_count(std::string_view value) {
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    return {value.substr(2), 16, 1};
  }
  if (value.empty()) {
    return {value};
  }
  std::uint64_t scale = 1;
  switch (value.back()) {
    case 'k':
    case 'K':
      scale = KiB;
      break;
    case 'm':
    case 'M':
      scale = MiB;
      break;
    case 'g':
    case 'G':
      scale = GiB;
      break;
    default:
      return {value};
  }
  return {value.substr(0, value.size() - 1), 10, scale};
}

// A byte or item count: decimal digits with an optional binary suffix K, M or
// G (upper or lower case), or hexadecimal digits after 0x.
std::uint64_t parse_count(std::string_view key, std::string_view value) {
  const auto invalid = [&]() {
    fail("invalid value for option " + std::string(key) + ": '" + std::string(value) +
         "' (expected a number such as 4096, 64K, 16M or 0x1000)");
  };
  const auto too_large = [&]() {
    fail("value of option " + std::string(key) + " is too large: '" + std::string(value) + "'");
  };
  const CountDigits count = split_count(value);
  if (count.digits.empty()) {
    invalid();
  }
  const char* const last = count.digits.data() + count.digits.size();
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(count.digits.data(), last, number, count.base);
  if (error == std::errc::result_out_of_range) {
    too_large();
  }
  if (error != std::errc() || end != last) {
    invalid();
  }
  if (number > std::numeric_limits<std::uint64_t>::max() / count.scale) {
    too_large();
  }
  return number * count.scale;
}

std::uint64_t parse_in_range(std::string_view key, std::string_view value, std::uint64_t low, std::uint64_t high) {
  const std::uint64_t number = parse_count(key, value);
  if (number < low || number > high) {
    fail("option " + std::string(key) + "=" + std::string(value) + " is out of range (" + format_size(low) + " to " +
         format_size(high) + ")");
  }
  return number;
}

using Setter = void (*)(DeviceSettings&, std::string_view key, const std::string& value);

struct OptionEntry {
  std::string_view key;
  Setter set;
};

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

const OptionEntry kOptions[] = {
    {"chunks",
     [](DeviceSettings& s, std::string_view key, const std::string& value) {
       if (value == "owned") {
         s.stream.chunks = ChunkMode::owned;
       } else if (value == "view") {
         s.stream.chunks = ChunkMode::view;
       } else {
         fail("invalid value for option " + std::string(key) + ": '" + value + "' (expected owned or view)");
       }
     }},
    {"chunk_size",
     [](DeviceSettings& s, std::string_view key, const std::string& value) {
       s.stream.chunk_size = parse_in_range(key, value, kMinChunkSize, kMaxChunkSize);
     }},
    {"rate", [](DeviceSettings& s, std::string_view key,
                const std::string& value) { s.stream.byte_rate = parse_in_range(key, value, 0, kUnlimited); }},
    {"chunk_rate", [](DeviceSettings& s, std::string_view key,
                      const std::string& value) { s.stream.chunk_rate = parse_in_range(key, value, 0, kUnlimited); }},
    {"length", [](DeviceSettings& s, std::string_view key,
                  const std::string& value) { s.stream.length = parse_in_range(key, value, 0, kUnlimited); }},
    {"error_every", [](DeviceSettings& s, std::string_view key,
                       const std::string& value) { s.stream.error_every = parse_in_range(key, value, 0, kUnlimited); }},
    {"error_text",
     [](DeviceSettings& s, std::string_view key, const std::string& value) {
       if (value.empty()) {
         fail("option " + std::string(key) + " must not be empty");
       }
       s.stream.error_text = value;
     }},
    {"memory", [](DeviceSettings& s, std::string_view key,
                  const std::string& value) { s.memory_size = parse_in_range(key, value, 0, kMaxMemorySize); }},
    {"registers",
     [](DeviceSettings& s, std::string_view key, const std::string& value) {
       s.register_count = static_cast<std::uint32_t>(parse_in_range(key, value, kMinRegisterCount, kMaxRegisterCount));
     }},
};

// The names in a list, joined by ", ", for messages.
template <typename Range, typename Name>
std::string name_list(const Range& range, Name name) {
  std::string list;
  for (const auto& item : range) {
    list += list.empty() ? "" : ", ";
    list += name(item);
  }
  return list;
}

std::string known_options() {
  return name_list(kOptions, [](const OptionEntry& entry) { return entry.key; });
}

std::string known_devices() {
  return name_list(kDeviceNames, [](std::string_view name) { return name; });
}

std::string quoted(const std::string& text) {
  const char quote = text.find('\'') == std::string::npos ? '\'' : '"';
  return quote + text + quote;
}

}  // namespace

DeviceSettings parse_device_text(std::string_view text) {
  DeviceSettings settings;
  const std::vector<Token> tokens = tokenize(text);
  if (tokens.empty()) {
    return settings;
  }
  const Token& device = tokens.front();
  if (device.has_value) {
    fail("the text must start with a device name (" + known_devices() + "), not with '" + std::string(device.text) +
         "'");
  }
  if (std::find(kDeviceNames.begin(), kDeviceNames.end(), device.key) == kDeviceNames.end()) {
    fail("unknown device '" + std::string(device.key) + "' (devices: " + known_devices() + ")");
  }
  settings.name = std::string(device.key);

  std::vector<std::string_view> seen;
  for (auto token = tokens.begin() + 1; token != tokens.end(); ++token) {
    const auto entry = std::find_if(std::begin(kOptions), std::end(kOptions),
                                    [&](const OptionEntry& option) { return option.key == token->key; });
    if (entry == std::end(kOptions)) {
      fail("unknown option '" + std::string(token->key) + "' in '" + std::string(token->text) +
           "' (options: " + known_options() + ")");
    }
    if (!token->has_value) {
      fail("option " + std::string(token->key) + " needs a value: " + std::string(token->key) + "=...");
    }
    if (std::find(seen.begin(), seen.end(), entry->key) != seen.end()) {
      fail("option " + std::string(token->key) + " given more than once, again in '" + std::string(token->text) + "'");
    }
    seen.push_back(entry->key);
    entry->set(settings, entry->key, token->value);
  }
  return settings;
}

std::string format_size(std::uint64_t bytes) {
  if (bytes != 0) {
    for (const auto& [unit, suffix] : {std::pair{GiB, 'G'}, std::pair{MiB, 'M'}, std::pair{KiB, 'K'}}) {
      if (bytes % unit == 0) {
        return std::to_string(bytes / unit) + suffix;
      }
    }
  }
  return std::to_string(bytes);
}

std::string format_device_text(const DeviceSettings& settings) {
  const StreamSettings& stream = settings.stream;
  std::string text = settings.name;
  text += " chunks=";
  text += stream.chunks == ChunkMode::owned ? "owned" : "view";
  text += " chunk_size=" + format_size(stream.chunk_size);
  text += " rate=" + format_size(stream.byte_rate);
  text += " chunk_rate=" + std::to_string(stream.chunk_rate);
  text += " length=" + format_size(stream.length);
  text += " error_every=" + std::to_string(stream.error_every);
  text += " error_text=" + quoted(stream.error_text);
  text += " memory=" + format_size(settings.memory_size);
  text += " registers=" + std::to_string(settings.register_count);
  return text;
}

}  // namespace vorn::sim
