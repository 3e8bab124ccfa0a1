#include "updpub/publish/copy_with_crc.h"

#include <optional>

#include "digests/crc32.h"
#include "updpub/keys/crypto.h"

namespace updpub {
namespace {

// Reads `in` to its end, summing every piece and handing it to `piece`.
bool Sum(HostFile& in, std::vector<char>& buffer, bool withSha256, CopyOutcome& outcome,
         const std::function<bool(const char*, size_t)>& piece) {
  if (buffer.size() < kCopyBufferSize) buffer.resize(kCopyBufferSize);
  std::optional<crypto::Sha256> sha256;
  if (withSha256) sha256.emplace();
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer.data(), buffer.size(), got, outcome.error)) return false;
    if (got == 0) break;
    outcome.crc = files::Crc32Update(outcome.crc, buffer.data(), got);
    if (sha256) sha256->Update(buffer.data(), got);
    if (piece && !piece(buffer.data(), got)) return false;
    outcome.bytes += got;
  }
  if (sha256) outcome.sha256 = crypto::DigestText(sha256->Finish());
  return true;
}

}  // namespace

CopyOutcome CopyWithCrc(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                        const std::function<void(uint64_t)>& progress, bool withSha256) {
  CopyOutcome outcome;
  HostFile in;
  HostFile out;
  if (!in.OpenForReading(from, outcome.error) || !out.CreateForWriting(to, outcome.error)) return outcome;
  const bool copied = Sum(in, buffer, withSha256, outcome, [&](const char* data, size_t size) {
    if (!out.Write(data, size, outcome.error)) return false;
    if (progress) progress(size);
    return true;
  });
  outcome.ok = copied && out.Close(outcome.error);
  return outcome;
}

CopyOutcome CrcOfFile(const fs::path& path, std::vector<char>& buffer, bool withSha256) {
  CopyOutcome outcome;
  HostFile in;
  if (!in.OpenForReading(path, outcome.error)) return outcome;
  outcome.ok = Sum(in, buffer, withSha256, outcome, nullptr);
  return outcome;
}

}  // namespace updpub
