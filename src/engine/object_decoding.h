#pragma once
// The decoder of a received object: a code delta's against the prediction
// made from its base, a packed object's or a delta's as one zstd frame.
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/object_choice.h"
#include "files/object_decoder.h"

namespace engine {

// Decodes into sink exactly size bytes; base is a delta's installed file
// (empty for a packed object), kept alive by the caller until Finish.
std::unique_ptr<files::StreamDecoder> DecoderFor(ObjectKind kind, files::WritableFile& sink, uint64_t size,
                                                 std::string_view base);

}  // namespace engine
