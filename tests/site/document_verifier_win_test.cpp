// The vendor's signature check and SHA-256 through the system's provider,
// against signatures openssl made with the committed test keys.
#include "site/document_verifier_win.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "digests/sha256_win.h"
#include "files/file_signature.h"
#include "support/sha256_reference.h"

namespace {

std::string ReadData(const std::string& relative) {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class DocumentVerifierTest : public testing::Test {
 protected:
  void SetUp() override {
    document_ = ReadData("signing/document.xml");
    signature_ = ReadData("signing/document.xml.sig");
    ASSERT_FALSE(document_.empty());
    ASSERT_EQ(signature_.size(), 64u);
  }
  std::string document_, signature_;
  const engine::CngDocumentVerifier verifier_{ReadData("keys/test.pub")};
};

TEST_F(DocumentVerifierTest, AcceptsTheDocumentAsSigned) {
  ASSERT_TRUE(verifier_.Loaded());
  EXPECT_TRUE(verifier_.Verify(document_, signature_));
}

TEST_F(DocumentVerifierTest, RefusesEveryChangedByte) {
  for (size_t at = 0; at < document_.size(); ++at) {
    std::string changed = document_;
    changed[at] ^= 0x01;
    EXPECT_FALSE(verifier_.Verify(changed, signature_)) << "document byte " << at;
  }
  for (size_t at = 0; at < signature_.size(); ++at) {
    std::string changed = signature_;
    changed[at] ^= 0x80;
    EXPECT_FALSE(verifier_.Verify(document_, changed)) << "signature byte " << at;
  }
  EXPECT_FALSE(verifier_.Verify(document_ + "\r\n", signature_));
}

TEST_F(DocumentVerifierTest, RefusesOtherKeysAndOtherForms) {
  EXPECT_FALSE(verifier_.Verify(document_, ReadData("signing/document.xml.other.sig")));
  EXPECT_FALSE(verifier_.Verify(document_, signature_.substr(32) + signature_.substr(0, 32)));  // s||r
  EXPECT_FALSE(verifier_.Verify(document_, signature_.substr(0, 63)));
  EXPECT_FALSE(verifier_.Verify(document_, signature_ + '\0'));
  EXPECT_FALSE(verifier_.Verify(document_, ""));
  const engine::CngDocumentVerifier other(ReadData("keys/other.pub"));
  ASSERT_TRUE(other.Loaded());
  EXPECT_FALSE(other.Verify(document_, signature_));
  EXPECT_TRUE(other.Verify(document_, ReadData("signing/document.xml.other.sig")));
}

TEST(DocumentVerifierKeyTest, KeyThatCannotBeReadRefusesEverything) {
  const std::string document = ReadData("signing/document.xml");
  const std::string signature = ReadData("signing/document.xml.sig");
  std::string truncated = ReadData("keys/test.pub");
  truncated.erase(40, 8);
  const std::string p384 =
      "-----BEGIN PUBLIC KEY-----\n"
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAE8aZyp/MLi0YFRnJkF+dkwpxfcdkqm3Zs\n"
      "TRPR+Ky+03oRCr74xw4ak29i4a/W5yev9wSBGUIam9irocIxBToh++GfCAuA/Rw8\n"
      "vD7oG1ohTafQEtJtn+e7ILHU2uuxk7Y5\n"
      "-----END PUBLIC KEY-----\n";
  for (const std::string& pem : {std::string(), std::string("not a key"), truncated, p384,
                                 ReadData("keys/test.key")}) {
    const engine::CngDocumentVerifier verifier(pem);
    EXPECT_FALSE(verifier.Loaded()) << pem;
    EXPECT_FALSE(verifier.Verify(document, signature)) << pem;
  }
}

TEST(DocumentVerifierKeyTest, AProgramBuiltWithoutAKeyHoldsNone) {
  EXPECT_TRUE(engine::EmbeddedPublicKeyPems().empty());
}

// Every length around the block size, and pieces of every size up to it.
TEST(CngSha256Test, MatchesTheReference) {
  std::mt19937 random(7);
  std::string bytes(3000, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  for (size_t size = 0; size <= 200; ++size) {
    files::Sha256Digest digest{};
    ASSERT_TRUE(files::CngSha256Of(bytes.data(), size, &digest));
    EXPECT_EQ(files::Sha256Hex(digest), testing_support::Sha256HexOf(bytes.substr(0, size))) << size;
  }
  for (size_t piece = 1; piece <= 130; ++piece) {
    files::CngSha256 sha;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      ASSERT_TRUE(sha.Update(bytes.data() + at, std::min(piece, bytes.size() - at)));
    }
    files::Sha256Digest digest{};
    ASSERT_TRUE(sha.Finish(&digest));
    EXPECT_EQ(files::Sha256Hex(digest), testing_support::Sha256HexOf(bytes)) << piece;
    EXPECT_FALSE(sha.Finish(&digest));  // used up
  }
}

}  // namespace
