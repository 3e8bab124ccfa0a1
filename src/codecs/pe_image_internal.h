#pragma once
// What the PE reader's files share: little-endian reads of the file's bytes
// (the caller checks the bounds first, with Fits), the format's limit on
// sections and the form of a relocation block.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace files::pe_internal {

// The loader refuses more.
inline constexpr uint32_t kMostSections = 96;

// A relocation block: page address and block size, then 16-bit entries of
// a 4-bit type and a 12-bit offset in the page.
inline constexpr size_t kRelocationBlockHeader = 8;
inline constexpr uint32_t kRelocationHighLow = 3;
inline constexpr uint32_t kRelocationDir64 = 10;
inline constexpr uint32_t kRelocationTypeShift = 12;
inline constexpr uint32_t kRelocationOffsetMask = 0xFFF;

inline uint32_t Read16(std::string_view file, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(file[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8;
}

inline uint32_t Read32(std::string_view file, size_t at) { return Read16(file, at) | Read16(file, at + 2) << 16; }

inline uint64_t Read64(std::string_view file, size_t at) {
  return static_cast<uint64_t>(Read32(file, at)) | static_cast<uint64_t>(Read32(file, at + 4)) << 32;
}

inline bool Fits(std::string_view file, uint64_t at, uint64_t size) { return at <= file.size() && size <= file.size() - at; }

}  // namespace files::pe_internal
