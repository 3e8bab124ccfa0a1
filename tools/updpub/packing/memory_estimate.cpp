#include "updpub/packing/memory_estimate.h"

#include <algorithm>

#include "updpub/packing/object_codec.h"
#include "updpub/packing/segmented_delta_encoder.h"

namespace updpub {
namespace {

// The block matcher's index: two tables of up to 2^24 four-byte entries and
// one entry for every 16 bytes of the base.
constexpr uint64_t kMatcherTablesBytes = uint64_t{128} << 20;
constexpr uint64_t kMatcherBaseShare = 4;

}  // namespace

uint64_t PackedMemory(uint64_t file, int level) { return file + file + EncoderTableBytes(level, 0); }

uint64_t DeltaMemory(uint64_t file, uint64_t base, int level) {
  if (IsSegmentedPair(file, base)) {
    const uint64_t segment = std::min(file, kSegmentLayout.segment);
    const uint64_t region = std::min(base, kSegmentLayout.segment + 2 * kSegmentLayout.reach);
    return file + base + file + EncoderTableBytes(level, DeltaWindowLog(segment, region));
  }
  return file + base + file + EncoderTableBytes(level, DeltaWindowLog(file, base));
}

uint64_t CodeDeltaMemory(uint64_t file, uint64_t base, int level) {
  const uint64_t matching = file + base + kMatcherTablesBytes + base / kMatcherBaseShare;
  const uint64_t residual = file + file + EncoderTableBytes(level, DeltaWindowLog(file, file), true);
  // The zstd delta of the same base is kept to be weighed against it.
  return file + base + file + std::max(matching, residual);
}

}  // namespace updpub
