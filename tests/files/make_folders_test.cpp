#include <gtest/gtest.h>

#include <string>

#include "support/memory_file_system.h"

namespace {

struct WalkCase {
  const char* name;
  const char* existing;  // a folder that exists, ending in "\"
  const char* folder;    // the folder to make
  const char* created;   // the folders the walk creates, each on a line
};

class MakeFoldersTest : public testing::TestWithParam<WalkCase> {};

// The server, the share, the "\\?\" prefix and the drive are never created;
// everything below them that is missing is, from the top down.
TEST_P(MakeFoldersTest, CreatesOnlyWhatIsMissingBelowTheRoot) {
  testing_support::MemoryFileSystem fs;
  if (*GetParam().existing) fs.folders.insert(GetParam().existing);
  // Nothing above the given folder exists, as seen from a client of a share.
  EXPECT_TRUE(fs.MakeFolders(GetParam().folder));
  EXPECT_EQ(fs.log, GetParam().created);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MakeFoldersTest,
    testing::Values(
        WalkCase{"Unc", "\\\\srv\\share\\App\\", "\\\\srv\\share\\App\\update\\x\\",
                 "mkdir \\\\srv\\share\\App\\update\\\nmkdir \\\\srv\\share\\App\\update\\x\\\n"},
        WalkCase{"UncShareOnly", "", "\\\\srv\\share\\new\\", "mkdir \\\\srv\\share\\new\\\n"},
        WalkCase{"LongDrive", "", "\\\\?\\C:\\App\\update\\", "mkdir \\\\?\\C:\\App\\\nmkdir \\\\?\\C:\\App\\update\\\n"},
        WalkCase{"LongUnc", "", "\\\\?\\UNC\\srv\\share\\App\\", "mkdir \\\\?\\UNC\\srv\\share\\App\\\n"},
        WalkCase{"Device", "", "\\\\.\\C:\\App\\", "mkdir \\\\.\\C:\\App\\\n"},
        WalkCase{"Drive", "C:\\App\\", "C:\\App\\a\\b\\", "mkdir C:\\App\\a\\\nmkdir C:\\App\\a\\b\\\n"},
        WalkCase{"Rooted", "", "\\App\\a\\", "mkdir \\App\\\nmkdir \\App\\a\\\n"},
        WalkCase{"Relative", "", "App\\a\\", "mkdir App\\\nmkdir App\\a\\\n"},
        // 誠 is D5 5C: its trail byte is no separator.
        WalkCase{"TrailByteBackslash", "C:\\App\\", "C:\\App\\\xD5\x5C\\x\\",
                 "mkdir C:\\App\\\xD5\x5C\\\nmkdir C:\\App\\\xD5\x5C\\x\\\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MakeFolders, FolderMadeByAnotherProcessMeanwhileIsNoFailure) {
  testing_support::MemoryFileSystem fs;
  fs.failCreateFolder = {"C:\\App\\a", "C:\\App\\b"};
  fs.madeByOthers = {"C:\\App\\a"};
  EXPECT_TRUE(fs.MakeFolders("C:\\App\\a\\x\\"));
  EXPECT_EQ(fs.log, "mkdir C:\\App\\\nmkdir C:\\App\\a\\x\\\n");
  EXPECT_FALSE(fs.MakeFolders("C:\\App\\b\\x\\"));
}

}  // namespace
