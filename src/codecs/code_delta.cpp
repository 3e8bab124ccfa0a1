// A code delta's header: written, read, and checked as its bytes arrive.
#include <algorithm>
#include <cstring>

#include "codecs/code_delta.h"

namespace files {
namespace {

constexpr size_t kVersionAt = 4;
constexpr size_t kNewSizeAt = 8;
constexpr size_t kBaseSizeAt = 16;
constexpr size_t kBaseCrcAt = 24;
constexpr size_t kMapBytesAt = 28;
constexpr size_t kMapRawBytesAt = 32;

void Put(std::string& out, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t Get(std::string_view in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

}  // namespace

std::string WriteCodeDeltaHeader(const CodeDeltaHeader& header) {
  std::string out(kCodeDeltaHeaderSize, '\0');
  std::memcpy(out.data(), kCodeDeltaMagic, kCodeDeltaMagicSize);
  out[kVersionAt] = static_cast<char>(kCodeDeltaVersion);
  Put(out, kNewSizeAt, header.newSize, 8);
  Put(out, kBaseSizeAt, header.baseSize, 8);
  Put(out, kBaseCrcAt, header.baseCrc, 4);
  Put(out, kMapBytesAt, header.mapBytes, 4);
  Put(out, kMapRawBytesAt, header.mapRawBytes, 4);
  return out;
}

HeadCheck CheckCodeDeltaHead(const void* data, size_t size, uint64_t expectedSize) {
  const std::string_view bytes(static_cast<const char*>(data), size);
  // A wrong magic shows in the first byte that differs.
  const size_t known = std::min(size, kCodeDeltaMagicSize);
  if (bytes.substr(0, known) != std::string_view(kCodeDeltaMagic, known)) return {true, DecodeStatus::kCorrupt};
  if (size < kCodeDeltaHeaderSize) return {};
  CodeDeltaHeader header;
  if (!ReadCodeDeltaHeader(bytes, header)) return {true, DecodeStatus::kCorrupt};
  if (header.newSize != expectedSize)
    return {true, header.newSize > expectedSize ? DecodeStatus::kTooLarge : DecodeStatus::kTooShort};
  return {true, DecodeStatus::kOk};
}

bool ReadCodeDeltaHeader(std::string_view bytes, CodeDeltaHeader& header) {
  if (bytes.size() < kCodeDeltaHeaderSize || bytes.substr(0, kCodeDeltaMagicSize) != kCodeDeltaMagic ||
      static_cast<uint8_t>(bytes[kVersionAt]) != kCodeDeltaVersion)
    return false;
  // The bytes after the version are reserved and must be zero, so that a
  // later format can use them.
  for (size_t i = kVersionAt + 1; i < kNewSizeAt; ++i)
    if (bytes[i] != 0) return false;
  header.newSize = Get(bytes, kNewSizeAt, 8);
  header.baseSize = Get(bytes, kBaseSizeAt, 8);
  header.baseCrc = static_cast<uint32_t>(Get(bytes, kBaseCrcAt, 4));
  header.mapBytes = static_cast<uint32_t>(Get(bytes, kMapBytesAt, 4));
  header.mapRawBytes = static_cast<uint32_t>(Get(bytes, kMapRawBytesAt, 4));
  return true;
}

}  // namespace files
