// A small JSON reader for the metadata files of recordings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::replay {

// One parsed JSON value. Numbers keep their double value; a number written
// as digits alone (no sign, fraction or exponent) that fits 64 bits is also
// an exact integer.
struct JsonValue {
  enum class Kind { null, boolean, number, string, array, object };

  Kind kind = Kind::null;
  bool boolean = false;
  double number = 0.0;
  bool exact = false;  // `integer` holds the number exactly
  std::uint64_t integer = 0;
  std::string text;
  std::vector<JsonValue> items;                            // array
  std::vector<std::pair<std::string, JsonValue>> members;  // object, in the order written

  // The member named key, or null when there is none (or this is no object).
  const JsonValue* find(std::string_view key) const noexcept;
};

// Parses one JSON document (RFC 8259) that fills the whole text but for
// white space. The text is untrusted: nesting deeper than max_depth is
// refused. Throws std::runtime_error saying what is wrong and at which byte.
JsonValue parse_json(std::string_view text, std::size_t max_depth = 16);

}  // namespace vorn::replay
