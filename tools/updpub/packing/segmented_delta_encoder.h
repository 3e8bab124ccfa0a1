#pragma once
// A large pair's delta in segments (codecs/segmented_delta.h): each segment
// of the new file a frame against the base's region at the same offsets,
// widened by the reach, so that the updater maps one segment at a time.
#include <cstdint>
#include <string>
#include <string_view>

#include "codecs/segmented_delta.h"
#include "updpub/packing/object_codec.h"

namespace updpub {

// A pair larger than this together gets its delta in segments and no code
// delta: a whole delta's base and output views (and a code delta's
// prediction) would then crowd a 32-bit updater's address space, where
// Wine's largest free pieces are about 1 GiB and 1.8 GiB.
inline constexpr uint64_t kLargestWholeDeltaPair = uint64_t{1} << 30;
// Measured on a 1 GiB pair with moves of megabytes: as small as the whole
// delta (docs/benchmarks.md, "Large files").
inline constexpr files::SegmentLayout kSegmentLayout{uint64_t{256} << 20, uint64_t{64} << 20};

bool IsSegmentedPair(uint64_t plain, uint64_t base);

// The delta of `plain` against `base` in segments of `layout`. False with
// `error` set when a segment's frame cannot be made.
bool EncodeSegmentedDelta(std::string_view plain, std::string_view base, int level, std::string& out,
                          std::string& error, const EncodeProgress& progress = {},
                          const files::SegmentLayout& layout = kSegmentLayout);

}  // namespace updpub
