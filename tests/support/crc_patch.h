#pragma once
// The four bytes that, appended to some content, bring its CRC-32 back to
// what it was: a file that passes the CRC check and is still not the file.
#include <cstdint>
#include <string>
#include <string_view>

#include "digests/crc32.h"

namespace testing_support {

inline std::string CrcRestoringSuffix(std::string_view content) {
  // The reflected table of the polynomial; each entry's top byte is unique,
  // which is what lets the register be run backwards.
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  const uint32_t before = ~files::Crc32Update(0, content.data(), content.size());  // the register
  // Four zero bytes run backwards from the wanted register give the register
  // that four zero bytes would turn into it; the suffix makes up the difference.
  uint32_t reg = before;
  for (int step = 0; step < 4; ++step) {
    uint32_t index = 0;
    while ((table[index] >> 24) != (reg >> 24)) ++index;
    reg = ((reg ^ table[index]) << 8) | index;
  }
  const uint32_t suffix = reg ^ before;
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(suffix >> (8 * i));
  return bytes;
}

}  // namespace testing_support
