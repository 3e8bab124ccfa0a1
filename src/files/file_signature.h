#pragma once
// The signature of an installed or downloaded file: its CRC-32 as text.
#include <cstddef>
#include <string>

namespace files {

// The file is read in pieces of this size into at most three buffers per
// call, so the memory used does not depend on the file's size.
inline constexpr size_t kSignatureChunkSize = size_t{1} << 20;

// For the GBK path: "" when nothing exists there (a folder does exist); "0"
// when it exists but cannot be read as a file (a folder, a file held without
// sharing, a failed read); else the CRC-32 of every byte in upper-case
// hexadecimal without leading zeros ("%X"). Any thread may call it.
std::string FileSignature(const std::string& path);

}  // namespace files
