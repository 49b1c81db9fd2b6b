#include "wire/keys.hpp"

#include <zmq.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace vorn::remote {
namespace {

constexpr std::size_t kZ85KeyLength = 40;

bool valid_z85_key(const std::string& text) {
  if (text.size() != kZ85KeyLength) {
    return false;
  }
  std::array<std::uint8_t, 32> bytes{};
  return zmq_z85_decode(bytes.data(), text.c_str()) != nullptr;
}

struct KeyLines {
  std::vector<std::string> public_keys;
  std::optional<std::string> secret_key;
};

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

KeyLines read_lines(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) {
    throw std::runtime_error("cannot read key file " + file.string());
  }
  KeyLines keys;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') {
      continue;
    }
    std::string name = "public-key";
    std::string value = line;
    // Z85 has '=' among its characters: only a line that starts with a name
    // is "name = value".
    const auto equals = line.find('=');
    if (equals != std::string::npos && std::isalpha(static_cast<unsigned char>(line.front())) != 0 &&
        line.find_first_of(" \t=") == line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-")) {
      name = trimmed(line.substr(0, equals));
      value = trimmed(line.substr(equals + 1));
    }
    const std::string where = file.string() + " line " + std::to_string(number);
    if (name != "public-key" && name != "secret-key") {
      throw std::runtime_error(where + ": unknown entry '" + name + "' (public-key or secret-key)");
    }
    if (!valid_z85_key(value)) {
      throw std::runtime_error(where + ": not a CURVE key (40 characters of Z85 text)");
    }
    if (name == "secret-key") {
      keys.secret_key = value;
    } else {
      keys.public_keys.push_back(value);
    }
  }
  return keys;
}

void write_file(const std::filesystem::path& file, const std::string& text, std::filesystem::perms perms) {
  if (std::filesystem::exists(file)) {
    throw std::runtime_error("key file " + file.string() + " exists already; not replaced");
  }
  {
    std::ofstream out(file);
    if (!out) {
      throw std::runtime_error("cannot write key file " + file.string());
    }
    std::filesystem::permissions(file, perms);  // before the secret goes in
    out << text;
    if (!out.flush()) {
      throw std::runtime_error("cannot write key file " + file.string());
    }
  }
}

}  // namespace

KeyPair make_key_pair() {
  std::array<char, kZ85KeyLength + 1> public_key{};
  std::array<char, kZ85KeyLength + 1> secret_key{};
  if (zmq_curve_keypair(public_key.data(), secret_key.data()) != 0) {
    throw std::runtime_error(std::string("cannot make a CURVE key pair: ") + zmq_strerror(zmq_errno()));
  }
  return {public_key.data(), secret_key.data()};
}

void write_key_files(const std::filesystem::path& base, const KeyPair& keys) {
  using std::filesystem::perms;
  std::filesystem::path secret = base;
  secret += ".key";
  std::filesystem::path shared = base;
  shared += ".pub";
  for (const auto& file : {secret, shared}) {
    if (std::filesystem::exists(file)) {
      throw std::runtime_error("key file " + file.string() + " exists already; not replaced");
    }
  }
  write_file(secret,
             "# vorn CURVE key pair: keep this file to yourself\npublic-key = " + keys.public_key +
                 "\nsecret-key = " + keys.secret_key + "\n",
             perms::owner_read | perms::owner_write);
  write_file(shared, "# vorn CURVE public key\npublic-key = " + keys.public_key + "\n",
             perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
}

KeyPair read_key_pair(const std::filesystem::path& file) {
  KeyLines lines = read_lines(file);
  if (!lines.secret_key || lines.public_keys.size() != 1) {
    throw std::runtime_error("key file " + file.string() +
                             " is not a key pair (one public-key and one secret-key line; made by 'vorn keys')");
  }
  std::array<char, kZ85KeyLength + 1> derived{};
  if (zmq_curve_public(derived.data(), lines.secret_key->c_str()) != 0 || lines.public_keys[0] != derived.data()) {
    throw std::runtime_error("key file " + file.string() + ": the public key does not belong to the secret key");
  }
  return {lines.public_keys[0], *lines.secret_key};
}

std::vector<std::string> read_public_keys(const std::filesystem::path& file) {
  KeyLines lines = read_lines(file);
  if (lines.public_keys.empty()) {
    throw std::runtime_error("key file " + file.string() + " holds no public key");
  }
  return lines.public_keys;
}

}  // namespace vorn::remote
