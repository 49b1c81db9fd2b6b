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

// Splits the text into tokens "word" or "key=value"; a value may be quoted
// with '...' or "..." to hold separators.
std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t pos = 0;
  while (true) {
    while (pos < text.size() && is_separator(text[pos])) {
      ++pos;
    }
    if (pos == text.size()) {
      return tokens;
    }
    const std::size_t start = pos;
    Token token;
    while (pos < text.size() && !is_separator(text[pos]) && text[pos] != '=') {
      ++pos;
    }
    token.key = text.substr(start, pos - start);
    if (pos < text.size() && text[pos] == '=') {
      token.has_value = true;
      ++pos;
      if (pos < text.size() && is_quote(text[pos])) {
        const char quote = text[pos++];
        const std::size_t close = text.find(quote, pos);
        if (close == std::string_view::npos) {
          fail("unterminated quote in '" + std::string(text.substr(start)) + "'");
        }
        token.value = std::string(text.substr(pos, close - pos));
        pos = close + 1;
        if (pos < text.size() && !is_separator(text[pos])) {
          fail("a separator must follow the quoted value in '" + std::string(text.substr(start, pos + 1 - start)) +
               "'");
        }
      } else {
        const std::size_t value_start = pos;
        while (pos < text.size() && !is_separator(text[pos])) {
          ++pos;
        }
        token.value = std::string(text.substr(value_start, pos - value_start));
        if (std::any_of(token.value.begin(), token.value.end(), is_quote)) {
          fail("a quote may only open a value, in '" + std::string(text.substr(start, pos - start)) + "'");
        }
      }
    }
    token.text = text.substr(start, pos - start);
    tokens.push_back(std::move(token));
  }
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
  std::string_view digits = value;
  int base = 10;
  std::uint64_t scale = 1;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  } else if (!digits.empty()) {
    switch (digits.back()) {
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
        break;
    }
    if (scale != 1) {
      digits.remove_suffix(1);
    }
  }
  if (digits.empty()) {
    invalid();
  }
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number, base);
  if (error == std::errc::result_out_of_range) {
    too_large();
  }
  if (error != std::errc() || end != digits.data() + digits.size()) {
    invalid();
  }
  if (number > std::numeric_limits<std::uint64_t>::max() / scale) {
    too_large();
  }
  return number * scale;
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

std::string known_options() {
  std::string list;
  for (const OptionEntry& entry : kOptions) {
    list += list.empty() ? "" : ", ";
    list += entry.key;
  }
  return list;
}

std::string known_devices() {
  std::string list;
  for (std::string_view name : kDeviceNames) {
    list += list.empty() ? "" : ", ";
    list += name;
  }
  return list;
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
