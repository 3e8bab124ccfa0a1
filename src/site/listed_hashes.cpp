#include "site/listed_hashes.h"

#include <cstdint>
#include <optional>

namespace engine {
namespace {

constexpr size_t kMaxHashDigits = 8;
constexpr size_t kSha256Digits = 64;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<uint32_t> HexValue(std::string_view text) {
  if (text.empty() || text.size() > kMaxHashDigits) return std::nullopt;
  uint32_t value = 0;
  for (const char digit : text) {
    uint32_t nibble = 0;
    if (digit >= '0' && digit <= '9') {
      nibble = digit - '0';
    } else if (digit >= 'a' && digit <= 'f') {
      nibble = digit - 'a' + 10;
    } else if (digit >= 'A' && digit <= 'F') {
      nibble = digit - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value << 4 | nibble;
  }
  return value;
}

}  // namespace

bool SignatureMatches(std::string_view signature, std::string_view hash) {
  // The signature is read by the same rule, so "0" (unreadable) matches a
  // Hash of zero and "" (nothing there) matches nothing.
  const std::optional<uint32_t> local = HexValue(signature);
  return local && local == HexValue(hash);
}

bool Sha256Matches(std::string_view local, std::string_view listed) {
  if (local.size() != kSha256Digits || listed.size() != kSha256Digits) return false;
  for (size_t i = 0; i < kSha256Digits; ++i) {
    const int a = HexDigit(local[i]);
    if (a < 0 || a != HexDigit(listed[i])) return false;
  }
  return true;
}

bool DigestMatches(const files::FileDigest& local, const FileEntry& entry) {
  return SignatureMatches(local.Signature, entry.Hash) && Sha256Matches(local.Sha256, entry.Sha256);
}

}  // namespace engine
