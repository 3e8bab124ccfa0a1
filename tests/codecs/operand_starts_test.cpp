// The first pass of the reference scan: the vector kernel marks the same
// bytes as the portable one at every length and alignment, and both mark
// every byte that can start an operand.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/operand_starts.h"

namespace {

// Code-like bytes: the opcodes and ModRM forms the scan looks for are
// frequent, so that every combination of them meets at chunk edges.
std::string CodeLikeBytes(size_t size, unsigned seed) {
  static const unsigned char kCommon[] = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x8F, 0x05, 0x0D,
                                         0x48, 0x8B, 0xC7, 0xFF, 0x01, 0x3B, 0x8D, 0x10};
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(random() % 2 ? kCommon[random() % sizeof kCommon] : random() % 256);
  return bytes;
}

// The marks by their definition, byte by byte: on x64 an opcode of the
// families read (or REX, 0F, or both before one) with a RIP-relative ModRM
// byte right after it.
bool OneByteFamily(unsigned char op) { return (op & 0xC4) == 0 || (op & 0xF1) == 0x81 || op == 0xFF; }
bool RipModRm(unsigned char byte) { return (byte & 0xC7) == 0x05; }
bool StartsHere(const unsigned char* p, bool wide) {
  if ((p[0] & 0xFE) == 0xE8 || (p[0] == 0x0F && (p[1] & 0xF0) == 0x80)) return true;
  if (!wide) return false;
  const bool rex = (p[0] & 0xF0) == 0x40;
  return (OneByteFamily(p[0]) && RipModRm(p[1])) || (rex && OneByteFamily(p[1]) && RipModRm(p[2])) ||
         (p[0] == 0x0F && RipModRm(p[2])) || (rex && p[1] == 0x0F && RipModRm(p[3]));
}

TEST(OperandStarts, KernelsMarkTheBytesThatCanStartAnOperandAtEveryAlignment) {
  const std::string bytes = CodeLikeBytes(4096 + 64, 7);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  // Where the CPU lacks the vector kernel, the one chosen is the portable.
  const auto chosen = files::VectorStartsSupported() ? files::MarkOperandStartsVector : files::MarkOperandStarts;
  for (bool wide : {false, true}) {
    for (size_t align = 0; align < files::kStartChunk; ++align) {
      for (size_t chunks : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{17}, size_t{255}}) {
        std::vector<uint16_t> portable(chunks + 1, 0xAAAA), vector(chunks + 1, 0xAAAA);
        files::MarkOperandStartsPortable(data + align, chunks, wide, portable.data());
        chosen(data + align, chunks, wide, vector.data());
        EXPECT_EQ(portable, vector) << "wide " << wide << " align " << align << " chunks " << chunks;
        // Nothing past the last chunk is written.
        EXPECT_EQ(portable[chunks], 0xAAAA);
        for (size_t i = 0; i < chunks * files::kStartChunk; ++i) {
          const bool marked = (portable[i / files::kStartChunk] >> (i % files::kStartChunk) & 1) != 0;
          ASSERT_EQ(marked, StartsHere(data + align + i, wide)) << "wide " << wide << " byte " << align + i;
        }
      }
    }
  }
}

}  // namespace
