// The reference SHA-256 the tests rely on, and the one-pass reading that
// gives a file's CRC-32 and SHA-256 together.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "digests/crc32.h"
#include "files/file_signature.h"
#include "files/file_signature_internal.h"
#include "support/sha256_reference.h"

namespace {

using files::signature_internal::PiecesDigest;
using testing_support::Sha256HexOf;

TEST(ReferenceSha256Test, KnownDigests) {
  EXPECT_EQ(Sha256HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(Sha256HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256HexOf(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

std::string Noise(size_t size) {
  std::mt19937 random(static_cast<uint32_t>(size));
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// A source handing out `content` in pieces of at most `piece` bytes; fails
// the read at byte offset `failAt` when given.
files::signature_internal::ReadFunction Source(const std::string& content, size_t piece,
                                               size_t failAt = std::string::npos) {
  auto offset = std::make_shared<size_t>(0);
  return [&content, piece, failAt, offset](void* buffer, size_t capacity, size_t* count) {
    if (*offset >= failAt) return false;
    *count = std::min({capacity, piece, content.size() - *offset});
    content.copy(static_cast<char*>(buffer), *count, *offset);
    *offset += *count;
    return true;
  };
}

// On the calling thread and with the second reading thread, the two hashes
// see the same bytes in the same order.
class PiecesDigestTest : public testing::TestWithParam<uint64_t> {};

TEST_P(PiecesDigestTest, BothHashesOverEveryPieceInOrder) {
  const std::string content = Noise((size_t{5} << 20) + 12345);
  testing_support::ReferenceSha256 sha;
  uint32_t crc = 0;
  ASSERT_TRUE(PiecesDigest(Source(content, 777777), GetParam(), &crc, &sha));
  files::Sha256Digest digest{};
  sha.Finish(&digest);
  EXPECT_EQ(files::Sha256Hex(digest), Sha256HexOf(content));
  EXPECT_EQ(crc, files::Crc32Update(0, content.data(), content.size()));
}

TEST_P(PiecesDigestTest, FailedReadOrHashFailsTheWhole) {
  const std::string content = Noise(size_t{4} << 20);
  testing_support::ReferenceSha256 sha;
  uint32_t crc = 0;
  EXPECT_FALSE(PiecesDigest(Source(content, 1 << 20, size_t{3} << 20), GetParam(), &crc, &sha));

  // A provider that gives up half-way.
  class FailingSha : public files::Sha256 {
   public:
    bool Update(const void*, size_t) override { return ++calls < 3; }
    bool Finish(files::Sha256Digest*) override { return false; }
    int calls = 0;
  } failing;
  EXPECT_FALSE(PiecesDigest(Source(content, 1 << 20), GetParam(), &crc, &failing));
}

INSTANTIATE_TEST_SUITE_P(Threads, PiecesDigestTest, testing::Values(UINT64_MAX, 0, 1 << 20),
                         [](const auto& info) {
                           return info.param == UINT64_MAX ? std::string("OneThread")
                                                           : "OverlapAfter" + std::to_string(info.param);
                         });

TEST(FileSignatureAndSha256Test, OneFileBothHashes) {
  const auto folder = std::filesystem::temp_directory_path() / "sha256_test_files";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string content = Noise(100000);
  const std::string path = (folder / "a.bin").string();
  std::ofstream(path, std::ios::binary) << content;

  testing_support::ReferenceSha256 sha;
  const files::FileDigest digest = files::FileSignatureAndSha256(path, sha);
  EXPECT_EQ(digest.Signature, files::FileSignature(path));
  EXPECT_EQ(digest.Sha256, Sha256HexOf(content));

  testing_support::ReferenceSha256 none;
  const files::FileDigest missing = files::FileSignatureAndSha256((folder / "missing").string(), none);
  EXPECT_EQ(missing.Signature, "");
  EXPECT_EQ(missing.Sha256, "");
  testing_support::ReferenceSha256 folderSha;
  const files::FileDigest ofFolder = files::FileSignatureAndSha256(folder.string(), folderSha);
  EXPECT_EQ(ofFolder.Signature, "0");
  EXPECT_EQ(ofFolder.Sha256, "");
  std::filesystem::remove_all(folder);
}

}  // namespace
