#pragma once
// The first pass of the reference scan (files/pe_image.cpp): which bytes of
// a section can start an operand the scan takes. A byte is marked when it is
// call (E8), jmp (E9) or the first of a jcc (0F 80 .. 0F 8F), and on x64 also
// when any of the three bytes after it is a ModRM byte of RIP-relative form
// (mod 00, r/m 101). A superset: the scan checks each marked byte in full. The vector
// kernel and the portable one mark the same bytes.
#include <cstddef>
#include <cstdint>

namespace files {

// Bytes per mask: bit i of a mask stands for byte i of its chunk.
inline constexpr size_t kStartChunk = 16;
// A chunk's mask also reads this many bytes after it.
inline constexpr size_t kStartLookAhead = 3;

// Fills masks[k] for the chunk at data + k * kStartChunk, k < chunks; reads
// chunks * kStartChunk + kStartLookAhead bytes. The fastest kernel the CPU
// runs, chosen once.
void MarkOperandStarts(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks);

// The kernels behind it, for tests and benchmarks: the portable one runs
// anywhere, the vector one only where VectorStartsSupported().
void MarkOperandStartsPortable(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks);
bool VectorStartsSupported();
void MarkOperandStartsVector(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks);

}  // namespace files
