#include <array>

#include "digests/crc32_kernels.h"

namespace files::crc32_internal {
namespace {

// x^32 + x^26 + x^23 + ... + 1 with its bits in reverse order, because the
// CRC is defined on bytes sent least significant bit first.
constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;

using Table = std::array<std::array<uint32_t, 256>, 8>;

// tables[0][b] is the register after shifting byte b through it; tables[k][b]
// the same followed by k zero bytes, which lets eight bytes be folded in with
// eight independent look-ups instead of a chain of eight.
constexpr Table MakeTables() {
  Table tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) ? (value >> 1) ^ kReflectedPolynomial : value >> 1;
    }
    tables[0][byte] = value;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (size_t byte = 0; byte < 256; ++byte) {
      const uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Table kTables = MakeTables();

// Assembled byte by byte so the kernel is right on any byte order; compilers
// turn it into one load on little-endian CPUs.
inline uint32_t LoadLittleEndian32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t SlicingBy8(uint32_t state, const unsigned char* data, size_t size) {
  while (size >= 8) {
    const uint32_t low = state ^ LoadLittleEndian32(data);
    const uint32_t high = LoadLittleEndian32(data + 4);
    state = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^
            kTables[5][(low >> 16) & 0xFFu] ^ kTables[4][low >> 24] ^
            kTables[3][high & 0xFFu] ^ kTables[2][(high >> 8) & 0xFFu] ^
            kTables[1][(high >> 16) & 0xFFu] ^ kTables[0][high >> 24];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) {
    state = (state >> 8) ^ kTables[0][(state ^ *data++) & 0xFFu];
  }
  return state;
}

}  // namespace files::crc32_internal
