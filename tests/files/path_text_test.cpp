#include "files/path_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using files::FolderOf;
using files::SameFolder;
using files::WithBackslash;

struct TextCase {
  const char* name;
  std::string input;
  std::string expected;
};

std::string CaseName(const testing::TestParamInfo<TextCase>& info) { return info.param.name; }

class FolderOfTest : public testing::TestWithParam<TextCase> {};

TEST_P(FolderOfTest, GivesFolder) { EXPECT_EQ(FolderOf(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Paths, FolderOfTest,
    testing::Values(
        TextCase{"File", "C:\\Tool\\Main.exe", "C:\\Tool\\"},
        TextCase{"FileInRoot", "C:\\Main.exe", "C:\\"},
        TextCase{"FolderGivesParent", "C:\\Tool\\Sub\\", "C:\\Tool\\"},
        TextCase{"OnlyOneTrailingBackslashDropped", "C:\\Tool\\\\", "C:\\Tool\\"},
        TextCase{"Root", "C:\\", ""},
        TextCase{"NoBackslash", "Main.exe", ""},
        TextCase{"Empty", "", ""},
        TextCase{"LoneBackslash", "\\", ""},
        TextCase{"TwoBackslashes", "\\\\", "\\"},
        TextCase{"UnreadableParent", std::string(4096, ' '), ""},
        TextCase{"ChineseFolder", "D:\\\xC9\xFD\xBC\xB6\\Main.exe", "D:\\\xC9\xFD\xBC\xB6\\"},
        // Plain byte search: a trail byte of 0x5C counts as a backslash.
        TextCase{"TrailByteIsBackslash", "C:\\\x81\\.exe", "C:\\\x81\\"}),
    CaseName);

class WithBackslashTest : public testing::TestWithParam<TextCase> {};

TEST_P(WithBackslashTest, AppendsOnce) {
  EXPECT_EQ(WithBackslash(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WithBackslashTest,
    testing::Values(TextCase{"EmptyStaysEmpty", "", ""},
                    TextCase{"Drive", "C:", "C:\\"},
                    TextCase{"Folder", "C:\\Tool", "C:\\Tool\\"},
                    TextCase{"AlreadyEnds", "C:\\Tool\\", "C:\\Tool\\"},
                    TextCase{"LoneBackslash", "\\", "\\"}),
    CaseName);

struct SameFolderCase {
  const char* name;
  std::string programFolder;
  std::string parentPath;
  bool same;
};

class SameFolderTest : public testing::TestWithParam<SameFolderCase> {};

TEST_P(SameFolderTest, ComparesFolders) {
  EXPECT_EQ(SameFolder(GetParam().programFolder, GetParam().parentPath), GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, SameFolderTest,
    testing::Values(
        SameFolderCase{"Identical", "C:\\Tool\\", "C:\\Tool\\Main.exe", true},
        SameFolderCase{"AsciiCaseDiffers", "C:\\Program Files\\Tool\\",
                       "c:\\PROGRAM FILES\\tool\\MAIN.EXE", true},
        SameFolderCase{"ParentPathEndsInBackslash", "C:\\Tool\\", "C:\\Tool\\Main.exe\\", true},
        SameFolderCase{"DriveRoot", "C:\\", "c:\\Main.exe", true},
        SameFolderCase{"LastLetterOfTheAlphabet", "C:\\Zip\\", "c:\\ZIP\\Main.exe", true},
        SameFolderCase{"LastLetterInEitherCase", "C:\\zip\\", "c:\\ZIP\\Main.exe", true},
        SameFolderCase{"ChineseFolder", "D:\\\xC9\xFD\xBC\xB6\\", "d:\\\xC9\xFD\xBC\xB6\\Main.exe",
                       true},
        SameFolderCase{"OtherFolder", "C:\\Tool\\", "C:\\Windows\\explorer.exe", false},
        SameFolderCase{"SubFolder", "C:\\Tool\\", "C:\\Tool\\Bin\\Main.exe", false},
        SameFolderCase{"ParentFolder", "C:\\Tool\\Bin\\", "C:\\Tool\\Main.exe", false},
        SameFolderCase{"NameIsPrefix", "C:\\Tool\\", "C:\\Tools\\Main.exe", false},
        SameFolderCase{"UnreadableParent", "C:\\Tool\\", std::string(4096, ' '), false},
        // Trail bytes that look like letters are never lower-cased, and 0x80
        // counts as a lead byte here.
        SameFolderCase{"TrailByteCaseMatters", "C:\\\xC4" "A\\", "c:\\\xC4" "a\\Main.exe", false},
        SameFolderCase{"TrailByteSame", "C:\\\xC4" "A\\", "c:\\\xC4" "A\\MAIN.EXE", true},
        SameFolderCase{"Byte80TakesTrail", "C:\\\x80" "A\\", "C:\\\x80" "a\\Main.exe", false}),
    [](const testing::TestParamInfo<SameFolderCase>& info) { return std::string(info.param.name); });

}  // namespace
