#include "files/file_signature.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <new>

#include "files/crc32.h"
#include "files/file_reader.h"

namespace files {
namespace {

constexpr size_t kPageSize = 4096;

unsigned char* PageAligned(unsigned char* p) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  return p + ((kPageSize - address % kPageSize) % kPageSize);
}

// The CRC of every byte of the file, or of no bytes when it cannot be read:
// an unreadable file then looks like an empty one and is fetched again.
uint32_t FileCrc(const std::string& path) {
  FileReader reader(path);
  if (!reader.IsOpen()) return 0;

  // The buffer starts on a page boundary, as the cached pages of the file do:
  // some CPUs copy several times slower into a destination that is not
  // aligned like its source. Short of memory the file is still read, only in
  // smaller pieces.
  std::unique_ptr<unsigned char[]> heap(
      new (std::nothrow) unsigned char[kSignatureChunkSize + kPageSize]);
  alignas(64) unsigned char fallback[4096];
  unsigned char* const buffer = heap ? PageAligned(heap.get()) : fallback;
  const size_t capacity = heap ? kSignatureChunkSize : sizeof fallback;

  uint32_t crc = 0;
  size_t count = 0;
  while (reader.Read(buffer, capacity, &count)) {
    if (count == 0) return crc;
    crc = Crc32Update(crc, buffer, count);
  }
  return 0;
}

std::string UpperHex(uint32_t value) {
  char digits[8];
  size_t length = 0;
  do {
    digits[length++] = "0123456789ABCDEF"[value & 0xFu];
    value >>= 4;
  } while (value != 0);
  return std::string(std::make_reverse_iterator(digits + length),
                     std::make_reverse_iterator(digits));
}

}  // namespace

std::string FileSignature(const std::string& path) {
  if (!PathExists(path)) return "";
  return UpperHex(FileCrc(path));
}

}  // namespace files
