#include "files/file_signature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/gbk_text.h"
#include "files/crc32.h"
#include "files/crc32_reference.h"

namespace {

namespace fs = std::filesystem;
using files::FileSignature;
using files::kSignatureChunkSize;

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
  std::mt19937 random(static_cast<uint32_t>(GetParam()));
  std::vector<unsigned char> bytes(GetParam());
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  const std::string expected =
      HexText(files_test::ReferenceCrc32Update(0, bytes.data(), bytes.size()));
  EXPECT_EQ(FileSignature(Write("data.bin", bytes)), expected);
}

INSTANTIATE_TEST_SUITE_P(FileSignature, FileSignatureSize,
                         testing::Values(size_t{1}, size_t{4095}, kSignatureChunkSize - 1,
                                         kSignatureChunkSize, kSignatureChunkSize + 1,
                                         2 * kSignatureChunkSize, 3 * kSignatureChunkSize + 17));

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
