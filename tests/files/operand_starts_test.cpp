// The first pass of the reference scan: the vector kernel marks the same
// bytes as the portable one at every length and alignment, and both mark
// every byte that can start an operand.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "files/operand_starts.h"

namespace {

// Code-like bytes: the opcodes and ModRM forms the scan looks for are
// frequent, so that every combination of them meets at chunk edges.
std::string CodeLikeBytes(size_t size, unsigned seed) {
  static const unsigned char kCommon[] = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x8F, 0x05, 0x0D, 0x48, 0x8B, 0xC7, 0xFF};
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(random() % 2 ? kCommon[random() % sizeof kCommon] : random() % 256);
  return bytes;
}

// The marks by their definition, byte by byte.
bool StartsHere(const unsigned char* p, bool wide) {
  if ((p[0] & 0xFE) == 0xE8 || (p[0] == 0x0F && (p[1] & 0xF0) == 0x80)) return true;
  if (!wide) return false;
  for (int ahead = 1; ahead <= 3; ++ahead)
    if ((p[ahead] & 0xC7) == 0x05) return true;
  return false;
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
