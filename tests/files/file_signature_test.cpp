#include "files/file_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/gbk_text.h"
#include "digests/crc32.h"
#include "digests/crc32_reference.h"
#include "files/file_reader.h"
#include "files/file_signature_internal.h"

namespace {

namespace fs = std::filesystem;
using files::FileSignature;
using files::kSignatureChunkSize;
using files::signature_internal::PiecesCrc;

std::vector<unsigned char> RandomBytes(size_t size) {
  std::mt19937 random(static_cast<uint32_t>(size));
  std::vector<unsigned char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

std::string HexText(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(crc));
  return text;
}

// A fresh folder per test; paths are handed to FileSignature as GBK texts.
class FileSignatureTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("file_signature_") + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    folder_ = fs::temp_directory_path() / name;
    fs::remove_all(folder_);
    ASSERT_TRUE(fs::create_directories(folder_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // `name` is UTF-8.
  fs::path PathOf(const std::string& name) const { return folder_ / fs::u8path(name); }
  static std::string GbkPath(const fs::path& path) { return base::GbkFromUtf8(path.u8string()); }

  std::string Write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    const fs::path path = PathOf(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out) << path;
    return GbkPath(path);
  }

  fs::path folder_;
};

TEST_F(FileSignatureTest, NothingAtThePathGivesEmptyText) {
  EXPECT_EQ(FileSignature(GbkPath(PathOf("absent.dll"))), "");
  EXPECT_EQ(FileSignature(GbkPath(PathOf("absent") / "inner.dll")), "");
  EXPECT_EQ(FileSignature(""), "");
}

TEST_F(FileSignatureTest, FolderExistsButReadsAsNoBytes) {
  ASSERT_TRUE(fs::create_directory(PathOf("plugins")));
  EXPECT_EQ(FileSignature(GbkPath(PathOf("plugins"))), "0");
}

TEST_F(FileSignatureTest, ChineseFileNameIsFound) {
  const std::vector<unsigned char> bytes = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const std::string path = Write(u8"更新说明.txt", bytes);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(FileSignature(path), "CBF43926");
}

struct ContentCase {
  const char* label;
  std::vector<unsigned char> bytes;
  const char* signature;
};

class FileSignatureContent : public FileSignatureTest,
                             public testing::WithParamInterface<ContentCase> {};

TEST_P(FileSignatureContent, IsUpperCaseHexWithoutLeadingZeros) {
  EXPECT_EQ(FileSignature(Write("file.bin", GetParam().bytes)), GetParam().signature);
}

std::vector<unsigned char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

INSTANTIATE_TEST_SUITE_P(
    FileSignature, FileSignatureContent,
    testing::Values(ContentCase{"Empty", {}, "0"},
                    ContentCase{"EightDigits", Bytes("123456789"), "CBF43926"},
                    ContentCase{"LetterDigits", Bytes("a"), "E8B7BE43"},
                    ContentCase{"SevenDigits", Bytes("signature 33"), "79746DE"},
                    ContentCase{"FiveDigits", Bytes("signature 662"), "5E036"},
                    // Four bytes chosen so that their CRC is 0.
                    ContentCase{"CrcZero", {0x9D, 0x0A, 0xD9, 0x6D}, "0"}),
    [](const testing::TestParamInfo<ContentCase>& info) { return info.param.label; });

// Sizes around the reader's piece size, where a lost or repeated piece shows.
class FileSignatureSize : public FileSignatureTest, public testing::WithParamInterface<size_t> {};

TEST_P(FileSignatureSize, CoversEveryByteOfTheFile) {
  const std::vector<unsigned char> bytes = RandomBytes(GetParam());
  const uint32_t expected = files_test::ReferenceCrc32Update(0, bytes.data(), bytes.size());
  const std::string path = Write("data.bin", bytes);
  EXPECT_EQ(FileSignature(path), HexText(expected));

  // The same file with its reading moved to a second thread after the first
  // piece or after the second, as for a file above the overlap size.
  for (uint64_t overlapAfter : {uint64_t{0}, uint64_t{kSignatureChunkSize}}) {
    files::FileReader reader(path);
    ASSERT_TRUE(reader.IsOpen());
    uint32_t crc = 0;
    EXPECT_TRUE(PiecesCrc(
        [&reader](void* buffer, size_t capacity, size_t* count) {
          return reader.Read(buffer, capacity, count);
        },
        overlapAfter, &crc));
    EXPECT_EQ(HexText(crc), HexText(expected)) << "overlap after " << overlapAfter;
  }
}

// The last size is above the size from which a file is read from its start
// and its middle at once.
INSTANTIATE_TEST_SUITE_P(FileSignature, FileSignatureSize,
                         testing::Values(size_t{1}, size_t{4095}, kSignatureChunkSize - 1,
                                         kSignatureChunkSize, kSignatureChunkSize + 1,
                                         2 * kSignatureChunkSize, 3 * kSignatureChunkSize + 17,
                                         5 * kSignatureChunkSize + 1, 17 * kSignatureChunkSize + 5));

// Bytes in memory handed out in pieces of at most `pieceSize`, with a read
// that fails from `failAt` on; notes where and on which thread each read was.
struct MemorySource {
  struct Read {
    size_t position;
    std::thread::id thread;
  };

