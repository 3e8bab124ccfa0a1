#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "files/path_text.h"

namespace {

class SafeNameTest : public testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(SafeNameTest, StaysInsideFolder) {
  EXPECT_EQ(files::IsSafeRelativeName(GetParam().first), GetParam().second) << GetParam().first;
}

// A colon is refused anywhere, not only after a drive letter: "x.dll:s"
// names a stream of x.dll. 誠 is D5 5C: its second byte is a backslash byte.
// Trailing dots are dropped from a component, so "..." may read as ".." or as
// nothing. 0x2F cannot end a GBK character, so a lead byte before "/" cannot
// hide it.
INSTANTIATE_TEST_SUITE_P(
    Names, SafeNameTest,
    testing::Values(std::make_pair("Main.exe", true), std::make_pair("data\\x.dll", true),
                    std::make_pair("a..b/.\\c..", true), std::make_pair("", false),
                    std::make_pair("C:\\x", false), std::make_pair("x:stream", false),
                    std::make_pair("ab:c", false), std::make_pair("data\\x.dll:s", false),
                    std::make_pair("\\x", false), std::make_pair("/x", false),
                    std::make_pair("a\\..\\..\\x", false), std::make_pair("a/../x", false),
                    std::make_pair("a\\..", false), std::make_pair(".. \\x", false),
                    std::make_pair("a\\...\\b", false), std::make_pair("\xD5\x5C..\\x", true),
                    std::make_pair("\xD5\x5C\\..\\x", false), std::make_pair("\x81/..\\x", false)));

}  // namespace
