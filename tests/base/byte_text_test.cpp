#include "base/byte_text.h"

#include <gtest/gtest.h>

namespace {

using base::AsciiLower;
using base::AsciiUpper;
using base::kCommandLineFirstLeadByte;
using base::kDocumentFirstLeadByte;

TEST(ByteText, ChangesOnlyAsciiLetters) {
  EXPECT_EQ(AsciiLower("C:\\Program Files\\Tool\\", kCommandLineFirstLeadByte),
            "c:\\program files\\tool\\");
  EXPECT_EQ(AsciiUpper("a1b2-cdef_z", kDocumentFirstLeadByte), "A1B2-CDEF_Z");
  EXPECT_EQ(AsciiLower("", kDocumentFirstLeadByte), "");
}

TEST(ByteText, BothEndsOfTheAlphabetAndTheirNeighbours) {
  // "@" and "[" border "A".."Z"; "`" and "{" border "a".."z".
  EXPECT_EQ(AsciiLower("@AZ[`az{", kDocumentFirstLeadByte), "@az[`az{");
  EXPECT_EQ(AsciiUpper("@AZ[`az{", kDocumentFirstLeadByte), "@AZ[`AZ{");
}

TEST(ByteText, LeavesBothBytesOfTwoByteCharacterAlone) {
  // 0x95 0x41 and 0xC4 0x5A are GBK characters whose trail bytes are 'A' and 'Z'.
  const std::string text = "\x95" "A" "b" "\xC4" "Z" "Q";
  EXPECT_EQ(AsciiLower(text, kCommandLineFirstLeadByte), "\x95" "A" "b" "\xC4" "Z" "q");
  EXPECT_EQ(AsciiUpper(text, kDocumentFirstLeadByte), "\x95" "A" "B" "\xC4" "Z" "Q");
}

TEST(ByteText, LeadByteRuleDiffersBetweenCommandLineAndDocuments) {
  // 0x80 is a lead byte on the command line but a single byte in documents.
  const std::string text = "\x80" "A";
  EXPECT_EQ(AsciiLower(text, kCommandLineFirstLeadByte), text);
  EXPECT_EQ(AsciiLower(text, kDocumentFirstLeadByte), "\x80" "a");
}

TEST(ByteText, LeadByteAtEndIsKept) {
  EXPECT_EQ(AsciiLower("AB\xB0", kDocumentFirstLeadByte), "ab\xB0");
}

}  // namespace
