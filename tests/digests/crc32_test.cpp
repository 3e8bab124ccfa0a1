#include "digests/crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digests/crc32_kernels.h"
#include "digests/crc32_reference.h"

#ifdef HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using files::Crc32Update;
using files_test::ReferenceCrc32Update;

std::vector<unsigned char> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

using CrcFunction = uint32_t (*)(uint32_t crc, const void* data, size_t size);

// Lengths 0 to 4096 at every offset from a 16-byte boundary: the folding
// kernels have separate paths for 16-, 64-, 128- and 256-byte multiples and
// for the bytes left over.
void ExpectReferenceForEveryLengthAndAlignment(CrcFunction crcOf) {
  constexpr size_t kMaxLength = 4096;
  constexpr size_t kAlignments = 16;
  const std::vector<unsigned char> pattern = RandomBytes(kMaxLength, 1);
  // Each length is a prefix of the same bytes, so the reference grows one
  // byte at a time. Bytes past the end are random too: reading them shows.
  std::vector<uint32_t> expected(kMaxLength + 1);
  expected[0] = 0;
  for (size_t length = 1; length <= kMaxLength; ++length) {
    expected[length] = ReferenceCrc32Update(expected[length - 1], &pattern[length - 1], 1);
  }
  std::vector<unsigned char> storage = RandomBytes(kMaxLength + 2 * kAlignments + 64, 2);
  const size_t misalignment = reinterpret_cast<uintptr_t>(storage.data()) % kAlignments;
  unsigned char* const aligned = storage.data() + (kAlignments - misalignment);
  for (size_t alignment = 0; alignment < kAlignments; ++alignment) {
    unsigned char* const data = aligned + alignment;
    std::memcpy(data, pattern.data(), pattern.size());
    for (size_t length = 0; length <= kMaxLength; ++length) {
      const uint32_t crc = crcOf(0, data, length);
      if (crc != expected[length]) {
        ADD_FAILURE() << "length " << length << ", alignment " << alignment;
        return;
      }
    }
  }
}

void ExpectReferenceOverLongBuffers(CrcFunction crcOf) {
  std::mt19937 random(4);
  const std::vector<unsigned char> data = RandomBytes((1 << 20) + 33, 5);
  for (int round = 0; round < 24; ++round) {
    const size_t offset = random() % 64;
    const size_t size = random() % (data.size() - offset);
    const uint32_t start = static_cast<uint32_t>(random());
    EXPECT_EQ(crcOf(start, data.data() + offset, size),
              ReferenceCrc32Update(start, data.data() + offset, size))
        << "offset " << offset << ", size " << size << ", start " << start;
  }
}

// Every case runs twice: with the kernel the CPU gets, and with the table
// kernel forced, so both are checked on a machine that has the fast one.
class Crc32Kernels : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { files::Crc32ForceFallback(GetParam()); }
  void TearDown() override { files::Crc32ForceFallback(false); }
};

struct CheckValue {
  const char* text;
  uint32_t crc;
};

TEST_P(Crc32Kernels, GivesPublishedCheckValues) {
  const CheckValue values[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"abc", 0x352441C2u},
      {"123456789", 0xCBF43926u},
      {"message digest", 0x20159D7Fu},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const CheckValue& value : values) {
    EXPECT_EQ(Crc32Update(0, value.text, std::strlen(value.text)), value.crc) << value.text;
  }
  // 1 KiB of zeros and of 0xFF, long enough for the folding kernel.
  const std::vector<unsigned char> zeros(1024, 0x00), ones(1024, 0xFF);
  EXPECT_EQ(Crc32Update(0, zeros.data(), zeros.size()), 0xEFB5AF2Eu);
  EXPECT_EQ(Crc32Update(0, ones.data(), ones.size()), 0xB83AFFF4u);
}

TEST_P(Crc32Kernels, MatchesReferenceForEveryLengthAndAlignment) {
  ExpectReferenceForEveryLengthAndAlignment(Crc32Update);
}

TEST_P(Crc32Kernels, ChainsAcrossEverySplitPoint) {
  const std::vector<unsigned char> data = RandomBytes(777, 3);
  const uint32_t whole = ReferenceCrc32Update(0, data.data(), data.size());
  for (size_t split = 0; split <= data.size(); ++split) {
    const uint32_t first = Crc32Update(0, data.data(), split);
    ASSERT_EQ(Crc32Update(first, data.data() + split, data.size() - split), whole) << split;
  }
}

