// The file-system adapter where the installation lies deeper than MAX_PATH
// (260) and the folder limit (248) allow.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/wide_text_win.h"
#include "files/file_system_win.h"
#include "files/system_path_win.h"

namespace {

// Characters of the program folder's path.
constexpr size_t kDepth = 300;

class LongPathFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = base::GbkFromWide(temp) + "long-path-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount()) + "\\";
    // GBK names: 程序 目录.
    folder_ = root_;
    while (base::WideFromGbk(folder_).size() < kDepth) folder_ += "\xB3\xCC\xD0\xF2 \xC4\xBF\xC2\xBC-level\\";
  }
  void TearDown() override {
    fs_.RemoveTree(root_);
    EXPECT_FALSE(fs_.Exists(root_));
  }

  files::WindowsFileSystem fs_;
  std::string root_;
  std::string folder_;
};

TEST_F(LongPathFileSystemTest, StagesAndPlacesAFileBeyondMaxPath) {
  const std::string staging = folder_ + "update\\plugins\\";
  const std::string staged = staging + "plugin.dll";
  const std::string target = folder_ + "plugins\\plugin.dll";
  ASSERT_GT(base::WideFromGbk(staged).size(), 300u);
  ASSERT_TRUE(fs_.MakeFolders(staging));
  ASSERT_TRUE(fs_.MakeFolders(folder_ + "plugins\\"));

  std::unique_ptr<files::WritableFile> file = fs_.CreateForWriting(staged);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Write("123456789", 9));
  file->Close();
  std::unique_ptr<files::WritableFile> more = fs_.OpenForAppend(staged, false);
  ASSERT_NE(more, nullptr);
  ASSERT_TRUE(more->Write("0", 1));
  more->Close();

  EXPECT_TRUE(fs_.Exists(staged));
  EXPECT_FALSE(fs_.IsLink(staging));
  // CRC-32 of "1234567890".
  EXPECT_EQ(fs_.Signature(staged), "261DAEE5");
  std::string bytes;
  EXPECT_TRUE(fs_.ReadWhole(staged, 100, bytes));
  EXPECT_EQ(bytes, "1234567890");
  EXPECT_EQ(fs_.Flush(staged), files::FileOutcome::kDone);
  EXPECT_EQ(fs_.TestWritable(staged), files::FileOutcome::kDone);
  ASSERT_TRUE(fs_.MoveOnto(staged, target));
  EXPECT_FALSE(fs_.Exists(staged));
  EXPECT_EQ(fs_.Digest(target).Signature, "261DAEE5");

  fs_.RemoveTree(folder_ + "update\\");
  EXPECT_FALSE(fs_.Exists(folder_ + "update\\"));
  EXPECT_TRUE(fs_.RemoveFile(target));
  EXPECT_FALSE(fs_.Exists(target));
}

// The one conversion every path of the adapter takes.
TEST(SystemPath, ConvertsGbkAndMakesTheLongForm) {
  EXPECT_EQ(files::SystemPath("C:\\\xB3\xCC\xD0\xF2\\a.dll"), L"\\\\?\\C:\\\x7a0b\x5e8f\\a.dll");
  EXPECT_EQ(files::SystemPath("\\\\server\\share\\a"), L"\\\\?\\UNC\\server\\share\\a");
  EXPECT_EQ(files::SystemPath("relative\\a"), L"relative\\a");
}

}  // namespace
