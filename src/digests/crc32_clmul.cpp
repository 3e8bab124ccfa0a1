#include "digests/crc32_kernels.h"

#if defined(__i386__) || defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

// The kernels are compiled for their instruction sets without changing the
// flags of the rest of the program, which must still run on CPUs without
// them; they are only called after CPUID said yes.
#define CRC_SSE_TARGET __attribute__((target("pclmul,sse4.1")))
#define CRC_AVX2_TARGET __attribute__((target("avx2,pclmul,vpclmulqdq")))
#define CRC_SSE_INLINE CRC_SSE_TARGET __attribute__((always_inline)) inline
#define CRC_AVX2_INLINE CRC_AVX2_TARGET __attribute__((always_inline)) inline
// Windows promises a 32-bit function only 4-byte stack alignment, and with
// eight vector registers the kernels spill to the stack: realign on entry.
#if defined(__i386__)
#define CRC_ENTRY __attribute__((force_align_arg_pointer, noinline))
#else
#define CRC_ENTRY __attribute__((noinline))
#endif

namespace files::crc32_internal {
namespace {

// Folding. The data is a polynomial over GF(2), bit-reflected (the first
// byte's lowest bit is the highest power). A 128-bit block followed by D more
// bits is congruent, modulo P, to
//   low64 * (x^(D+32) mod P) + high64 * (x^(D-32) mod P)
// placed over the block D bits later, so blocks are carried forwards with
// carry-less multiplications and no division. Each constant below is such a
// remainder, bit-reflected and shifted left by one to suit the reflected
// product; the low lane holds the D+32 one.
struct FoldConstants {
  uint32_t lowLane[2];
  uint32_t highLane[2];
};
constexpr FoldConstants kFold1024 = {{0xE88EF372u, 0x1u}, {0x4A7FE880u, 0x1u}};
constexpr FoldConstants kFold512 = {{0x54442BD4u, 0x1u}, {0xC6E41596u, 0x1u}};
constexpr FoldConstants kFold256 = {{0xF1DA05AAu, 0x0u}, {0x5A546366u, 0x1u}};
constexpr FoldConstants kFold128 = {{0x751997D0u, 0x1u}, {0xCCAA009Eu, 0x0u}};
// x^64 mod P, for the last step from 64 bits to 32.
constexpr uint32_t kX64[2] = {0x63CD6124u, 0x1u};
// Barrett reduction: P itself and mu = floor(x^64 / P), both bit-reflected.
constexpr FoldConstants kBarrett = {{0xDB710641u, 0x1u}, {0xF7011641u, 0x1u}};

CRC_SSE_INLINE __m128i Lanes(const FoldConstants& k) {
  return _mm_set_epi32(static_cast<int>(k.highLane[1]), static_cast<int>(k.highLane[0]),
                       static_cast<int>(k.lowLane[1]), static_cast<int>(k.lowLane[0]));
}

CRC_SSE_INLINE __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Carries `block` forwards by the constants' distance and adds `next`.
CRC_SSE_INLINE __m128i Fold(__m128i block, __m128i constants, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(block, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(block, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds the remaining 16-byte blocks into `a` and reduces it to the register.
CRC_SSE_INLINE uint32_t FoldTailAndReduce(__m128i a, const unsigned char* data, size_t size) {
  const __m128i by128 = Lanes(kFold128);
  while (size >= 16) {
    a = Fold(a, by128, Load(data));
    data += 16;
    size -= 16;
  }
  // 128 bits to 64: the low half moves 64 bits forwards onto the high half.
  const __m128i low32Mask = _mm_setr_epi32(-1, 0, -1, 0);
  a = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(a, by128, 0x10));
  // 64 bits to 32, making room for the 32 zero bits a CRC appends.
  const __m128i x64 = _mm_setr_epi32(static_cast<int>(kX64[0]), static_cast<int>(kX64[1]), 0, 0);
  a = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(a, low32Mask), x64, 0x00),
                    _mm_srli_si128(a, 4));
  // Barrett: quotient = (low 32 bits * mu) / x^32, remainder = a - quotient * P.
  const __m128i barrett = Lanes(kBarrett);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(a, low32Mask), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32Mask), barrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(a, t), 1));
}

