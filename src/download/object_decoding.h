#pragma once
// The decoder of a received object: a code delta's against the prediction
// made from its base, a packed object's or a delta's as one zstd frame.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "codecs/code_delta.h"
#include "codecs/code_delta_decoder.h"
#include "codecs/object_decoder.h"
#include "download/object_choice.h"

namespace engine {

// Decodes into sink exactly size bytes; base is a delta's installed file
// (empty for a packed object), kept alive by the caller until Finish, and
// baseCrc its CRC-32 when the caller computed it from those bytes.
std::unique_ptr<files::StreamDecoder> DecoderFor(ObjectKind kind, files::WritableFile& sink, uint64_t size,
                                                 std::string_view base,
                                                 std::optional<uint32_t> baseCrc = std::nullopt);
// The same into output, size writable bytes that are the frame's window too,
// with a code delta's prediction in space.
std::unique_ptr<files::StreamDecoder> DecoderInto(ObjectKind kind, char* output, uint64_t size,
                                                  std::string_view base, std::optional<uint32_t> baseCrc,
                                                  files::PredictionSpace& space);

// The most first bytes CheckHead needs for any kind.
inline constexpr size_t kHeadMax = files::kCodeDeltaHeaderSize > files::kObjectHeadMax ? files::kCodeDeltaHeaderSize
                                                                                     : files::kObjectHeadMax;

// An object's first bytes as they arrive, checked as its decoder will check
// them (files::CheckObjectHead, files::CheckCodeDeltaHead).
files::HeadCheck CheckHead(ObjectKind kind, const void* data, size_t size, uint64_t plainSize);

}  // namespace engine
