// Decoding a changed file's frame as it arrives: packed and delta frames fed
// in pieces of every kind of size, and every way a frame can be wrong,
// oversized or hostile.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codecs/object_decoder.h"
#include "files/file_system.h"

namespace {

using files::DecodeStatus;

class StringFile : public files::WritableFile {
 public:
  explicit StringFile(bool fails) : fails_(fails) {}
  bool Write(const void* data, size_t size) override {
    if (fails_) return false;
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  void Close() override {}
  std::string bytes;

 private:
  bool fails_;
};

// Incompressible on its own, so that a delta is small only through its base.
std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Text-like and compressible: several output pieces from a short frame.
std::string Words(size_t size) {
  static const char* const kWords[] = {"update ", "server ", "file ", "list ", "版本 ", "\r\n"};
  std::mt19937 random(7);
  std::string text;
  while (text.size() < size) text += kWords[random() % 6];
  text.resize(size);
  return text;
}

// As the publisher makes them, with the checksum that tells a wrong base.
std::string Compress(std::string_view content, std::string_view reference = {}, int windowLog = 0,
                     bool sizeInHeader = true) {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, sizeInHeader ? 1 : 0);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
  if (!reference.empty()) {
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_refPrefix(context.get(), reference.data(), reference.size());
  }
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const size_t size =
      ZSTD_compress2(context.get(), frame.data(), frame.size(), content.data(), content.size());
  EXPECT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
  frame.resize(ZSTD_isError(size) ? 0 : size);
  return frame;
}

// A valid frame whose header asks for a window of 2^windowLog bytes. Made with
// the smallest window, shorter than the content, the header carries a window
// descriptor after the magic number and the frame header descriptor, and the
// content size: whole, the frame could be decoded in one pass.
std::string WithWindowLog(std::string_view content, int windowLog) {
  constexpr size_t kDescriptor = 4;
  constexpr unsigned char kSingleSegment = 0x20;
  constexpr int kSmallestWindowLog = 10;  // also the base of the descriptor's exponent
  std::string frame = Compress(content, {}, kSmallestWindowLog);
  EXPECT_EQ(frame[kDescriptor] & kSingleSegment, 0);
  frame[kDescriptor + 1] = static_cast<char>((windowLog - kSmallestWindowLog) << 3);
  return frame;
}

struct Outcome {
  DecodeStatus status;
  std::string output;
};

// Through a sink, or into memory of the expected size as a mapped file is;
// that memory is guarded by a canary byte on each side.
Outcome Decode(const std::string& frame, uint64_t expected, std::string_view reference,
               size_t piece, bool inMemory, bool sinkFails = false) {
  StringFile file(sinkFails);
  constexpr char kCanary = '\x5c';
  std::string memory(static_cast<size_t>(expected) + 2, kCanary);
  const std::unique_ptr<files::ObjectDecoder> decoder =
      inMemory ? std::make_unique<files::ObjectDecoder>(memory.data() + 1, expected, reference)
               : std::make_unique<files::ObjectDecoder>(file, expected, reference);
  for (size_t at = 0; at < frame.size(); at += piece) {
    if (!decoder->Feed(frame.data() + at, std::min(piece, frame.size() - at))) break;
  }
  const DecodeStatus status = decoder->Finish();
  if (!inMemory) return {status, file.bytes};
  EXPECT_EQ(memory.front(), kCanary);
  EXPECT_EQ(memory.back(), kCanary);
  return {status, memory.substr(1, decoder->Produced())};
}

TEST(ObjectDecoderTest, EveryFrameInEveryPieceSize) {
  const std::string text = Words(300000);
  const std::string packed = Compress(text);
  // Without the size in its header only the output tells the size.
  const std::string unsized = Compress(text, {}, 0, false);
  const std::string base = Noise(200000, 1);
  std::string newer = base;
  newer.insert(120000, "a few inserted bytes");
  newer.replace(5000, 3, "xyz");
  const std::string delta = Compress(newer, base);
  ASSERT_LT(delta.size(), newer.size() / 20) << "the delta does not use its base";
  // Held for the whole test: a case only views its reference.
  const std::string otherBase = Noise(200000, 2);
  const std::string small = Words(5000);
  const uint64_t textSize = text.size();

  struct Case {
    const char* name;
    std::string frame;
    std::string_view reference;
    uint64_t expected;
    DecodeStatus status;
    std::string_view output;  // when it succeeds
    bool sinkFails = false;
    // Into memory, where the window costs nothing: the larger windows pass.
    std::optional<DecodeStatus> inMemory = std::nullopt;
  };
  const Case cases[] = {
      {"packed", packed, {}, textSize, DecodeStatus::kOk, text},
      {"empty file", Compress(""), {}, 0, DecodeStatus::kOk, ""},
      {"delta", delta, base, newer.size(), DecodeStatus::kOk, newer},
      {"delta, other base", delta, otherBase, newer.size(), DecodeStatus::kCorrupt, {}},
      {"delta, no base", delta, {}, newer.size(), DecodeStatus::kCorrupt, {}},
      {"packed, size not in the header", unsized, {}, textSize, DecodeStatus::kOk, text},
      {"header names a larger size", packed, {}, textSize - 1, DecodeStatus::kTooLarge, {}},
      {"one byte above the size", unsized, {}, textSize - 1, DecodeStatus::kTooLarge, {}},
      {"bomb", Compress(std::string(size_t{64} << 20, '\0'), {}, 0, false), {}, 4096,
       DecodeStatus::kTooLarge, {}},
      {"one byte short", unsized, {}, textSize + 1, DecodeStatus::kTooShort, {}},
      {"truncated", packed.substr(0, packed.size() - 1), {}, textSize, DecodeStatus::kTruncated, {}},
      {"a byte after", packed + '\0', {}, textSize, DecodeStatus::kTrailingData, {}},
      {"two frames", packed + packed, {}, textSize, DecodeStatus::kTrailingData, {}},
      {"not a frame", "not a frame at all", {}, 18, DecodeStatus::kCorrupt, {}},
      {"window at the sink's limit", WithWindowLog(small, files::kMaxStreamWindowLog), {}, small.size(),
       DecodeStatus::kOk, small},
      {"window beyond the sink's limit", WithWindowLog(small, files::kMaxStreamWindowLog + 1), {}, small.size(),
       DecodeStatus::kNoMemory, small, false, DecodeStatus::kOk},
      {"window at the limit", WithWindowLog(small, files::kMaxWindowLog), {}, small.size(),
       DecodeStatus::kNoMemory, small, false, DecodeStatus::kOk},
      {"window beyond the limit", WithWindowLog(small, files::kMaxWindowLog + 1), {}, small.size(),
       DecodeStatus::kWindowTooLarge, {}},
      {"skippable frame first", std::string("\x50\x2a\x4d\x18\0\0\0\0", 8) + packed, {},
       textSize, DecodeStatus::kCorrupt, {}},
      {"sink fails", packed, {}, textSize, DecodeStatus::kSinkFailed, {}, true},
  };
  for (const Case& c : cases) {
    for (const bool inMemory : {false, true}) {
      if (inMemory && c.sinkFails) continue;
      const DecodeStatus status = inMemory ? c.inMemory.value_or(c.status) : c.status;
      for (const size_t piece : {size_t{1}, size_t{7}, size_t{4093}, c.frame.size()}) {
        SCOPED_TRACE(testing::Message() << c.name << (inMemory ? ", into memory" : ", into a sink")
                                        << ", pieces of " << piece);
        const Outcome outcome = Decode(c.frame, c.expected, c.reference, piece, inMemory, c.sinkFails);
        EXPECT_STREQ(DecodeStatusName(outcome.status), DecodeStatusName(status));
        EXPECT_LE(outcome.output.size(), c.expected);
        if (status == DecodeStatus::kOk) {
          EXPECT_TRUE(outcome.output == c.output);
        }
      }
    }
  }
}

}  // namespace