  MemorySource(std::vector<unsigned char> data, size_t piece, size_t failFrom)
      : bytes(std::move(data)), pieceSize(piece), failAt(failFrom) {}

  bool operator()(void* buffer, size_t capacity, size_t* count) {
    reads.push_back({position, std::this_thread::get_id()});
    *count = 0;
    if (position >= failAt) return false;
    *count = std::min({capacity, pieceSize, bytes.size() - position});
    if (*count > 0) std::memcpy(buffer, bytes.data() + position, *count);
    position += *count;
    return true;
  }

  std::vector<unsigned char> bytes;
  size_t pieceSize;
  size_t failAt;
  size_t position = 0;
  std::vector<Read> reads;
};

struct OverlapCase {
  const char* label;
  size_t size;
  size_t pieceSize;
  uint64_t overlapAfter;
};

class PiecesCrcOverlap : public testing::TestWithParam<OverlapCase> {};

TEST_P(PiecesCrcOverlap, SumsEveryPieceAndReadsLateOnesOnASecondThread) {
  const OverlapCase& param = GetParam();
  MemorySource source(RandomBytes(param.size), param.pieceSize, SIZE_MAX);
  uint32_t crc = 0;
  // The source is handed by reference: the test looks at its reads after.
  ASSERT_TRUE(PiecesCrc(std::ref(source), param.overlapAfter, &crc));
  EXPECT_EQ(HexText(crc), HexText(files_test::ReferenceCrc32Update(0, source.bytes.data(),
                                                                   source.bytes.size())));
  EXPECT_EQ(source.position, param.size);

  // Until more than `overlapAfter` bytes are in, every read is the caller's;
  // after that none is.
  const std::thread::id caller = std::this_thread::get_id();
  bool overlapped = false;
  for (const MemorySource::Read& read : source.reads) {
    EXPECT_EQ(read.thread == caller, read.position <= param.overlapAfter)
        << "read at " << read.position;
    overlapped = overlapped || read.thread != caller;
  }
  EXPECT_EQ(overlapped, param.size > param.overlapAfter);
}

INSTANTIATE_TEST_SUITE_P(
    FileSignature, PiecesCrcOverlap,
    testing::Values(OverlapCase{"Empty", 0, 1000, 0},
                    OverlapCase{"AtTheOverlapSize", 5000, 1000, 5000},
                    OverlapCase{"OneByteAboveIt", 5001, 1000, 5000},
                    OverlapCase{"FromTheFirstPiece", 5000, 1000, 0},
                    // Many short pieces go round the ring of buffers many times.
                    OverlapCase{"ManyShortPieces", 100000, 777, 3000},
                    OverlapCase{"FullPieces", 4 * kSignatureChunkSize + 17, kSignatureChunkSize,
                                kSignatureChunkSize}),
    [](const testing::TestParamInfo<OverlapCase>& info) { return info.param.label; });

struct FailureCase {
  const char* label;
  size_t failAt;
  uint64_t overlapAfter;
};

class PiecesCrcFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PiecesCrcFailure, AFailedReadFailsTheWhole) {
  MemorySource source(RandomBytes(20000), 1000, GetParam().failAt);
  uint32_t crc = 0;
  EXPECT_FALSE(PiecesCrc(std::ref(source), GetParam().overlapAfter, &crc));
  EXPECT_EQ(source.reads.back().position, GetParam().failAt) << "read on after the failure";
}