// Four 128-bit accumulators, 64 bytes a round: four independent chains hide
// the multiplier's latency. Whole 16-byte blocks only, at least 64 bytes.
CRC_ENTRY CRC_SSE_TARGET uint32_t FoldSse(uint32_t state, const unsigned char* data,
                                          size_t size) {
  const __m128i by512 = Lanes(kFold512);
  const __m128i by128 = Lanes(kFold128);
  __m128i a = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i b = Load(data + 16);
  __m128i c = Load(data + 32);
  __m128i d = Load(data + 48);
  data += 64;
  size -= 64;
  while (size >= 64) {
    a = Fold(a, by512, Load(data));
    b = Fold(b, by512, Load(data + 16));
    c = Fold(c, by512, Load(data + 32));
    d = Fold(d, by512, Load(data + 48));
    data += 64;
    size -= 64;
  }
  a = Fold(a, by128, b);
  a = Fold(a, by128, c);
  a = Fold(a, by128, d);
  return FoldTailAndReduce(a, data, size);
}

CRC_AVX2_INLINE __m256i Lanes256(const FoldConstants& k) {
  const __m128i lanes = Lanes(k);
  return _mm256_broadcastsi128_si256(lanes);
}

CRC_AVX2_INLINE __m256i Load256(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

CRC_AVX2_INLINE __m256i Fold256(__m256i block, __m256i constants, __m256i next) {
  const __m256i low = _mm256_clmulepi64_epi128(block, constants, 0x00);
  const __m256i high = _mm256_clmulepi64_epi128(block, constants, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

// The same with two 128-bit blocks per register: four 256-bit accumulators,
// 128 bytes a round. Whole 16-byte blocks only, at least 128 bytes.
CRC_ENTRY CRC_AVX2_TARGET uint32_t FoldAvx2(uint32_t state, const unsigned char* data,
                                            size_t size) {
  const __m256i by1024 = Lanes256(kFold1024);
  const __m256i by256 = Lanes256(kFold256);
  __m256i a = _mm256_xor_si256(Load256(data), _mm256_setr_epi32(static_cast<int>(state), 0, 0,
                                                                 0, 0, 0, 0, 0));
  __m256i b = Load256(data + 32);
  __m256i c = Load256(data + 64);
  __m256i d = Load256(data + 96);
  data += 128;
  size -= 128;
  while (size >= 128) {
    a = Fold256(a, by1024, Load256(data));
    b = Fold256(b, by1024, Load256(data + 32));
    c = Fold256(c, by1024, Load256(data + 64));
    d = Fold256(d, by1024, Load256(data + 96));
    data += 128;
    size -= 128;
  }
  a = Fold256(a, by256, b);
  a = Fold256(a, by256, c);
  a = Fold256(a, by256, d);
  // The earlier 128-bit half onto the later one.
  const __m128i folded = Fold(_mm256_castsi256_si128(a), Lanes(kFold128),
                              _mm256_extracti128_si256(a, 1));
  return FoldTailAndReduce(folded, data, size);
}

struct CpuFeatures {
  bool clmul = false;
  bool wideClmul = false;
};

CpuFeatures DetectFeatures() {
  CpuFeatures features;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
  features.clmul = (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
  // The 256-bit registers also need the system to save them on a thread
  // switch: XCR0 must have the SSE and AVX state bits set.
  if (!features.clmul || (ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return features;
  unsigned xcr0Low = 0, xcr0High = 0;
  __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 0x6u) != 0x6u) return features;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return features;
  features.wideClmul = (ebx & bit_AVX2) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
  return features;
}

const CpuFeatures& Features() {
  static const CpuFeatures features = DetectFeatures();
  return features;
}

constexpr size_t kBlockMask = ~static_cast<size_t>(15);

}  // namespace

bool ClmulSupported() { return Features().clmul; }
bool WideClmulSupported() { return Features().wideClmul; }

uint32_t Clmul(uint32_t state, const unsigned char* data, size_t size) {
  if (size >= 64) {
    const size_t blocks = size & kBlockMask;
    state = FoldSse(state, data, blocks);
    data += blocks;
    size -= blocks;
  }
  return SlicingBy8(state, data, size);
}

uint32_t WideClmul(uint32_t state, const unsigned char* data, size_t size) {
  if (size < 256) return Clmul(state, data, size);
  const size_t blocks = size & kBlockMask;
  state = FoldAvx2(state, data, blocks);
  return SlicingBy8(state, data + blocks, size - blocks);
}

}  // namespace files::crc32_internal

#else  // not x86

namespace files::crc32_internal {

bool ClmulSupported() { return false; }
bool WideClmulSupported() { return false; }

uint32_t Clmul(uint32_t state, const unsigned char* data, size_t size) {
  return SlicingBy8(state, data, size);
}

uint32_t WideClmul(uint32_t state, const unsigned char* data, size_t size) {
  return SlicingBy8(state, data, size);
}

}  // namespace files::crc32_internal

#endif
