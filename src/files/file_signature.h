#pragma once
// The signature of an installed or downloaded file: its CRC-32 as text.
#include <cstddef>
#include <functional>
#include <string>

namespace files {

// The file is read in pieces of this size into at most three buffers per
// call, so the memory used does not depend on the file's size.
inline constexpr size_t kSignatureChunkSize = size_t{1} << 20;

// For the GBK path: "" when nothing exists there (a folder does exist); "0"
// when it exists but cannot be read as a file (a folder, a file held without
// sharing, a failed read); else the CRC-32 of every byte in upper-case
// hexadecimal without leading zeros ("%X"). Any thread may call it.
// onRead, when given, is called after every piece read, from whichever
// thread read it: a long reading shows as activity to whoever waits on it.
using ReadActivity = std::function<void()>;
std::string FileSignature(const std::string& path, const ReadActivity& onRead = {});

class Sha256;

// A file's CRC-32 signature and its SHA-256, from one reading.
struct FileDigest {
  std::string Signature;  // as FileSignature gives it
  std::string Sha256;     // 64 lower-case hexadecimal digits; "" when unreadable or absent
};

// Both hashes of the file at the GBK path; `sha` is fresh and used up.
// Nothing there gives {"", ""}, an unreadable file {"0", ""}.
FileDigest FileSignatureAndSha256(const std::string& path, Sha256& sha, const ReadActivity& onRead = {});

}  // namespace files
