#pragma once
// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value and
// final complement of all ones): the value zlib's crc32 gives.
#include <cstddef>
#include <cstdint>

namespace files {

// Same contract as zlib's crc32: start from 0, pass the previous result to
// continue over the next piece. The complements happen inside.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// The CRC of A followed by B, from the CRC of each and B's length, as zlib's
// crc32_combine gives it: two parts of a file can be summed at once.
uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t sizeB);

// Forces the table-driven kernel even where the CPU has a faster one; for
// tests and benchmarks. Takes effect on the next call from any thread.
void Crc32ForceFallback(bool force);

// The kernel the next call will use: "vpclmul-avx2", "pclmul" or
// "slicing-by-8".
const char* Crc32KernelName();

}  // namespace files
