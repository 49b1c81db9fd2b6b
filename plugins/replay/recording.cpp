#include "recording.hpp"

#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "json_value.hpp"

namespace vorn::replay {
namespace {

using Kind = JsonValue::Kind;

class MetadataReader {
 public:
  MetadataReader(const JsonValue& root, std::string file) : root_(root), file_(std::move(file)) {}

  [[noreturn]] void fail(const std::string& what) const { throw std::runtime_error("replay: " + file_ + ": " + what); }

  const JsonValue& member(const JsonValue& object, std::string_view key, Kind kind, bool optional = false) const {
    static const JsonValue null_value;
    const JsonValue* value = object.find(key);
    if (value == nullptr) {
      fail("key '" + std::string(key) + "' is missing");
    }
    if (value->kind != kind && !(optional && value->kind == Kind::null)) {
      fail("key '" + std::string(key) + "' has the wrong type");
    }
    return value->kind == Kind::null ? null_value : *value;
  }

  std::uint64_t count(const JsonValue& object, std::string_view key, std::uint64_t low = 0,
                      std::uint64_t high = std::numeric_limits<std::uint64_t>::max()) const {
    const JsonValue& value = member(object, key, Kind::number);
    if (!value.exact || value.integer < low || value.integer > high) {
      std::ostringstream number;
      number << value.number;
      fail("key '" + std::string(key) + "' is " + number.str() + ", not a whole number from " + std::to_string(low) +
           " to " + std::to_string(high));
    }
    return value.integer;
  }

  const std::vector<JsonValue>& list(std::string_view key) const {
    const std::vector<JsonValue>& items = member(root_, key, Kind::array).items;
    for (const JsonValue& item : items) {
      if (item.kind != Kind::object) {
        fail("key '" + std::string(key) + "' holds an entry that is not an object");
      }
    }
    return items;
  }

 private:
  const JsonValue& root_;
  std::string file_;
};

std::string read_metadata(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("replay: cannot open " + path.string() + " (a recording needs its metadata file)");
  }
  std::string text;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxMetadataBytes) {
      throw std::runtime_error("replay: " + path.string() + " is larger than " + std::to_string(kMaxMetadataBytes) +
                               " bytes");
    }
  }
  if (in.bad()) {
    throw std::runtime_error("replay: cannot read " + path.string());
  }
  return text;
}

// offset + size * count, or an error when it does not fit 64 bits.
std::uint64_t add_run(const MetadataReader& reader, std::uint64_t total, const ChunkRun& run) {
  if (run.count != 0 && run.size > (std::numeric_limits<std::uint64_t>::max() - total) / run.count) {
    reader.fail("key 'chunk_sizes' adds up to more than 64 bits");
  }
  return total + run.size * run.count;
}

}  // namespace

Recording load_recording(const std::filesystem::path& data_path) {
  std::filesystem::path metadata_path = data_path;
  metadata_path += ".json";
  Recording recording;
  recording.data_path = data_path;
  recording.metadata = read_metadata(metadata_path);
  JsonValue root;
  try {
    root = parse_json(recording.metadata);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error("replay: " + metadata_path.string() + ": not valid JSON: " + error.what());
  }
  if (root.kind != Kind::object) {
    throw std::runtime_error("replay: " + metadata_path.string() + ": not a JSON object");
  }
  const MetadataReader reader(root, metadata_path.string());
  const std::string& format = reader.member(root, "format", Kind::string).text;
  const std::uint64_t version = reader.count(root, "version");
  if (format != kFormatName || version != kFormatVersion) {
    reader.fail("format '" + format + "' version " + std::to_string(version) + ", expected '" + kFormatName +
                "' version " + std::to_string(kFormatVersion));
  }
  recording.address = static_cast<std::uint32_t>(reader.count(root, "address", 0, 0xFFFFFFFFu));
  recording.bytes = reader.count(root, "bytes");
  recording.chunks = reader.count(root, "chunks");
  recording.duration = reader.member(root, "duration", Kind::number).number;
  if (!(recording.duration >= 0.0)) {
    reader.fail("key 'duration' is negative");
  }

  std::uint64_t total = 0;
  std::uint64_t chunks = 0;
  for (const JsonValue& entry : reader.list("chunk_sizes")) {
    const ChunkRun run{reader.count(entry, "size", 0, kMaxChunkSize), reader.count(entry, "count", 1)};
    total = add_run(reader, total, run);
    if (run.count > std::numeric_limits<std::uint64_t>::max() - chunks) {
      reader.fail("key 'chunk_sizes' counts more chunks than 64 bits hold");
    }
    chunks += run.count;
    recording.chunk_sizes.push_back(run);
  }
  if (chunks != recording.chunks || total != recording.bytes) {
    reader.fail("key 'chunk_sizes' gives " + std::to_string(chunks) + " chunks of " + std::to_string(total) +
                " bytes, but 'chunks' is " + std::to_string(recording.chunks) + " and 'bytes' " +
                std::to_string(recording.bytes));
  }

  // Offsets in order: each at least the one before it, at most the data's size.
  std::uint64_t last = 0;
  for (const JsonValue& entry : reader.list("gaps")) {
    const std::uint64_t at = reader.count(entry, "offset", last, recording.bytes);
    recording.gaps.push_back({at, reader.count(entry, "dropped", 1, kMaxDroppedPerGap)});
    last = at;
  }
  last = 0;
  for (const JsonValue& entry : reader.list("errors")) {
    const std::uint64_t at = reader.count(entry, "offset", last, recording.bytes);
    const std::string& text = reader.member(entry, "text", Kind::string).text;
    if (text.size() > kMaxErrorText) {
      reader.fail("an error text is longer than " + std::to_string(kMaxErrorText) + " bytes");
    }
    recording.errors.push_back({at, text});
    last = at;
  }

  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(data_path, error);
  if (error) {
    throw std::runtime_error("replay: cannot read the data file " + data_path.string() + ": " + error.message());
  }
  if (size != recording.bytes) {
    reader.fail("says " + std::to_string(recording.bytes) + " bytes, but " + data_path.string() + " has " +
                std::to_string(size));
  }
  return recording;
}

}  // namespace vorn::replay
