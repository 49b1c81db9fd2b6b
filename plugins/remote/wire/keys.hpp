// CURVE key files. A key pair file (NAME.key, readable by its owner only)
// holds "public-key = Z85" and "secret-key = Z85"; a public key file
// (NAME.pub) only the first line. A file of allowed clients holds any number
// of public keys, one a line ("public-key = Z85" or the bare Z85 text), so
// clients' .pub files can simply be concatenated. Lines starting with # are
// comments.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vorn::remote {

// Keys in Z85 text, 40 characters each.
struct KeyPair {
  std::string public_key;
  std::string secret_key;
};

// Throws std::runtime_error when ZeroMQ has no CURVE.
KeyPair make_key_pair();

// Writes base.key and base.pub; refuses to replace existing files. Throws
// std::runtime_error naming the file.
void write_key_files(const std::filesystem::path& base, const KeyPair& keys);

// Reads a key pair file (public and secret key, and checks that they belong
// together). Throws std::runtime_error naming the file and the line.
KeyPair read_key_pair(const std::filesystem::path& file);

// Reads every public key in the file; a key pair file gives its public key.
// Throws std::runtime_error naming the file and the line; a file without a
// key is an error too.
std::vector<std::string> read_public_keys(const std::filesystem::path& file);

}  // namespace vorn::remote
