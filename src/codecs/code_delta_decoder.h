#pragma once
// Decodes a code delta (files/code_delta.h) as it is read, against its base:
// the header and the map are kept until whole, the prediction is built from
// them, and the rest is one zstd frame decoded against the prediction with
// the bounds of any object (files::ObjectDecoder). Memory: the map, the
// prediction (the new file's size, in the heap or where the caller gives
// room for it) and the frame's window (none when decoding into memory).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "codecs/code_delta.h"
#include "codecs/object_decoder.h"

namespace files {

// Room for a prediction outside the heap (a mapped file), asked for once its
// size is known. What it hands out stays writable until the decoder is gone.
class PredictionSpace {
 public:
  virtual ~PredictionSpace() = default;
  // size writable bytes, or null when there is no such room.
  virtual char* Obtain(uint64_t size) = 0;
};

class CodeDeltaDecoder : public StreamDecoder {
 public:
  // Decodes into sink exactly expectedSize bytes; base is the installed
  // file, kept alive and unchanged by the caller until Finish. baseCrc is
  // its CRC-32 when the caller has just computed it from these bytes; the
  // decoder computes it otherwise.
  CodeDeltaDecoder(WritableFile& sink, uint64_t expectedSize, std::string_view base,
                   std::optional<uint32_t> baseCrc = std::nullopt);
  // Decodes into output, as ObjectDecoder's constructor of that name, with
  // the prediction in space where one is given.
  CodeDeltaDecoder(char* output, uint64_t expectedSize, std::string_view base, std::optional<uint32_t> baseCrc,
                   PredictionSpace* space);
  ~CodeDeltaDecoder() override;

  bool Feed(const void* data, size_t size) override;
  DecodeStatus Finish() override;

 private:
  bool Fail(DecodeStatus status);
  bool NoMemory();  // Fail(kNoMemory), the prediction's memory given back
  bool ReadHead();
  bool StartResidual();
  bool Predict(const CodeMap& map, uint64_t newSize);

  WritableFile* const sink_;  // null when decoding into output_
  char* const output_;
  PredictionSpace* const space_;
  const uint64_t expected_;
  const std::string_view base_;
  const std::optional<uint32_t> baseCrc_;
  std::string head_;  // the header, then the compressed map, until whole
  size_t headWanted_;
  bool headerRead_ = false;
  std::unique_ptr<char[]> prediction_;  // in the heap where no space was given
  std::string_view predicted_;  // wherever it lies
  std::unique_ptr<ObjectDecoder> residual_;
  DecodeStatus status_ = DecodeStatus::kOk;
};

}  // namespace files
