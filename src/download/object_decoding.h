#pragma once
// The decoder of a received object: a code delta's against the prediction
// made from its base, a delta in segments' frame by frame, a packed
// object's or a delta's as one zstd frame.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "codecs/code_delta.h"
#include "codecs/code_delta_decoder.h"
#include "codecs/object_decoder.h"
#include "codecs/segmented_delta.h"
#include "download/decode_space.h"
#include "download/object_choice.h"

namespace engine {

// Decodes into sink exactly size bytes; base is a delta's installed file
// (empty for a packed object), kept alive by the caller until Finish, and
// baseCrc its CRC-32 when the caller computed it from those bytes.
std::unique_ptr<files::StreamDecoder> DecoderFor(ObjectKind kind, files::WritableFile& sink, uint64_t size,
                                                 std::string_view base,
                                                 std::optional<uint32_t> baseCrc = std::nullopt);
// The same into the files mapped in space: the decoded file's view, which is
// the frame's window too, or a delta in segments' regions one at a time.
std::unique_ptr<files::StreamDecoder> DecoderInto(ObjectKind kind, uint64_t size, DecodeSpace& space);

// The most first bytes CheckHead needs for any kind.
inline constexpr size_t kHeadMax =
    std::max({files::kCodeDeltaHeaderSize, files::kObjectHeadMax, files::kSegmentedHeaderSize});

// An object's first bytes as they arrive, checked as its decoder will check
// them (files::CheckObjectHead, CheckCodeDeltaHead, CheckSegmentedHead).
files::HeadCheck CheckHead(ObjectKind kind, const void* data, size_t size, uint64_t plainSize);

}  // namespace engine
