#pragma once
// A bit-at-a-time CRC-32, slow and obviously right, for checking the kernels.
#include <cstddef>
#include <cstdint>

namespace files_test {

inline uint32_t ReferenceCrc32Update(uint32_t crc, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t state = ~crc;
  for (size_t i = 0; i < size; ++i) {
    state ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ (0xEDB88320u & (0u - (state & 1u)));
  }
  return ~state;
}

}  // namespace files_test
