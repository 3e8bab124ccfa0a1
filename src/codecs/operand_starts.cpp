#include "codecs/operand_starts.h"

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

using namespace operand_forms;

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

// The bytes of v equal to value once masked, as the top bit of each.
uint64_t Matches(uint64_t v, unsigned char mask, unsigned char value) {
  return ZeroBytes((v & (kEachByte * mask)) ^ (kEachByte * value));
}

uint64_t Equal(uint64_t v, unsigned char value) { return ZeroBytes(v ^ (kEachByte * value)); }

// The eight bytes at p as eight bits.
unsigned WordStarts(const unsigned char* p, bool wide) {
  const uint64_t word = Word(p);
  const uint64_t next = Word(p + 1);
  uint64_t marked = Matches(word, kCallOrJumpMask, kCall) |
                    (Equal(word, kTwoByteEscape) & Matches(next, kJccMask, kJccFirst));
  if (wide) {
    const uint64_t third = Word(p + 2);
    const auto oneByte = [](uint64_t v) {
      return Matches(v, kAluMask, kAlu) | Matches(v, kMoveMask, kMove) | Equal(v, kGroupFive);
    };
    const uint64_t rex = Matches(word, kRexMask, kRex);
    const uint64_t escape = Equal(word, kTwoByteEscape);
    marked |= (Matches(next, kModRmMask, kRipRelative) & oneByte(word)) |
              (Matches(third, kModRmMask, kRipRelative) & ((rex & oneByte(next)) | escape)) |
              (Matches(Word(p + 3), kModRmMask, kRipRelative) & rex & Equal(next, kTwoByteEscape));
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
