// Decodes arbitrary bytes as a changed file's frame, against a small base
// taken from the input, with a size limit: the output never exceeds the
// limit, a success gives exactly the limit, and how the frame is cut into
// pieces does not change whether it succeeds; decoded into memory of exactly
// the limit, as into a mapped file, it writes nowhere else and succeeds
// alike, but for windows a sink has no room for.
//
// Input: a piece size byte, the expected size (2 bytes, little-endian), the
// base's length (1 byte), the base, then the frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "codecs/object_decoder.h"
#include "files/file_system.h"

namespace {

constexpr size_t kHeaderSize = 4;

void Check(bool condition) {
  if (!condition) std::abort();
}

class StringFile : public files::WritableFile {
 public:
  bool Write(const void* data, size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  void Close() override {}
  std::string bytes;
};

struct Outcome {
  files::DecodeStatus status;
  std::string output;
};

Outcome Decode(std::string_view frame, uint64_t expected, std::string_view base, size_t piece) {
  StringFile file;
  files::ObjectDecoder decoder(file, expected, base);
  for (size_t at = 0; at < frame.size(); at += piece) {
    if (!decoder.Feed(frame.data() + at, std::min(piece, frame.size() - at))) break;
    Check(file.bytes.size() <= expected);
  }
  return {decoder.Finish(), std::move(file.bytes)};
}

// The memory is a heap block of exactly the expected size, so that a write
// beyond it is seen.
Outcome DecodeInMemory(std::string_view frame, uint64_t expected, std::string_view base, size_t piece) {
  const std::unique_ptr<char[]> memory(new char[expected]);
  files::ObjectDecoder decoder(expected ? memory.get() : nullptr, expected, base);
  for (size_t at = 0; at < frame.size(); at += piece) {
    if (!decoder.Feed(frame.data() + at, std::min(piece, frame.size() - at))) break;
  }
  const files::DecodeStatus status = decoder.Finish();
  return {status, std::string(memory.get(), decoder.Produced())};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const size_t piece = size_t{data[0]} + 1;
  const uint64_t expected = data[1] | (uint64_t{data[2]} << 8);
  const size_t baseSize = data[3];
  if (size < kHeaderSize + baseSize) return 0;
  const std::string_view base(reinterpret_cast<const char*>(data) + kHeaderSize, baseSize);
  const std::string_view frame(base.data() + baseSize, size - kHeaderSize - baseSize);

  const Outcome inPieces = Decode(frame, expected, base, piece);
  Check(inPieces.output.size() <= expected);
  if (inPieces.status == files::DecodeStatus::kOk) Check(inPieces.output.size() == expected);

  // Whole, a block is checked before its output is handed out; in pieces, a
  // stored block's bytes go out as they come. So a failure may be named
  // differently, but success and the window check must not change.
  const Outcome whole = Decode(frame, expected, base, frame.size() + 1);
  const auto ok = [](const Outcome& o) { return o.status == files::DecodeStatus::kOk; };
  const auto windowRefused = [](const Outcome& o) {
    return o.status == files::DecodeStatus::kWindowTooLarge;
  };
  Check(ok(whole) == ok(inPieces));
  Check(windowRefused(whole) == windowRefused(inPieces));
  if (ok(whole)) Check(whole.output == inPieces.output);

  const Outcome inMemory = DecodeInMemory(frame, expected, base, piece);
  Check(inMemory.output.size() <= expected);
  if (ok(inMemory)) Check(inMemory.output.size() == expected);
  if (whole.status != files::DecodeStatus::kNoMemory) {
    Check(ok(inMemory) == ok(whole));
    Check(windowRefused(inMemory) == windowRefused(whole));
  }
  if (ok(whole)) Check(inMemory.output == whole.output);
  return 0;
}
