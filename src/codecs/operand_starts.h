#pragma once
// The first pass of the reference scan (files/pe_scan.h): which bytes of
// a section can start an operand the scan takes. A byte is marked when it is
// call (E8), jmp (E9) or the first of a jcc (0F 80 .. 0F 8F), and on x64 also
// when it can start an instruction with a RIP-relative ModRM byte (mod 00,
// r/m 101): an opcode of the families the scan reads, or REX or 0F before
// one, with that ModRM byte right after the opcode. A superset: the scan
// checks each marked byte in full. The vector kernel and the portable one
// mark the same bytes.
#include <cstddef>
#include <cstdint>

namespace files {

// Bytes per mask: bit i of a mask stands for byte i of its chunk.
inline constexpr size_t kStartChunk = 16;
// A chunk's mask also reads this many bytes after it.
inline constexpr size_t kStartLookAhead = 3;

// The byte forms both kernels test, as (byte & mask) == value.
namespace operand_forms {
inline constexpr unsigned char kCallOrJumpMask = 0xFE;  // E8 call, E9 jmp
inline constexpr unsigned char kCall = 0xE8;
inline constexpr unsigned char kTwoByteEscape = 0x0F;
inline constexpr unsigned char kJccMask = 0xF0;  // 0F 80 .. 0F 8F
inline constexpr unsigned char kJccFirst = 0x80;
inline constexpr unsigned char kModRmMask = 0xC7;
inline constexpr unsigned char kRipRelative = 0x05;
inline constexpr unsigned char kRexMask = 0xF0;  // 40 .. 4F
inline constexpr unsigned char kRex = 0x40;
// The one-byte opcodes with a RIP-relative form that the scan reads fall in
// three families: the ALU forms 01 03 09 0B 21 .. 3B (byte & C4 == 00),
// test/xchg/mov/lea 85 .. 8D (byte & F1 == 81) and FF.
inline constexpr unsigned char kAluMask = 0xC4;
inline constexpr unsigned char kAlu = 0x00;
inline constexpr unsigned char kMoveMask = 0xF1;
inline constexpr unsigned char kMove = 0x81;
inline constexpr unsigned char kGroupFive = 0xFF;
}  // namespace operand_forms

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
