#include "json_value.hpp"

#include <charconv>
#include <stdexcept>

namespace vorn::replay {
namespace {

class Parser {
 public:
  Parser(std::string_view text, std::size_t max_depth) : text_(text), max_depth_(max_depth) {}

  JsonValue document() {
    JsonValue value = parse(0);
    skip_space();
    if (pos_ != text_.size()) {
      fail("unexpected text after the value");
    }
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(what + " at byte " + std::to_string(pos_));
  }

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  char peek() {
    skip_space();
    if (pos_ == text_.size()) {
      fail("the text ends too early (truncated?)");
    }
    return text_[pos_];
  }

  void expect(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) {
      fail("not a JSON value");
    }
    pos_ += word.size();
  }

  JsonValue parse(std::size_t depth) {
    if (depth > max_depth_) {
      fail("nested deeper than " + std::to_string(max_depth_) + " levels");
    }
    JsonValue value;
    switch (peek()) {
      case '{':
        value.kind = JsonValue::Kind::object;
        parse_sequence('}', [&] {
          if (peek() != '"') {
            fail("expected a member name");
          }
          std::string key = parse_string();
          if (peek() != ':') {
            fail("expected ':'");
          }
          ++pos_;
          value.members.emplace_back(std::move(key), parse(depth + 1));
        });
        break;
      case '[':
        value.kind = JsonValue::Kind::array;
        parse_sequence(']', [&] { value.items.push_back(parse(depth + 1)); });
        break;
      case '"':
        value.kind = JsonValue::Kind::string;
        value.text = parse_string();
        break;
      case 't':
      case 'f':
        value.kind = JsonValue::Kind::boolean;
        value.boolean = text_[pos_] == 't';
        expect(value.boolean ? "true" : "false");
        break;
      case 'n':
        expect("null");
        break;
      default:
        parse_number(value);
    }
    return value;
  }

  // "[a, b]" or "{...}" after its opening bracket: items until `close`.
  template <typename Item>
  void parse_sequence(char close, Item item) {
    ++pos_;
    if (peek() == close) {
      ++pos_;
      return;
    }
    while (true) {
      item();
      const char next = peek();
      ++pos_;
      if (next == close) {
        return;
      }
      if (next != ',') {
        --pos_;
        fail(std::string("expected ',' or '") + close + "'");
      }
    }
  }

  void parse_number(JsonValue& value) {
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') {
      ++pos_;
    }
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      ++pos_;
    }
    if (pos_ == digits || (text_[digits] == '0' && pos_ - digits > 1)) {
      pos_ = start;
      fail("not a JSON value");
    }
    const bool plain = start == digits;
    const std::size_t integer_end = pos_;
    while (pos_ < text_.size() &&
           (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E' || text_[pos_] == '+' ||
            text_[pos_] == '-' || (text_[pos_] >= '0' && text_[pos_] <= '9'))) {
      ++pos_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    value.kind = JsonValue::Kind::number;
    if (auto [end, error] = std::from_chars(first, last, value.number); error != std::errc() || end != last) {
      pos_ = start;
      fail("not a valid number");
    }
    if (plain && integer_end == pos_) {
      auto [end, error] = std::from_chars(first, last, value.integer);
      value.exact = error == std::errc() && end == last;
    }
  }

  unsigned hex4() {
    if (text_.size() - pos_ < 4) {
      fail("the text ends too early (truncated?)");
    }
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) {
        fail("bad \\u escape");
      }
      code = code * 16 + static_cast<unsigned>(digit);
    }
    return code;
  }

  void append_utf8(std::string& out, unsigned code) {
    const auto byte = [&](unsigned bits) { out.push_back(static_cast<char>(bits)); };
    if (code < 0x80) {
      byte(code);
    } else if (code < 0x800) {
      byte(0xC0 | (code >> 6));
      byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      byte(0xE0 | (code >> 12));
      byte(0x80 | ((code >> 6) & 0x3F));
      byte(0x80 | (code & 0x3F));
    } else {
      byte(0xF0 | (code >> 18));
      byte(0x80 | ((code >> 12) & 0x3F));
      byte(0x80 | ((code >> 6) & 0x3F));
      byte(0x80 | (code & 0x3F));
    }
  }

  std::string parse_string() {
    ++pos_;  // the opening quote
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) {
        fail("the text ends inside a string (truncated?)");
      }
      const char c = text_[pos_++];
      if (c == '"') {
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        --pos_;
        fail("a control character inside a string");
      }
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) {
        fail("the text ends inside a string (truncated?)");
      }
      const char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out.push_back(escape);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          unsigned code = hex4();
          if (code >= 0xD800 && code < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            const std::size_t back = pos_;
            pos_ += 2;
            const unsigned low = hex4();
            if (low >= 0xDC00 && low < 0xE000) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = back;  // a lone high surrogate; the next escape stands alone
            }
          }
          append_utf8(out, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);
          break;
        }
        default:
          --pos_;
          fail("bad escape in a string");
      }
    }
  }

  std::string_view text_;
  std::size_t max_depth_;
  std::size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  for (const auto& [name, value] : members) {
    if (name == key) {
      return &value;
    }
  }
  return nullptr;
}

JsonValue parse_json(std::string_view text, std::size_t max_depth) { return Parser(text, max_depth).document(); }

}  // namespace vorn::replay
