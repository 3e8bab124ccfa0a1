#pragma once
// SHA-256 of a byte stream, behind a port: the updater hashes through the
// system's cryptography provider (sha256_win.h), tests through a reference.
#include <array>
#include <cstddef>
#include <string>

namespace files {

inline constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<unsigned char, kSha256Size>;

// One hash at a time: Update over the pieces in order, then Finish once.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  // False when the provider failed; the hash is then unusable.
  virtual bool Update(const void* data, size_t size) = 0;
  virtual bool Finish(Sha256Digest* digest) = 0;
};

// The 64 lower-case hexadecimal digits the signed file list writes.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace files
