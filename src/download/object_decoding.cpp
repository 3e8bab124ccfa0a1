#include "download/object_decoding.h"

#include "codecs/code_delta_decoder.h"

namespace engine {

std::unique_ptr<files::StreamDecoder> DecoderFor(ObjectKind kind, files::WritableFile& sink, uint64_t size,
                                                 std::string_view base, std::optional<uint32_t> baseCrc) {
  if (kind == ObjectKind::kCodeDelta) return std::make_unique<files::CodeDeltaDecoder>(sink, size, base, baseCrc);
  return std::make_unique<files::ObjectDecoder>(sink, size, base);
}

std::unique_ptr<files::StreamDecoder> DecoderInto(ObjectKind kind, char* output, uint64_t size,
                                                  std::string_view base, std::optional<uint32_t> baseCrc,
                                                  files::PredictionSpace& space) {
  if (kind == ObjectKind::kCodeDelta)
    return std::make_unique<files::CodeDeltaDecoder>(output, size, base, baseCrc, &space);
  return std::make_unique<files::ObjectDecoder>(output, size, base);
}

files::HeadCheck CheckHead(ObjectKind kind, const void* data, size_t size, uint64_t plainSize) {
  if (kind == ObjectKind::kCodeDelta) return files::CheckCodeDeltaHead(data, size, plainSize);
  return files::CheckObjectHead(data, size, plainSize);
}

}  // namespace engine
