#pragma once
// Encodes a code delta (files/code_delta.h): the operands of both files are
// masked, the blocks the new file repeats are matched on what is left, the
// prediction is built with the updater's own code and the new file is
// compressed against it.
#include <cstddef>
#include <string>
#include <string_view>

#include "updpub/packing/object_codec.h"

namespace updpub {

// The residual is a frame against a prediction as large as the file, so a
// file within a delta's bound has a code delta too.
inline constexpr uint64_t kLargestCodeDeltaFile = kLargestDeltaFile;

// Whether a file is an executable a code delta can be made of.
bool IsCodeFile(std::string_view file);

// A code delta of `plain` against `base`, at the given zstd level. False with
// `error` set when it cannot be made (a file over kLargestCodeDeltaFile
// among the reasons).
// `progress` hears of the residual's encoding.
bool EncodeCodeDelta(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error,
                     const EncodeProgress& progress = {});

}  // namespace updpub
