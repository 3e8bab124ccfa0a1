#include "files/operand_starts.h"

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

namespace files {

bool VectorStartsSupported() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
}

STARTS_TARGET void MarkOperandStartsVector(const unsigned char* data, size_t chunks, bool wide, uint16_t* masks) {
  const __m128i callOrJumpMask = _mm_set1_epi8(static_cast<char>(0xFE));
  const __m128i call = _mm_set1_epi8(static_cast<char>(0xE8));
  const __m128i escape = _mm_set1_epi8(0x0F);
  const __m128i jccMask = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i jcc = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i modRmMask = _mm_set1_epi8(static_cast<char>(0xC7));
  const __m128i ripRelative = _mm_set1_epi8(0x05);
  for (size_t k = 0; k < chunks; ++k, data += kStartChunk) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 1));
    __m128i marked = _mm_or_si128(
        _mm_cmpeq_epi8(_mm_and_si128(bytes, callOrJumpMask), call),
        _mm_and_si128(_mm_cmpeq_epi8(bytes, escape), _mm_cmpeq_epi8(_mm_and_si128(next, jccMask), jcc)));
    if (wide) {
      for (size_t ahead = 1; ahead <= kStartLookAhead; ++ahead) {
        const __m128i later = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + ahead));
        marked = _mm_or_si128(marked, _mm_cmpeq_epi8(_mm_and_si128(later, modRmMask), ripRelative));
      }
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
