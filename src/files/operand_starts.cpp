#include "files/operand_starts.h"

#include <cstring>

namespace files {
namespace {

// Words of eight bytes, read in the file's (little-endian) order on every
// platform.
constexpr unsigned kWordBytes = 8;
constexpr uint64_t kEachByte = 0x0101010101010101;
constexpr uint64_t kLowSeven = 0x7F7F7F7F7F7F7F7F;
// Multiplying the low bit of each byte by this gathers them, byte i's as
// bit i, in the top byte: the partial products never overlap.
constexpr uint64_t kGatherLowBits = 0x0102040810204080;
constexpr unsigned kGatherShift = 56;

constexpr unsigned char kCall = 0xE8;   // and jmp, E9: the same but for bit 0
constexpr unsigned char kCallOrJumpMask = 0xFE;
constexpr unsigned char kTwoByteEscape = 0x0F;
constexpr unsigned char kJccMask = 0xF0;  // 0F 80 .. 0F 8F
constexpr unsigned char kJccFirst = 0x80;
constexpr unsigned char kModRmMask = 0xC7;
constexpr unsigned char kRipRelative = 0x05;

uint64_t Word(const unsigned char* p) {
  uint64_t value = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(&value, p, kWordBytes);
#else
  for (unsigned i = 0; i < kWordBytes; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
#endif
  return value;
}

// The top bit of each byte of v that is zero, and no other bit.
uint64_t ZeroBytes(uint64_t v) { return ~(((v & kLowSeven) + kLowSeven) | v | kLowSeven); }

// The eight bytes at p as eight bits.
unsigned WordStarts(const unsigned char* p, bool wide) {
  const uint64_t word = Word(p);
  const uint64_t next = Word(p + 1);
  uint64_t marked = ZeroBytes((word & (kEachByte * kCallOrJumpMask)) ^ (kEachByte * kCall)) |
                    (ZeroBytes(word ^ (kEachByte * kTwoByteEscape)) &
                     ZeroBytes((next & (kEachByte * kJccMask)) ^ (kEachByte * kJccFirst)));
  if (wide) {
    for (unsigned ahead = 1; ahead <= kStartLookAhead; ++ahead)
      marked |= ZeroBytes((Word(p + ahead) & (kEachByte * kModRmMask)) ^ (kEachByte * kRipRelative));
  }
  return static_cast<unsigned>(((marked >> 7) * kGatherLowBits) >> kGatherShift);
}

}  // namespace

void MarkOperandStartsPortable(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks) {
  for (size_t k = 0; k < chunks; ++k, data += kStartChunk)
    masks[k] = static_cast<uint16_t>(WordStarts(data, wide) | WordStarts(data + kWordBytes, wide) << kWordBytes);
}

void MarkOperandStarts(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks) {
  static const bool vector = VectorStartsSupported();
  if (vector) {
    MarkOperandStartsVector(data, chunks, wide, masks);
  } else {
    MarkOperandStartsPortable(data, chunks, wide, masks);
  }
}

}  // namespace files
