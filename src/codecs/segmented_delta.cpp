#include "codecs/segmented_delta.h"

#include <algorithm>
#include <cstring>

namespace files {
namespace {

// A count beyond this names more segments than a file of 4 GiB has.
constexpr uint64_t kMostSegments = (uint64_t{4} << 30) / kMinSegment;
constexpr size_t kSizeField = 4;

uint32_t ReadU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void AppendU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

// The fixed part of the header, checked: kCorrupt for anything the encoder
// never writes, as for a frame that is no frame.
DecodeStatus ReadLayout(const unsigned char* head, uint64_t expected, SegmentLayout& layout, uint64_t& count) {
  if (std::memcmp(head, kSegmentedMagic, sizeof(kSegmentedMagic)) != 0) return DecodeStatus::kCorrupt;
  layout.segment = ReadU32(head + 4);
  layout.reach = ReadU32(head + 8);
  count = ReadU32(head + 12);
  if (layout.segment < kMinSegment || layout.segment > kMaxSegment || layout.reach > kMaxReach)
    return DecodeStatus::kCorrupt;
  if (count == 0 || count > kMostSegments) return DecodeStatus::kCorrupt;
  if (count < SegmentCount(layout, expected)) return DecodeStatus::kTooShort;
  if (count > SegmentCount(layout, expected)) return DecodeStatus::kTooLarge;
  return DecodeStatus::kOk;
}

}  // namespace

uint64_t SegmentCount(const SegmentLayout& layout, uint64_t fileSize) {
  return (fileSize + layout.segment - 1) / layout.segment;
}

Region SegmentOutput(const SegmentLayout& layout, uint64_t fileSize, uint64_t k) {
  const uint64_t offset = std::min(k * layout.segment, fileSize);
  return {offset, std::min(layout.segment, fileSize - offset)};
}

Region SegmentBase(const SegmentLayout& layout, uint64_t baseSize, uint64_t k) {
  const uint64_t start = k * layout.segment;
  const uint64_t from = std::min(start - std::min(start, layout.reach), baseSize);
  const uint64_t to = std::min(start + layout.segment + layout.reach, baseSize);
  return {from, to - std::min(from, to)};
}

std::string SegmentedHeader(const SegmentLayout& layout, const std::vector<uint32_t>& frameSizes) {
  std::string out(kSegmentedMagic, sizeof(kSegmentedMagic));
  AppendU32(out, static_cast<uint32_t>(layout.segment));
  AppendU32(out, static_cast<uint32_t>(layout.reach));
  AppendU32(out, static_cast<uint32_t>(frameSizes.size()));
  for (uint32_t size : frameSizes) AppendU32(out, size);
  return out;
}

SegmentedDeltaDecoder::SegmentedDeltaDecoder(SegmentViews& views, uint64_t expectedSize)
    : views_(views), expected_(expectedSize) {}

SegmentedDeltaDecoder::~SegmentedDeltaDecoder() = default;

bool SegmentedDeltaDecoder::Fail(DecodeStatus status) {
  if (status_ == DecodeStatus::kOk) status_ = status;
  frame_.reset();
  return false;
}

// Keeps bytes until the fixed part and then every frame's size are whole.
bool SegmentedDeltaDecoder::ReadHeader(const unsigned char*& data, size_t& size) {
  const size_t wanted = headerSize_ ? headerSize_ : kSegmentedHeaderSize;
  const size_t take = std::min(size, wanted - header_.size());
  header_.append(reinterpret_cast<const char*>(data), take);
  data += take;
  size -= take;
  if (header_.size() < wanted) return true;
  const auto* head = reinterpret_cast<const unsigned char*>(header_.data());
  if (!headerSize_) {
    uint64_t count = 0;
    const DecodeStatus status = ReadLayout(head, expected_, layout_, count);
    if (status != DecodeStatus::kOk) return Fail(status);
    headerSize_ = kSegmentedHeaderSize + static_cast<size_t>(count) * kSizeField;
    return ReadHeader(data, size);
  }
  for (size_t at = kSegmentedHeaderSize; at < headerSize_; at += kSizeField) {
    const uint32_t frameSize = ReadU32(head + at);
    if (frameSize == 0) return Fail(DecodeStatus::kCorrupt);
    frameSizes_.push_back(frameSize);
  }
  return true;
}

bool SegmentedDeltaDecoder::StartSegment() {
  const Region output = SegmentOutput(layout_, expected_, next_);
  const Region base = SegmentBase(layout_, views_.BaseSize(), next_);
  std::string_view baseView;
  char* outputView = nullptr;
  frame_.reset();
  if (!views_.MapSegment(base, output, baseView, outputView)) return Fail(DecodeStatus::kNoMemory);
  frame_ = std::make_unique<ObjectDecoder>(outputView, output.length, baseView);
  left_ = frameSizes_[next_];
  return true;
}

bool SegmentedDeltaDecoder::EndSegment() {
  const DecodeStatus status = frame_->Finish();
  frame_.reset();
  if (status != DecodeStatus::kOk) return Fail(status);
  ++next_;
  return true;
}

bool SegmentedDeltaDecoder::Feed(const void* data, size_t size) {
  if (status_ != DecodeStatus::kOk) return false;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (frameSizes_.empty() && !ReadHeader(bytes, size)) return false;
  while (size > 0) {
    if (next_ == frameSizes_.size()) return Fail(DecodeStatus::kTrailingData);
    if (!frame_ && !StartSegment()) return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(size, left_));
    if (!frame_->Feed(bytes, take)) return EndSegment();
    bytes += take;
    size -= take;
    left_ -= take;
    if (left_ == 0 && !EndSegment()) return false;
  }
  return true;
}

DecodeStatus SegmentedDeltaDecoder::Finish() {
  if (status_ != DecodeStatus::kOk) return status_;
  if (frameSizes_.empty() || next_ < frameSizes_.size()) return DecodeStatus::kTruncated;
  return DecodeStatus::kOk;
}

HeadCheck CheckSegmentedHead(const void* data, size_t size, uint64_t expectedSize) {
  if (size < kSegmentedHeaderSize) {
    const size_t magic = std::min(size, sizeof(kSegmentedMagic));
    if (std::memcmp(data, kSegmentedMagic, magic) != 0) return {true, DecodeStatus::kCorrupt};
    return {};
  }
  SegmentLayout layout;
  uint64_t count = 0;
  return {true, ReadLayout(static_cast<const unsigned char*>(data), expectedSize, layout, count)};
}

}  // namespace files
