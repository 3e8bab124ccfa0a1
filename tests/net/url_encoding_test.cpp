#include "net/url_encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

namespace {

using net::EncodeLocalScheme;
using net::EncodeUrl;
using net::EncodeUtf8Scheme;
using net::FileUrl;

// GBK bytes of a two-character Chinese file name and the UTF-8 bytes of the
// same two characters.
const std::string kChineseGbk = "\xC9\xFD\xBC\xB6";
const std::string kChineseUtf8Escaped = "%E5%8D%87%E7%BA%A7";

TEST(FileUrl, JoinsVersionAndNameAndTurnsBackslashes) {
  EXPECT_EQ(FileUrl("http://h/app/", "2.0", "bin\\my tool.dll"), "http://h/app/2.0/bin/my tool.dll");
  EXPECT_EQ(FileUrl("http://h/app", "2.0", "a.exe"), "http://h/app2.0/a.exe");
  EXPECT_EQ(FileUrl("http:\\\\h\\", "v\\1", "a\\\\b"), "http://h/v/1/a//b");
}

TEST(FileUrl, KeepsABackslashThatIsTheSecondHalfOfACharacter) {
  // 0x81 0x5C is one GBK character; the 0x5C after it is a folder separator.
  EXPECT_EQ(FileUrl("http://h/", "2.0", "\x81\\\\a.txt"), "http://h/2.0/\x81\\/a.txt");
  EXPECT_EQ(net::EncodeLocalScheme(FileUrl("http://h/", "2", "\x81\\b")), "http://h/2/%81%5Cb");
}

TEST(FileUrl, Byte80IsNoLeadByteInAFileListName) {
  // Names come from a document, where two-byte characters start at 0x81.
  EXPECT_EQ(FileUrl("http://h/", "2", "a\x80\\b"), "http://h/2/a\x80/b");
}

struct SchemeCase {
  const char* name;
  std::string gbkText;
  std::string utf8Scheme;
  std::string localScheme;
};

class SchemeTest : public testing::TestWithParam<SchemeCase> {};

TEST_P(SchemeTest, Utf8Scheme) {
  EXPECT_EQ(EncodeUtf8Scheme(GetParam().gbkText), GetParam().utf8Scheme);
  EXPECT_EQ(EncodeUrl(GetParam().gbkText, true), GetParam().utf8Scheme);
}

TEST_P(SchemeTest, LocalScheme) {
  EXPECT_EQ(EncodeLocalScheme(GetParam().gbkText), GetParam().localScheme);
  EXPECT_EQ(EncodeUrl(GetParam().gbkText, false), GetParam().localScheme);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, SchemeTest,
    testing::Values(
        SchemeCase{"Empty", "", "", ""},
        SchemeCase{"PlainUrl", "http://user@h:8080/App_1/2.0/a-b,c*.exe",
                   "http://user@h:8080/App_1/2.0/a-b,c*.exe",
                   "http://user@h:8080/App_1/2.0/a-b,c*.exe"},
        SchemeCase{"SubFolderAndSpace", FileUrl("http://h/", "2.0", "bin\\my tool.dll"),
                   "http://h/2.0/bin/my%20tool.dll", "http://h/2.0/bin/my%20tool.dll"},
        SchemeCase{"ChineseName", FileUrl("http://h/", "2.0", kChineseGbk + ".txt"),
                   "http://h/2.0/" + kChineseUtf8Escaped + ".txt",
                   "http://h/2.0/%C9%FD%BC%B6.txt"},
        SchemeCase{"QueryInServerAddress", "http://h/get.php?v=2.0/a.txt",
                   "http://h/get.php?v=2.0/a.txt", "http://h/get.php%3Fv%3D2.0/a.txt"},
        SchemeCase{"SignsKeptOnlyByUtf8Scheme", "a%b#c+d&e~f;g",
                   "a%b#c+d&e~f;g", "a%25b%23c%2Bd%26e%7Ef%3Bg"},
        SchemeCase{"ControlBytes", std::string("a\tb\x01", 4) + std::string(1, '\0'),
                   std::string("a\tb\x01", 4) + std::string(1, '\0'), "a%09b%01%00"}),
    [](const testing::TestParamInfo<SchemeCase>& info) { return std::string(info.param.name); });

TEST(EncodeLocalScheme, KeepsOnlyItsSetAndEscapesEveryOtherByte) {
  const std::string kept =
      "*,-./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
  for (int value = 0; value < 256; ++value) {
    const std::string byte(1, static_cast<char>(value));
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", value);
    const std::string expected = kept.find(byte) != std::string::npos ? byte : escaped;
    EXPECT_EQ(EncodeLocalScheme(byte), expected) << "byte " << value;
  }
}

TEST(EncodeUtf8Scheme, EscapesEveryUtf8ByteOfChineseText) {
  // Mixed GBK: a two-byte punctuation mark and a two-character word.
  EXPECT_EQ(EncodeUtf8Scheme("x\xA1\xA2" + kChineseGbk), "x%E3%80%81" + kChineseUtf8Escaped);
}

class MalformedGbkTest : public testing::TestWithParam<std::pair<std::string, std::string>> {};

// A name that is not valid GBK is never dropped or half converted: its own
// bytes are escaped, so the request still names what the list named.
TEST_P(MalformedGbkTest, EscapesOwnBytes) {
  const std::string url = "http://h/2.0/" + GetParam().first;
  const std::string encoded = EncodeUtf8Scheme(url);
  EXPECT_EQ(encoded, "http://h/2.0/" + GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MalformedGbkTest,
    testing::Values(std::make_pair(std::string("a\x81"), std::string("a%81")),
                    std::make_pair(std::string("\x81 b.txt"), std::string("%81%20b.txt")),
                    std::make_pair(kChineseGbk + "\xB0", std::string("%C9%FD%BC%B6%B0"))));

struct AddressCase {
  const char* name;
  std::string address;
  bool web;
};

std::ostream& operator<<(std::ostream& out, const AddressCase& c) { return out << c.name; }

class WebAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(WebAddressTest, OnlyHttpAndHttpsOpen) {
  EXPECT_EQ(net::IsWebAddress(GetParam().address), GetParam().web);
}

INSTANTIATE_TEST_SUITE_P(
    Links, WebAddressTest,
    testing::Values(AddressCase{"Http", "http://example.com/", true},
                    AddressCase{"Https", "https://example.com/a?b=c", true},
                    AddressCase{"AnyLetterCase", "HtTpS://Example.com", true},
                    AddressCase{"ChineseAfterTheScheme", "http://h/\xC9\xFD\xBC\xB6", true},
                    AddressCase{"LocalProgram", "C:\\Windows\\System32\\cmd.exe", false},
                    AddressCase{"BareProgramName", "calc", false},
                    AddressCase{"UncPath", "\\\\server\\share\\tool.exe", false},
                    AddressCase{"FileScheme", "file:///C:/Windows/System32/cmd.exe", false},
                    AddressCase{"OtherScheme", "ftp://example.com/", false},
                    AddressCase{"SchemeWithoutSlashes", "http:calc.exe", false},
                    AddressCase{"SchemeWithBackslashes", "http:\\\\server\\share", false},
                    AddressCase{"SchemeAlone", "https://", false},
                    AddressCase{"LeadingSpace", " http://example.com/", false},
                    AddressCase{"SchemeAsPrefixOfAnother", "httpx://example.com/", false},
                    AddressCase{"Empty", "", false}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

}  // namespace
