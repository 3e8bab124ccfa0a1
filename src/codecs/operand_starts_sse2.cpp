#include "codecs/operand_starts.h"

#if defined(__i386__) || defined(__x86_64__)

#include <cpuid.h>
#include <emmintrin.h>

// Compiled for SSE2 without changing the flags of the rest of the program,
// which must still run on CPUs without it; called only after CPUID said yes.
// Windows promises a 32-bit function only 4-byte stack alignment, and a
// vector register spilled to the stack needs 16: realign on entry there.
#if defined(__i386__)
#define STARTS_TARGET __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#else
#define STARTS_TARGET __attribute__((target("sse2"), noinline))
#endif
// The kernel's helpers, folded into it.
#define STARTS_HELPER __attribute__((target("sse2"), always_inline)) inline

namespace files {

bool VectorStartsSupported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
}

namespace {
using namespace operand_forms;

// The bytes of v equal to value once masked, as 0xFF each.
STARTS_HELPER __m128i Matches(__m128i v, unsigned char mask, unsigned char value) {
  return _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(mask))),
                        _mm_set1_epi8(static_cast<char>(value)));
}

STARTS_HELPER __m128i Equal(__m128i v, unsigned char value) {
  return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(value)));
}

STARTS_HELPER __m128i OneByteOpcode(__m128i v) {
  return _mm_or_si128(_mm_or_si128(Matches(v, kAluMask, kAlu), Matches(v, kMoveMask, kMove)), Equal(v, kGroupFive));
}

}  // namespace

STARTS_TARGET void MarkOperandStartsVector(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks) {
  for (size_t k = 0; k < chunks; ++k, data += kStartChunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 1));
    const __m128i escape = Equal(bytes, kTwoByteEscape);
    __m128i marked =
        _mm_or_si128(Matches(bytes, kCallOrJumpMask, kCall), _mm_and_si128(escape, Matches(next, kJccMask, kJccFirst)));
    if (wide) {
      const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2));
      const __m128i fourth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 3));
      const __m128i rex = Matches(bytes, kRexMask, kRex);
      marked = _mm_or_si128(marked, _mm_and_si128(Matches(next, kModRmMask, kRipRelative), OneByteOpcode(bytes)));
      marked = _mm_or_si128(marked, _mm_and_si128(Matches(third, kModRmMask, kRipRelative),
                                                  _mm_or_si128(_mm_and_si128(rex, OneByteOpcode(next)), escape)));
      marked = _mm_or_si128(marked, _mm_and_si128(Matches(fourth, kModRmMask, kRipRelative),
                                                  _mm_and_si128(rex, Equal(next, kTwoByteEscape))));
    }
    masks[k] = static_cast<uint16_t>(_mm_movemask_epi8(marked));
  }
}

}  // namespace files

#else

namespace files {

bool VectorStartsSupported() { return false; }

void MarkOperandStartsVector(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks) {
  MarkOperandStartsPortable(data, chunks, wide, masks);
}

}  // namespace files

#endif
