#pragma once
// Kernels behind Crc32Update. They work on the running register, that is the
// CRC already complemented, so pieces chain without extra complements.
#include <cstddef>
#include <cstdint>

namespace files::crc32_internal {

// Any length, any alignment, any CPU.
uint32_t SlicingBy8(uint32_t state, const unsigned char* data, size_t size);

// True when the CPU has carry-less multiply and SSE4.1 (checked with CPUID).
bool ClmulSupported();

// Only where ClmulSupported(); any length (short pieces go to the tables).
uint32_t Clmul(uint32_t state, const unsigned char* data, size_t size);

// True when the CPU also has the 256-bit form (AVX2 and VPCLMULQDQ) and the
// system saves the 256-bit registers (checked with XGETBV).
bool WideClmulSupported();

// Only where WideClmulSupported(); any length.
uint32_t WideClmul(uint32_t state, const unsigned char* data, size_t size);

}  // namespace files::crc32_internal
