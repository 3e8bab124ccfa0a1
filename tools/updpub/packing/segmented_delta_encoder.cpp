#include "updpub/packing/segmented_delta_encoder.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace updpub {

bool IsSegmentedPair(uint64_t plain, uint64_t base) { return plain + base > kLargestWholeDeltaPair; }

bool EncodeSegmentedDelta(std::string_view plain, std::string_view base, int level, std::string& out,
                          std::string& error, const EncodeProgress& progress, const files::SegmentLayout& layout) {
  const uint64_t count = files::SegmentCount(layout, plain.size());
  std::vector<uint32_t> frameSizes;
  std::string frames;
  std::string frame;
  for (uint64_t k = 0; k < count; ++k) {
    const files::Region output = files::SegmentOutput(layout, plain.size(), k);
    const files::Region region = files::SegmentBase(layout, base.size(), k);
    const EncodeProgress segmentProgress = [&](uint64_t done) {
      if (progress) progress(output.offset + done);
    };
    if (!EncodeObject(plain.substr(output.offset, output.length), base.substr(region.offset, region.length), level,
                      frame, error, segmentProgress))
      return false;
    if (frame.size() > std::numeric_limits<uint32_t>::max()) {
      error = "a segment's frame is over 4 GiB";
      return false;
    }
    frameSizes.push_back(static_cast<uint32_t>(frame.size()));
    frames += frame;
  }
  out = files::SegmentedHeader(layout, frameSizes) + frames;
  return true;
}

}  // namespace updpub
