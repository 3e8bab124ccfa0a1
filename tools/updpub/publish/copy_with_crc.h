#pragma once
// Copying a file while summing its CRC-32 (and, for a signed list, its
// SHA-256): each byte is read once, and the memory used is the caller's
// buffer whatever the file's size.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "updpub/host/host_files.h"

namespace updpub {

inline constexpr size_t kCopyBufferSize = size_t{1} << 20;

struct CopyOutcome {
  bool ok = false;
  uint32_t crc = 0;
  uint64_t bytes = 0;
  std::string sha256;  // crypto::DigestText, when asked for
  std::string error;  // says whether reading or writing failed, and why
};

// Creates `to` (its folder must exist). `buffer` is reused between calls;
// `progress` hears of every piece written.
CopyOutcome CopyWithCrc(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                        const std::function<void(uint64_t)>& progress, bool withSha256 = false);

// The CRC-32 and length (and SHA-256) of a file, read the same way.
CopyOutcome CrcOfFile(const fs::path& path, std::vector<char>& buffer, bool withSha256 = false);

}  // namespace updpub
