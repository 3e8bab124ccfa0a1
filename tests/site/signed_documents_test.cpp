#include "site/signed_documents.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "site/file_list.h"
#include "site/listed_hashes.h"
#include "site/public_key.h"
#include "site/update_config.h"
#include "support/crc_patch.h"
#include "support/sha256_reference.h"
#include "xml/xml_document.h"

namespace {

using engine::ConfigExpired;
using engine::ListBelongsTo;
using engine::ReadExpires;
using engine::ReadListIdentity;

xml::XmlDocument Load(const std::string& text) {
  xml::XmlDocument document;
  EXPECT_TRUE(document.LoadFromBytes(text)) << text;
  return document;
}

std::string Config(const std::string& rootAttributes) {
  return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n<Update" + rootAttributes +
         "><Setting><SoftName>演示程序</SoftName><Version>1.1</Version></Setting></Update>\r\n";
}

// ---------------------------------------------------------------------------
// Expires

struct ExpiresCase {
  const char* name;
  const char* attributes;
  std::optional<int64_t> expected;
};
void PrintTo(const ExpiresCase& c, std::ostream* out) { *out << c.name; }

class ExpiresTest : public testing::TestWithParam<ExpiresCase> {};

TEST_P(ExpiresTest, ReadsOnlyPlainDecimalSecondsOnTheRoot) {
  EXPECT_EQ(ReadExpires(Load(Config(GetParam().attributes))), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ExpiresTest,
    testing::Values(ExpiresCase{"Plain", " Expires=\"1799999999\"", 1799999999},
                    ExpiresCase{"Zero", " Expires=\"0\"", 0},
                    ExpiresCase{"LeadingZeros", " Expires=\"0001799999999\"", 1799999999},
                    ExpiresCase{"Largest", " Expires=\"9223372036854775807\"", INT64_MAX},
                    ExpiresCase{"Overflow", " Expires=\"9223372036854775808\"", std::nullopt},
                    ExpiresCase{"Missing", "", std::nullopt},
                    ExpiresCase{"Empty", " Expires=\"\"", std::nullopt},
                    ExpiresCase{"Negative", " Expires=\"-1\"", std::nullopt},
                    ExpiresCase{"Plus", " Expires=\"+1799999999\"", std::nullopt},
                    ExpiresCase{"Space", " Expires=\" 1799999999\"", std::nullopt},
                    ExpiresCase{"Trailing", " Expires=\"1799999999s\"", std::nullopt},
                    ExpiresCase{"Hex", " Expires=\"0x6B49D1FF\"", std::nullopt},
                    ExpiresCase{"Fraction", " Expires=\"1799999999.5\"", std::nullopt},
                    ExpiresCase{"OtherName", " expires=\"1799999999\"", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExpiresTest, OnlyTheConfigurationRootCarriesIt) {
  EXPECT_EQ(ReadExpires(Load("<Files Expires=\"1799999999\"/>")), std::nullopt);
  EXPECT_EQ(ReadExpires(Load("<Update><Setting Expires=\"1799999999\"/></Update>")), std::nullopt);
}

TEST(ExpiresTest, RefusedAfterItsSecondAndWithoutOne) {
  EXPECT_FALSE(ConfigExpired(1800000000, 1799999999));
  EXPECT_FALSE(ConfigExpired(1800000000, 1800000000));  // "after", not "at"
  EXPECT_TRUE(ConfigExpired(1800000000, 1800000001));
  EXPECT_TRUE(ConfigExpired(0, 1700000000));
  EXPECT_TRUE(ConfigExpired(std::nullopt, 0));
}

// ---------------------------------------------------------------------------
// The file list's identity

struct IdentityCase {
  const char* name;
  const char* list;
  bool belongs;
};
void PrintTo(const IdentityCase& c, std::ostream* out) { *out << c.name; }

class ListIdentityTest : public testing::TestWithParam<IdentityCase> {};

TEST_P(ListIdentityTest, BelongsOnlyToTheSameVersionAndApplication) {
  engine::UpdateConfig config;
  engine::ParseConfig(Load(Config(" Expires=\"1799999999\"")), config);
  ASSERT_EQ(config.Version, "1.1");
  EXPECT_EQ(ListBelongsTo(ReadListIdentity(Load(GetParam().list)), config), GetParam().belongs);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListIdentityTest,
    testing::Values(
        IdentityCase{"Same", "<Files Version=\"1.1\" SoftName=\"演示程序\"><File Name=\"a\" Hash=\"1\"/></Files>",
                     true},
        IdentityCase{"Entities", "<Files SoftName=\"演示程序\" Version=\"1.1\"/>", true},
        IdentityCase{"OtherVersion", "<Files Version=\"1.0\" SoftName=\"演示程序\"/>", false},
        IdentityCase{"VersionPrefix", "<Files Version=\"1.1.0\" SoftName=\"演示程序\"/>", false},
        IdentityCase{"OtherApplication", "<Files Version=\"1.1\" SoftName=\"演示程序2\"/>", false},
        IdentityCase{"NoVersion", "<Files SoftName=\"演示程序\"/>", false},
        IdentityCase{"NoSoftName", "<Files Version=\"1.1\"/>", false},
        IdentityCase{"Unsigned", "<Files><File Name=\"a\" Hash=\"1\"/></Files>", false},
        IdentityCase{"OtherRoot", "<Update Version=\"1.1\" SoftName=\"演示程序\"/>", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListIdentityTest, EmptyTextsNeverMatchAnEmptyConfiguration) {
  engine::UpdateConfig config;
  EXPECT_FALSE(ListBelongsTo(ReadListIdentity(Load("<Files Version=\"\" SoftName=\"\"/>")), config));
  config.SoftName = "x";  // the same application, neither with a version
  EXPECT_FALSE(ListBelongsTo(ReadListIdentity(Load("<Files SoftName=\"x\"/>")), config));
  config = {};
  config.Version = "1.1";  // the same version, neither naming the application
  EXPECT_FALSE(ListBelongsTo(ReadListIdentity(Load("<Files Version=\"1.1\"/>")), config));
}

// ---------------------------------------------------------------------------
// The installed version as a floor

// The configuration's Version is 1.1; in test mode the forced target stands
// in its place, and that is the version the floor weighs.
TEST(InstalledVersionFloorTest, WeighsTheVersionTheUpdateWouldInstall) {
  const auto parsed = [](const char* local, const char* forced) {
    engine::UpdateConfig config;
    config.LocalVersion = local;
    if (forced) {
      config.TestMode = true;
      config.Version = forced;
    }
    engine::ParseConfig(Load(Config(" Expires=\"1799999999\"")), config);
    return config;
  };
  EXPECT_TRUE(engine::BelowInstalledVersion(parsed("1.10", nullptr)));
  EXPECT_FALSE(engine::BelowInstalledVersion(parsed("1.1.0", nullptr)));
  EXPECT_FALSE(engine::BelowInstalledVersion(parsed("1.0", nullptr)));
  EXPECT_FALSE(engine::BelowInstalledVersion(parsed("1.2-beta", nullptr)));  // not ordered: as before
  EXPECT_TRUE(engine::BelowInstalledVersion(parsed("1.0", "0.9")));
  EXPECT_FALSE(engine::BelowInstalledVersion(parsed("1.5", "2.0")));
}

// ---------------------------------------------------------------------------
// Signature form and public key

TEST(SignatureFormTest, OnlyExactlySixtyFourBytes) {
  EXPECT_TRUE(engine::IsSignatureForm(std::string(64, '\0')));
  for (const size_t size : {0, 1, 63, 65, 70, 71, 72, 128}) {
    EXPECT_FALSE(engine::IsSignatureForm(std::string(size, '\x30'))) << size;
  }
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The DER inside the committed test key's PEM.
std::string TestKeyDer() {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/keys/test.pub");
  std::string line, base64;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("-----", 0) != 0) base64 += line;
  }
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string der;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : base64) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<uint32_t>(kAlphabet.find(c));
    if ((count += 6) >= 8) der += static_cast<char>(bits >> (count -= 8));
  }
  return der;
}

TEST(PublicKeyTest, PointOfTheTestKey) {
  const std::string der = TestKeyDer();
  ASSERT_EQ(der.size(), 91u) << "tests/data/keys/test.pub";
  const std::optional<engine::EcPoint> point = engine::PointFromSpki(der);
  ASSERT_TRUE(point.has_value());
  EXPECT_EQ(std::string(point->begin(), point->end()), der.substr(27));
}

TEST(PublicKeyTest, RefusesEveryOtherShape) {
  const std::string der = TestKeyDer();
  ASSERT_EQ(der.size(), 91u);
  EXPECT_FALSE(engine::PointFromSpki(""));
  EXPECT_FALSE(engine::PointFromSpki(der.substr(0, 90)));
  EXPECT_FALSE(engine::PointFromSpki(der + '\0'));
  std::string hybrid = der;
  hybrid[26] = '\x06';  // a point that is not uncompressed
  EXPECT_FALSE(engine::PointFromSpki(hybrid));
  for (size_t at = 0; at < 26; ++at) {
    std::string changed = der;
    changed[at] ^= 0x01;
    EXPECT_FALSE(engine::PointFromSpki(changed)) << "prefix byte " << at;
  }
  // The same key compressed, and a P-384 key, as openssl writes them.
  EXPECT_FALSE(engine::PointFromSpki(FromHex(
      "3039301306072a8648ce3d020106082a8648ce3d03010703220002ef0a1b6673581d8eb2f91d26d8dd1e5c3dc431a697a36f8"
      "2eb32a0c9a3989fd5")));
  EXPECT_FALSE(engine::PointFromSpki(FromHex("3076301006072a8648ce3d020106052b8104002203620004") +
                                     std::string(96, '\x11')));
}

// ---------------------------------------------------------------------------
// SHA-256 of the signed list

TEST(Sha256MatchTest, SixtyFourHexDigitsLetterCaseAside) {
  const std::string local = testing_support::Sha256HexOf("content");
  std::string upper = local;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(engine::Sha256Matches(local, local));
  EXPECT_TRUE(engine::Sha256Matches(local, upper));
  EXPECT_FALSE(engine::Sha256Matches(local, testing_support::Sha256HexOf("content ")));
  EXPECT_FALSE(engine::Sha256Matches(local, local.substr(1)));
  EXPECT_FALSE(engine::Sha256Matches(local, local + "0"));
  EXPECT_FALSE(engine::Sha256Matches("", ""));
  const std::string notHex(64, 'g');
  EXPECT_FALSE(engine::Sha256Matches(notHex, notHex));
}

TEST(Sha256MatchTest, StagedFileNeedsBothHashes) {
  const std::string wanted = "genuine";
  const std::string forged = wanted + testing_support::CrcRestoringSuffix(wanted);
  char crc[9];
  std::snprintf(crc, sizeof crc, "%X", static_cast<unsigned>(files::Crc32Update(0, wanted.data(), wanted.size())));
  const engine::FileEntry entry{"a.dll", crc, testing_support::Sha256HexOf(wanted)};
  EXPECT_TRUE(engine::DigestMatches({crc, testing_support::Sha256HexOf(wanted)}, entry));
  EXPECT_FALSE(engine::DigestMatches({crc, testing_support::Sha256HexOf(forged)}, entry));
  EXPECT_FALSE(engine::DigestMatches({"0", testing_support::Sha256HexOf(wanted)}, entry));
  EXPECT_FALSE(engine::DigestMatches({"", ""}, entry));
}

TEST(SignedFileListTest, EachFileCarriesItsSha256) {
  const std::string sha = testing_support::Sha256HexOf("a");
  const std::vector<engine::FileEntry> entries = engine::ReadServerFileList(
      Load("<Files Version=\"1.1\" SoftName=\"x\"><File Name=\"a\\b.dll\" Hash=\"1A2B3C\" Sha256=\"" + sha +
           "\"/><File Name=\"old.txt\" Hash=\"5\"/></Files>"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Sha256, sha);
  EXPECT_EQ(entries[1].Sha256, "");
}

}  // namespace