INSTANTIATE_TEST_SUITE_P(FileSignature, PiecesCrcFailure,
                         testing::Values(FailureCase{"FirstRead", 0, 0},
                                         FailureCase{"BeforeTheOverlap", 3000, 10000},
                                         FailureCase{"FirstReadOfTheSecondThread", 5000, 4000},
                                         FailureCase{"AfterTheRingWentRound", 15000, 0},
                                         FailureCase{"AtTheEnd", 20000, 0}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                           return info.param.label;
                         });

// Front and back of one source, read at once: a failed read on either side,
// or a front that ends before its share (the file shrank), fails the whole,
// so that the caller reads the file again.
TEST(SplitCrc, CombinesBothPartsOrFails) {
  using files::signature_internal::SplitCrc;
  const std::vector<unsigned char> bytes = RandomBytes(50000);
  constexpr size_t kFront = 20000;
  const std::vector<unsigned char> back(bytes.begin() + kFront, bytes.end());
  const uint32_t expected = files_test::ReferenceCrc32Update(0, bytes.data(), bytes.size());
  struct Case {
    const char* label;
    size_t frontFailsAt;
    size_t backFailsAt;
    size_t frontEndsAt;
    bool whole;
  };
  for (const Case& c : {Case{"Whole", SIZE_MAX, SIZE_MAX, kFront, true},
                        Case{"FrontReadFails", 7000, SIZE_MAX, kFront, false},
                        Case{"BackReadFails", SIZE_MAX, 7000, kFront, false},
                        Case{"FrontEndsEarly", SIZE_MAX, SIZE_MAX, kFront - 1, false}}) {
    MemorySource front(std::vector<unsigned char>(bytes.begin(), bytes.begin() + c.frontEndsAt), 999,
                       c.frontFailsAt);
    MemorySource rest(back, 777, c.backFailsAt);
    uint32_t crc = 0;
    EXPECT_EQ(SplitCrc(std::ref(front), kFront, std::ref(rest), &crc), c.whole) << c.label;
    if (c.whole) {
      EXPECT_EQ(HexText(crc), HexText(expected));
      EXPECT_EQ(front.position, kFront) << "the front read past its share";
    }
  }
}

TEST_F(FileSignatureTest, FileOf4GiBAndMoreCoversEveryByte) {
  // Head bytes, then zeros up to 4 GiB + 4 KiB; the file system stores the
  // zeros sparsely. A 32-bit size would see only the first 4 KiB.
  const std::vector<unsigned char> head = Bytes("head of a large file");
  const std::string path = Write("large.bin", head);
  constexpr uint64_t kSize = (uint64_t{1} << 32) + 4096;
  std::error_code error;
  fs::resize_file(PathOf("large.bin"), kSize, error);
  if (error) GTEST_SKIP() << "cannot make a 4 GiB file here: " << error.message();

  uint32_t expected = files::Crc32Update(0, head.data(), head.size());
  const std::vector<unsigned char> zeros(kSignatureChunkSize, 0);
  for (uint64_t left = kSize - head.size(); left > 0;) {
    const size_t piece = left < zeros.size() ? static_cast<size_t>(left) : zeros.size();
    expected = files::Crc32Update(expected, zeros.data(), piece);
    left -= piece;
  }
  std::vector<unsigned char> low(4096, 0);
  std::copy(head.begin(), head.end(), low.begin());
  ASSERT_NE(expected, files::Crc32Update(0, low.data(), low.size()));

  EXPECT_EQ(FileSignature(path), HexText(expected));
}

}  // namespace
