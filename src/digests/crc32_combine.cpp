#include <cstdint>

#include "digests/crc32.h"

namespace files {
namespace {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
// x^0 and x^8 in the reflected form: the highest bit is the constant term.
constexpr uint32_t kOne = 0x80000000u;
constexpr uint32_t kXToThe8 = kOne >> 8;

// a(x) * b(x) modulo the polynomial, one bit of `a` at a time.
uint32_t MultiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = kOne; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1u) ? (b >> 1) ^ kReflectedPolynomial : b >> 1;
  }
  return product;
}

}  // namespace

uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t sizeB) {
  // Appending sizeB bytes multiplies A's register by x^(8 * sizeB); the
  // complements of the two CRCs cancel out in the sum.
  uint32_t shift = kOne;
  for (uint32_t square = kXToThe8; sizeB != 0; sizeB >>= 1, square = MultiplyModP(square, square)) {
    if (sizeB & 1u) shift = MultiplyModP(shift, square);
  }
  return MultiplyModP(shift, crcA) ^ crcB;
}

}  // namespace files
