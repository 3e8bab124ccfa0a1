// Decodes arbitrary bytes as a large file's delta in segments against a
// base taken from the input: every region asked for lies within the base
// and the output, the output is a heap block of exactly the expected size
// (a write beyond it is seen), and how the object is cut into pieces does
// not change the outcome.
//
// Input: a piece size byte, the expected size (3 bytes, little-endian, up to
// 16 MiB: several segments of the least size), the base's length (2 bytes),
// the base, then the object.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "codecs/segmented_delta.h"

namespace {

constexpr size_t kHeaderSize = 6;

void Check(bool condition) {
  if (!condition) std::abort();
}

class HeapViews : public files::SegmentViews {
 public:
  HeapViews(std::string_view base, uint64_t size) : base_(base), size_(size), output_(new char[size]) {}
  uint64_t BaseSize() const override { return base_.size(); }
  bool MapSegment(files::Region base, files::Region out, std::string_view& baseView, char*& outputView) override {
    Check(base.offset + base.length <= base_.size());
    Check(out.offset + out.length <= size_);
    baseView = base_.substr(base.offset, base.length);
    outputView = output_.get() + out.offset;
    return true;
  }
  std::string Output() const { return std::string(output_.get(), size_); }

 private:
  std::string_view base_;
  uint64_t size_;
  std::unique_ptr<char[]> output_;
};

struct Outcome {
  files::DecodeStatus status;
  std::string output;
};

Outcome Decode(std::string_view object, uint64_t expected, std::string_view base, size_t piece) {
  HeapViews views(base, expected);
  files::SegmentedDeltaDecoder decoder(views, expected);
  for (size_t at = 0; at < object.size(); at += piece)
    if (!decoder.Feed(object.data() + at, std::min(piece, object.size() - at))) break;
  const files::DecodeStatus status = decoder.Finish();
  return {status, status == files::DecodeStatus::kOk ? views.Output() : std::string()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const size_t piece = size_t{data[0]} + 1;
  const uint64_t expected = data[1] | (uint64_t{data[2]} << 8) | (uint64_t{data[3]} << 16);
  const size_t baseSize = data[4] | (size_t{data[5]} << 8);
  if (size < kHeaderSize + baseSize) return 0;
  const std::string_view base(reinterpret_cast<const char*>(data) + kHeaderSize, baseSize);
  const std::string_view object(base.data() + baseSize, size - kHeaderSize - baseSize);

  const Outcome inPieces = Decode(object, expected, base, piece);
  const Outcome whole = Decode(object, expected, base, object.size() + 1);
  Check(inPieces.status == whole.status);
  Check(inPieces.output == whole.output);
  // The head check never refuses what decodes.
  if (whole.status == files::DecodeStatus::kOk)
    Check(files::CheckSegmentedHead(object.data(), object.size(), expected).status == files::DecodeStatus::kOk);
  return 0;
}
