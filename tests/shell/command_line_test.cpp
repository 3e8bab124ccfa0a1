#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using shell::InterpretArguments;
using shell::SplitCommandLine;
using Args = std::vector<std::string>;

struct SplitCase {
  const char* name;
  std::string line;
  Args expected;
};

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, GivesArguments) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().expected);
}

// Chinese bytes below are GBK: "\xC9\xFD\xBC\xB6" is a two-character word.
INSTANTIATE_TEST_SUITE_P(
    Lines, SplitCommandLineTest,
    testing::Values(
        SplitCase{"EmptyLine", "", {}},
        SplitCase{"PathOnly", "Update.exe", {}},
        SplitCase{"QuotedPathOnly", "\"C:\\Program Files\\Tool\\Update.exe\"", {}},
        SplitCase{"UnclosedQuotedPath", "\"C:\\Tool\\Update.exe a b", {}},
        SplitCase{"PlainPath", "Update.exe http://h/u.xml 1.0", {"http://h/u.xml", "1.0"}},
        SplitCase{"QuotedPathWithSpaces", "\"C:\\Program Files\\Update.exe\" http://h/u.xml 1.0",
                  {"http://h/u.xml", "1.0"}},
        SplitCase{"ArgumentRightAfterQuotedPath", "\"C:\\Update.exe\"http://h 1.0", {"http://h", "1.0"}},
        SplitCase{"RunsOfSeparators", "Update.exe  \t a\r\n\x01 b \t", {"a", "b"}},
        SplitCase{"QuotedArgumentKeepsSpaces", "Update.exe \"http://h/my dir/u.xml\" 1.0",
                  {"http://h/my dir/u.xml", "1.0"}},
        SplitCase{"EmptyQuotedArguments", "Update.exe a \"\" \"\"", {"a", "", ""}},
        SplitCase{"UnclosedQuoteRunsToEnd", "Update.exe a \"b c ", {"a", "b c "}},
        SplitCase{"QuoteEndsWord", "Update.exe abc\"def\"", {"abc", "def"}},
        SplitCase{"WordAfterQuotedPart", "Update.exe \"abc\"def", {"abc", "def"}},
        SplitCase{"NoEscapes", "Update.exe a\\\"b\\", {"a\\", "b\\"}},
        SplitCase{"ChineseWords", "Update.exe \xC9\xFD\xBC\xB6 \"\xB0\xE6 \xB1\xBE\"",
                  {"\xC9\xFD\xBC\xB6", "\xB0\xE6 \xB1\xBE"}},
        // The second byte of a two-byte character is never a separator or a quote.
        SplitCase{"LeadByteTakesSpace", "Update.exe a\xB0 b c", {"a\xB0 b", "c"}},
        SplitCase{"LeadByteTakesQuote", "Update.exe a\xB0\"b c", {"a\xB0\"b", "c"}},
        SplitCase{"LeadByteTakesQuoteInQuotes", "Update.exe \"a\xB0\"b\" c", {"a\xB0\"b", "c"}},
        SplitCase{"LeadByteStartsWord", "Update.exe \xB0\tx", {"\xB0\tx"}},
        SplitCase{"Byte80IsLeadByte", "Update.exe \x80 x y", {"\x80 x", "y"}},
        SplitCase{"LeadByteAtEnd", "Update.exe a \xB0", {"a", "\xB0"}},
        SplitCase{"LeadByteAtEndInQuotes", "Update.exe \"a\xB0", {"a\xB0"}},
        // The program path is skipped byte by byte, before any argument rule.
        SplitCase{"PathEndsAtFirstSpace", "C:\\\xB0 b.exe x", {"b.exe", "x"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(SplitCommandLine, LeadByteAtEndOfViewReadsNothingBeyond) {
  // The byte after the view is a letter: had it been read, it would show up.
  const std::string buffer = "Update.exe a\xB0Z";
  const std::string_view line(buffer.data(), buffer.size() - 1);
  EXPECT_EQ(SplitCommandLine(line), Args{"a\xB0"});
  const std::string quoted = "Update.exe \"\xB0Z";
  EXPECT_EQ(SplitCommandLine(std::string_view(quoted.data(), quoted.size() - 1)), Args{"\xB0"});
}

TEST(SplitCommandLine, NulByteSeparates) {
  const std::string line("Update.exe a\0b", 14);
  EXPECT_EQ(SplitCommandLine(line), (Args{"a", "b"}));
}

class WrongArgumentCountTest : public testing::TestWithParam<size_t> {};

TEST_P(WrongArgumentCountTest, IsRejected) {
  EXPECT_FALSE(InterpretArguments(Args(GetParam(), "TestMod")).has_value());
}

INSTANTIATE_TEST_SUITE_P(Counts, WrongArgumentCountTest, testing::Values(0, 1, 3, 5, 6));

TEST(InterpretArguments, TwoArgumentsGiveOrdinaryRun) {
  const auto started = InterpretArguments({"http://h/update.xml", "1.0.2"});
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->configAddress, "http://h/update.xml");
  EXPECT_EQ(started->localVersion, "1.0.2");
  EXPECT_FALSE(started->testMode);
  EXPECT_EQ(started->targetVersion, "");
}

TEST(InterpretArguments, TestModWordAsSecondArgumentIsJustAVersion) {
  const auto started = InterpretArguments({"http://h/u.xml", "TestMod"});
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->localVersion, "TestMod");
  EXPECT_FALSE(started->testMode);
}

struct FourthWordCase {
  const char* name;
  std::string line;  // whole command line
  bool testMode;
  std::string targetVersion;
};

class FourthWordTest : public testing::TestWithParam<FourthWordCase> {};

TEST_P(FourthWordTest, DecidesTestMode) {
  const auto started = InterpretArguments(SplitCommandLine(GetParam().line));
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->configAddress, "http://h/u.xml");
  EXPECT_EQ(started->localVersion, "1.0");
  EXPECT_EQ(started->testMode, GetParam().testMode);
  EXPECT_EQ(started->targetVersion, GetParam().targetVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Words, FourthWordTest,
    testing::Values(
        FourthWordCase{"Exact", "Update.exe http://h/u.xml 1.0 2.0 TestMod", true, "2.0"},
        FourthWordCase{"Quoted", "Update.exe http://h/u.xml 1.0 2.0 \"TestMod\"", true, "2.0"},
        FourthWordCase{"TrailingTab", "Update.exe http://h/u.xml 1.0 2.0 TestMod\t", true, "2.0"},
        FourthWordCase{"EmptyTarget", "Update.exe http://h/u.xml 1.0 \"\" TestMod", true, ""},
        FourthWordCase{"LowerCase", "Update.exe http://h/u.xml 1.0 2.0 testmod", false, ""},
        FourthWordCase{"UpperCase", "Update.exe http://h/u.xml 1.0 2.0 TESTMOD", false, ""},
        FourthWordCase{"QuotedTrailingSpace", "Update.exe http://h/u.xml 1.0 2.0 \"TestMod \"",
                       false, ""},
        FourthWordCase{"Longer", "Update.exe http://h/u.xml 1.0 2.0 TestMode", false, ""},
        FourthWordCase{"Shorter", "Update.exe http://h/u.xml 1.0 2.0 TestMo", false, ""},
        FourthWordCase{"Other", "Update.exe http://h/u.xml 1.0 2.0 Debug", false, ""}),
    [](const testing::TestParamInfo<FourthWordCase>& info) { return std::string(info.param.name); });

}  // namespace
