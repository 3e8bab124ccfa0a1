// Files seen as memory through the system's adapter (mmap natively, file
// mappings under Wine): what is written through a view is the file once it
// is unmapped, and nothing stays held.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "base/gbk_text.h"
#include "files/file_mapping.h"

namespace {

namespace fs = std::filesystem;

class FileMappingTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / (std::string("file_mapping_") +
                                           testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    ASSERT_TRUE(fs::create_directories(folder_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string PathOf(const std::string& name) const { return base::GbkFromUtf8((folder_ / name).u8string()); }
  std::string Contents(const std::string& name) const {
    std::ifstream in(folder_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path folder_;
};

TEST_F(FileMappingTest, WrittenThroughTheViewIsTheFileAndItIsLetGo) {
  constexpr uint64_t kSize = (uint64_t{3} << 20) + 5;  // pages and a part
  std::unique_ptr<files::MappedFile> made = files::CreateMappedFile(PathOf("out.d"), kSize);
  ASSERT_TRUE(made);
  ASSERT_EQ(made->Size(), kSize);
  EXPECT_EQ(made->Data()[kSize / 2], '\0');
  for (uint64_t i = 0; i < kSize; i += 4093) made->Data()[i] = static_cast<char>('a' + i % 26);
  made->Data()[kSize - 1] = 'z';
  made.reset();

  const std::string written = Contents("out.d");
  ASSERT_EQ(written.size(), kSize);
  EXPECT_EQ(written[4093 * 7], static_cast<char>('a' + 4093 * 7 % 26));
  EXPECT_EQ(written.back(), 'z');
  std::unique_ptr<files::MappedFile> read = files::MapFileForReading(PathOf("out.d"));
  ASSERT_TRUE(read);
  EXPECT_EQ(std::string(read->Data(), read->Size()), written);
  read.reset();
  // Held by nothing once unmapped: it can be moved away and removed.
  std::error_code error;
  fs::rename(folder_ / "out.d", folder_ / "moved", error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_TRUE(fs::remove(folder_ / "moved", error)) << error.message();
}

TEST_F(FileMappingTest, EmptyFilesNeedNoViewAndFailuresAreNull) {
  const std::unique_ptr<files::MappedFile> made = files::CreateMappedFile(PathOf("empty"), 0);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Size(), 0u);
  EXPECT_EQ(made->Data(), nullptr);
  EXPECT_TRUE(fs::exists(folder_ / "empty"));
  const std::unique_ptr<files::MappedFile> read = files::MapFileForReading(PathOf("empty"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Size(), 0u);

  EXPECT_FALSE(files::MapFileForReading(PathOf("absent")));
  ASSERT_TRUE(fs::create_directory(folder_ / "folder"));
  EXPECT_FALSE(files::MapFileForReading(PathOf("folder")));
  EXPECT_FALSE(files::CreateMappedFile(PathOf("absent/out.d"), 10));
}

// Regions begin anywhere, not only where the system's views may (64 KiB
// steps on Windows, pages here), and end where the file does.
TEST_F(FileMappingTest, RegionsAtAnyOffsetReadAndWriteTheirOwnBytes) {
  constexpr uint64_t kSize = (uint64_t{1} << 20) + 70001;
  std::unique_ptr<files::MappableFile> made = files::CreateMappableFile(PathOf("out.d"), kSize);
  ASSERT_TRUE(made);
  ASSERT_EQ(made->Size(), kSize);
  for (const uint64_t offset : {uint64_t{0}, uint64_t{65535}, uint64_t{65536 * 3 + 17}, kSize - 10}) {
    std::unique_ptr<files::MappedFile> region = made->MapRegion(offset, 100);
    ASSERT_TRUE(region) << offset;
    ASSERT_EQ(region->Size(), std::min<uint64_t>(100, kSize - offset));
    for (uint64_t i = 0; i < region->Size(); ++i) region->Data()[i] = static_cast<char>('a' + (offset + i) % 26);
  }
  EXPECT_FALSE(made->MapRegion(kSize + 1, 1));
  const std::unique_ptr<files::MappedFile> none = made->MapRegion(kSize, 5);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Size(), 0u);
  made.reset();

  std::unique_ptr<files::MappableFile> read = files::OpenMappableFile(PathOf("out.d"));
  ASSERT_TRUE(read);
  const std::unique_ptr<files::MappedFile> region = read->MapRegion(65536 * 3, 40);
  read.reset();  // the view outlives the file it came from
  ASSERT_TRUE(region);
  std::string expected(17, '\0');
  for (uint64_t i = 17; i < 40; ++i) expected += static_cast<char>('a' + (65536 * 3 + i) % 26);
  EXPECT_EQ(std::string(region->Data(), 40), expected);
  const std::string written = Contents("out.d");
  ASSERT_EQ(written.size(), kSize);
  for (uint64_t at : {uint64_t{65535}, uint64_t{65536}, uint64_t{65537}})
    EXPECT_EQ(written[at], static_cast<char>('a' + at % 26)) << at;
  EXPECT_EQ(written.back(), static_cast<char>('a' + (kSize - 1) % 26));
  EXPECT_FALSE(files::OpenMappableFile(PathOf("absent")));
}

}  // namespace
