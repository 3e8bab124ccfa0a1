#pragma once
// A large file against its base in segments: the new file cut into pieces of
// one size, each a zstd frame (codecs/object_decoder.h) against the base's
// bytes at the same offsets widened by a reach on each side. Decoding one
// segment needs only its own regions of the base and of the output in view,
// so a file of any size costs the address space of one segment.
//
//   "USD" 0x01      magic and format version
//   u32 segment     bytes of every segment but the last
//   u32 reach       how far the base's region reaches beyond the segment on each side
//   u32 count       segments: the file's size divided by `segment`, rounded up
//   u32 x count     each frame's bytes
//   the frames, in order
// Numbers little-endian.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/object_decoder.h"

namespace files {

inline constexpr char kSegmentedMagic[4] = {'U', 'S', 'D', '\x01'};
inline constexpr size_t kSegmentedHeaderSize = 16;  // before the frames' sizes
inline constexpr uint64_t kMinSegment = uint64_t{1} << 20;
inline constexpr uint64_t kMaxSegment = uint64_t{256} << 20;
inline constexpr uint64_t kMaxReach = uint64_t{128} << 20;
// The most address space one segment's views take: its output and its
// base's region.
inline constexpr uint64_t kLargestSegmentViews = kMaxSegment + (kMaxSegment + 2 * kMaxReach);

struct SegmentLayout {
  uint64_t segment = 0;
  uint64_t reach = 0;
};

// Bytes [offset, offset + length) of a file.
struct Region {
  uint64_t offset = 0;
  uint64_t length = 0;
};

uint64_t SegmentCount(const SegmentLayout& layout, uint64_t fileSize);
// Segment k's bytes of the new file and the base's region it is decoded
// against (clipped to the base, empty where the base ends before it).
Region SegmentOutput(const SegmentLayout& layout, uint64_t fileSize, uint64_t k);
Region SegmentBase(const SegmentLayout& layout, uint64_t baseSize, uint64_t k);

// The header for frames of these sizes.
std::string SegmentedHeader(const SegmentLayout& layout, const std::vector<uint32_t>& frameSizes);

// Where a segment's regions come into view.
class SegmentViews {
 public:
  virtual ~SegmentViews() = default;
  virtual uint64_t BaseSize() const = 0;
  // Maps one segment's regions, letting the previous segment's go first;
  // false when they cannot be mapped.
  virtual bool MapSegment(Region base, Region output, std::string_view& baseView, char*& outputView) = 0;
};

class SegmentedDeltaDecoder : public StreamDecoder {
 public:
  // Decodes exactly expectedSize bytes through views, which outlive the decoder.
  SegmentedDeltaDecoder(SegmentViews& views, uint64_t expectedSize);
  ~SegmentedDeltaDecoder() override;

  bool Feed(const void* data, size_t size) override;
  DecodeStatus Finish() override;

 private:
  bool Fail(DecodeStatus status);
  bool ReadHeader(const unsigned char*& data, size_t& size);
  bool StartSegment();
  bool EndSegment();

  SegmentViews& views_;
  const uint64_t expected_;
  std::string header_;
  SegmentLayout layout_;
  std::vector<uint32_t> frameSizes_;
  size_t headerSize_ = 0;  // once known: the fixed part and the sizes
  uint64_t next_ = 0;      // the segment to decode
  uint64_t left_ = 0;      // of its frame's bytes still to come
  std::unique_ptr<ObjectDecoder> frame_;
  DecodeStatus status_ = DecodeStatus::kOk;
};

// The first bytes of a segmented delta as they arrive, checked as its
// decoder checks them: the magic, the layout's bounds and the count.
HeadCheck CheckSegmentedHead(const void* data, size_t size, uint64_t expectedSize);

}  // namespace files
