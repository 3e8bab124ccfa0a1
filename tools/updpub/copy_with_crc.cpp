#include "updpub/copy_with_crc.h"

#include "files/crc32.h"

namespace updpub {

CopyOutcome CopyWithCrc(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                        const std::function<void(uint64_t)>& progress) {
  CopyOutcome outcome;
  if (buffer.size() < kCopyBufferSize) buffer.resize(kCopyBufferSize);
  HostFile in;
  HostFile out;
  if (!in.OpenForReading(from, outcome.error) || !out.CreateForWriting(to, outcome.error)) return outcome;
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer.data(), buffer.size(), got, outcome.error)) return outcome;
    if (got == 0) break;
    outcome.crc = files::Crc32Update(outcome.crc, buffer.data(), got);
    if (!out.Write(buffer.data(), got, outcome.error)) return outcome;
    outcome.bytes += got;
    if (progress) progress(got);
  }
  outcome.ok = out.Close(outcome.error);
  return outcome;
}

CopyOutcome CrcOfFile(const fs::path& path, std::vector<char>& buffer) {
  CopyOutcome outcome;
  if (buffer.size() < kCopyBufferSize) buffer.resize(kCopyBufferSize);
  HostFile in;
  if (!in.OpenForReading(path, outcome.error)) return outcome;
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer.data(), buffer.size(), got, outcome.error)) return outcome;
    if (got == 0) break;
    outcome.crc = files::Crc32Update(outcome.crc, buffer.data(), got);
    outcome.bytes += got;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace updpub
