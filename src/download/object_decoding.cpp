#include "download/object_decoding.h"

#include "codecs/code_delta_decoder.h"

namespace engine {

std::unique_ptr<files::StreamDecoder> DecoderFor(ObjectKind kind, files::WritableFile& sink, uint64_t size,
                                                 std::string_view base, std::optional<uint32_t> baseCrc) {
  if (kind == ObjectKind::kCodeDelta) return std::make_unique<files::CodeDeltaDecoder>(sink, size, base, baseCrc);
  return std::make_unique<files::ObjectDecoder>(sink, size, base);
}

std::unique_ptr<files::StreamDecoder> DecoderInto(ObjectKind kind, uint64_t size, DecodeSpace& space) {
  if (kind == ObjectKind::kSegmentedDelta) return std::make_unique<files::SegmentedDeltaDecoder>(space, size);
  if (kind == ObjectKind::kCodeDelta)
    return std::make_unique<files::CodeDeltaDecoder>(space.Output(), size, space.Base(), space.baseCrc, &space);
  return std::make_unique<files::ObjectDecoder>(space.Output(), size, space.Base());
}

files::HeadCheck CheckHead(ObjectKind kind, const void* data, size_t size, uint64_t plainSize) {
  if (kind == ObjectKind::kCodeDelta) return files::CheckCodeDeltaHead(data, size, plainSize);
  if (kind == ObjectKind::kSegmentedDelta) return files::CheckSegmentedHead(data, size, plainSize);
  return files::CheckObjectHead(data, size, plainSize);
}

}  // namespace engine