#ifdef HAVE_ZLIB
TEST_P(Crc32Kernels, AgreesWithZlibOnRandomPieces) {
  std::mt19937 random(6);
  const std::vector<unsigned char> data = RandomBytes(4 << 20, 7);
  uLong theirs = crc32(0L, Z_NULL, 0);
  uint32_t ours = 0;
  size_t position = 0;
  while (position < data.size()) {
    // Mostly short pieces, sometimes long ones, as a reader would pass them.
    const size_t limit = random() % 4 == 0 ? 300000 : 200;
    const size_t size = std::min<size_t>(random() % limit, data.size() - position);
    theirs = crc32(theirs, data.data() + position, static_cast<uInt>(size));
    ours = Crc32Update(ours, data.data() + position, size);
    ASSERT_EQ(ours, static_cast<uint32_t>(theirs)) << "at " << position << ", size " << size;
    position += size;
  }
}
#endif

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Kernels, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Fallback" : "Dispatched");
                         });

// Two parts summed apart and combined give the CRC of the whole, at every
// kind of split: an empty part on either side, one byte, odd lengths.
TEST(Crc32, CombinedPartsGiveTheWhole) {
  const std::vector<unsigned char> data = RandomBytes(70000, 8);
  const uint32_t whole = ReferenceCrc32Update(0, data.data(), data.size());
  for (size_t split : {size_t{0}, size_t{1}, size_t{2}, size_t{4096}, size_t{33333}, size_t{69999}, size_t{70000}}) {
    const uint32_t front = ReferenceCrc32Update(0, data.data(), split);
    const uint32_t back = ReferenceCrc32Update(0, data.data() + split, data.size() - split);
    EXPECT_EQ(files::Crc32Combine(front, back, data.size() - split), whole) << "split at " << split;
  }
#ifdef HAVE_ZLIB
  // Lengths past 32 bits, where a narrower count would wrap.
  for (uint64_t size : {uint64_t{1} << 32, (uint64_t{1} << 33) + 5, uint64_t{0xFFFFFFFFFull}}) {
    EXPECT_EQ(files::Crc32Combine(0x12345678u, 0x9ABCDEF0u, size),
              static_cast<uint32_t>(crc32_combine64(0x12345678u, 0x9ABCDEF0u, static_cast<z_off64_t>(size))))
        << size;
  }
#endif
}

TEST(Crc32, ForcedFallbackIsTheTableKernelUntilReleased) {
  const std::string best = files::Crc32KernelName();
  files::Crc32ForceFallback(true);
  EXPECT_STREQ(files::Crc32KernelName(), "slicing-by-8");
  files::Crc32ForceFallback(false);
  EXPECT_EQ(files::Crc32KernelName(), best);
}

// Each kernel on its own, so that a machine with the widest one still checks
// the narrower ones it would choose elsewhere.
struct KernelCase {
  const char* name;
  uint32_t (*kernel)(uint32_t state, const unsigned char* data, size_t size);
  bool (*supported)();
};

class Crc32EachKernel : public testing::TestWithParam<KernelCase> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << "this CPU lacks " << GetParam().name;
    current = GetParam().kernel;
  }
  // The kernels work on the complemented register; give them zlib's contract.
  static uint32_t Update(uint32_t crc, const void* data, size_t size) {
    return ~current(~crc, static_cast<const unsigned char*>(data), size);
  }
  static inline uint32_t (*current)(uint32_t, const unsigned char*, size_t) = nullptr;
};

TEST_P(Crc32EachKernel, MatchesReferenceForEveryLengthAndAlignment) {
  ExpectReferenceForEveryLengthAndAlignment(&Update);
}

TEST_P(Crc32EachKernel, ContinuesFromAnyRunningValueOverLongBuffers) {
  ExpectReferenceOverLongBuffers(&Update);
}

bool Always() { return true; }

namespace kernels = files::crc32_internal;

INSTANTIATE_TEST_SUITE_P(
    Crc32, Crc32EachKernel,
    testing::Values(KernelCase{"SlicingBy8", &kernels::SlicingBy8, &Always},
                    KernelCase{"Clmul", &kernels::Clmul, &kernels::ClmulSupported},
                    KernelCase{"WideClmul", &kernels::WideClmul, &kernels::WideClmulSupported}),
    [](const testing::TestParamInfo<KernelCase>& info) { return std::string(info.param.name); });

}  // namespace
