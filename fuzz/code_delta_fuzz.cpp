// Reads arbitrary bytes as a PE file and decodes a code delta against it:
// the reader keeps inside the file, the map and the prediction inside their
// bounds, the output never exceeds the expected size, a success gives
// exactly that size, and how the object is cut into pieces, or whether it is
// decoded into memory with the prediction in room of its own (as into
// mapped files), does not change whether it succeeds.
//
// Input: a piece size byte, the expected size (2 bytes, little-endian), the
// base's length (2 bytes), the base, then the object.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "codecs/code_delta.h"
#include "codecs/code_delta_decoder.h"
#include "codecs/pe_image.h"
#include "files/file_system.h"

namespace {

constexpr size_t kHeaderSize = 5;

void Check(bool condition) {
  if (!condition) std::abort();
}

class CountingSink : public files::WritableFile {
 public:
  bool Write(const void*, size_t size) override {
    written += size;
    return true;
  }
  void Close() override {}
  uint64_t written = 0;
};

files::DecodeStatus Decode(std::string_view object, std::string_view base, uint64_t expected, size_t piece,
                           uint64_t& written) {
  CountingSink sink;
  files::CodeDeltaDecoder decoder(sink, expected, base);
  for (size_t at = 0; at < object.size(); at += piece)
    if (!decoder.Feed(object.data() + at, std::min(piece, object.size() - at))) break;
  const files::DecodeStatus status = decoder.Finish();
  written = sink.written;
  return status;
}

// Exactly the size asked for, so that a write beyond it is seen.
class HeapSpace : public files::PredictionSpace {
 public:
  char* Obtain(uint64_t size) override {
    room_.reset(new char[size]);
    return room_.get();
  }

 private:
  std::unique_ptr<char[]> room_;
};

files::DecodeStatus DecodeInMemory(std::string_view object, std::string_view base, uint64_t expected,
                                   size_t piece) {
  const std::unique_ptr<char[]> output(new char[expected]);
  HeapSpace space;
  files::CodeDeltaDecoder decoder(expected ? output.get() : nullptr, expected, base, std::nullopt, &space);
  for (size_t at = 0; at < object.size(); at += piece)
    if (!decoder.Feed(object.data() + at, std::min(piece, object.size() - at))) break;
  return decoder.Finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const size_t piece = std::max<size_t>(1, data[0]);
  const uint64_t expected = data[1] | (uint64_t{data[2]} << 8);
  const size_t baseLength = std::min<size_t>(data[3] | (size_t{data[4]} << 8), size - kHeaderSize);
  const std::string_view base(reinterpret_cast<const char*>(data) + kHeaderSize, baseLength);
  const std::string_view object(reinterpret_cast<const char*>(data) + kHeaderSize + baseLength,
                                size - kHeaderSize - baseLength);

  files::PeLayout layout;
  if (files::ReadPeLayout(base, layout)) {
    for (const files::Reference& ref : files::FindReferences(base, layout))
      Check(ref.offset + uint64_t{files::OperandWidth(ref.kind)} <= base.size());
  }
  // The object's bytes as a map too, straight into the prediction.
  files::CodeMap map;
  if (files::ReadCodeMap(object, expected, base.size(), map)) {
    std::string prediction;
    Check(files::PredictNewFile(base, map, expected, prediction));
    Check(prediction.size() == expected);
  }

  uint64_t whole = 0;
  uint64_t cut = 0;
  const files::DecodeStatus status = Decode(object, base, expected, object.size() + 1, whole);
  const files::DecodeStatus cutStatus = Decode(object, base, expected, piece, cut);
  Check(whole <= expected && cut <= expected);
  if (status == files::DecodeStatus::kOk) Check(whole == expected);
  Check((status == files::DecodeStatus::kOk) == (cutStatus == files::DecodeStatus::kOk));
  if (status != files::DecodeStatus::kNoMemory) {
    const files::DecodeStatus inMemory = DecodeInMemory(object, base, expected, piece);
    Check((status == files::DecodeStatus::kOk) == (inMemory == files::DecodeStatus::kOk));
  }
  return 0;
}
