#include "files/code_delta.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace files {
namespace {

constexpr size_t kVersionAt = 4;
constexpr size_t kNewSizeAt = 8;
constexpr size_t kBaseSizeAt = 16;
constexpr size_t kBaseCrcAt = 24;
constexpr size_t kMapBytesAt = 28;
constexpr size_t kMapRawBytesAt = 32;

// A section entry and a block of the map take at most this many bytes.
constexpr uint64_t kMostSectionBytes = 4 * 5;
constexpr uint64_t kMostBlockBytes = 3 * 10;
constexpr uint64_t kMostSections = 96;
// The map's fixed part: the image base and the two counts.
constexpr uint64_t kMapFixedBytes = 3 * 10;
// Blocks shorter than this never pay for their entry; the decoder's bound
// on the map leaves room for blocks of a quarter of that.
constexpr uint64_t kShortestBlockBound = 16;

constexpr unsigned kVarintBits = 7;
constexpr uint8_t kVarintMore = 0x80;
constexpr uint8_t kVarintPayload = 0x7F;
constexpr unsigned kMostVarintBytes = 10;

void Put(std::string& out, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t Get(std::string_view in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}

void PutVarint(std::string& out, uint64_t value) {
  while (value >= kVarintMore) {
    out.push_back(static_cast<char>((value & kVarintPayload) | kVarintMore));
    value >>= kVarintBits;
  }
  out.push_back(static_cast<char>(value));
}

// Zigzag: small distances either way take few bytes.
uint64_t Zigzag(int64_t value) { return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63); }
int64_t Unzigzag(uint64_t value) { return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1); }

class VarintReader {
 public:
  explicit VarintReader(std::string_view in) : in_(in) {}
  bool Next(uint64_t& value) {
    value = 0;
    for (unsigned i = 0; i < kMostVarintBytes; ++i) {
      if (at_ >= in_.size()) return false;
      const auto byte = static_cast<uint8_t>(in_[at_++]);
      value |= static_cast<uint64_t>(byte & kVarintPayload) << (kVarintBits * i);
      if ((byte & kVarintMore) == 0) return true;
    }
    return false;
  }
  bool Next32(uint32_t& value) {
    uint64_t wide = 0;
    if (!Next(wide) || wide > UINT32_MAX) return false;
    value = static_cast<uint32_t>(wide);
    return true;
  }
  bool AtEnd() const { return at_ == in_.size(); }

 private:
  std::string_view in_;
  size_t at_ = 0;
};

// Where the base's references point in the new file.
class Translator {
 public:
  Translator(const PeLayout& oldLayout, const PeLayout& newLayout, const std::vector<CodeBlock>& blocks)
      : old_(oldLayout), new_(newLayout), blocks_(blocks) {
    byOld_.resize(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) byOld_[i] = static_cast<uint32_t>(i);
    std::stable_sort(byOld_.begin(), byOld_.end(),
                     [&](uint32_t a, uint32_t b) { return blocks[a].oldOffset < blocks[b].oldOffset; });
  }

  // The new address of an old one: through the block that repeats its byte,
  // else at the same distance into the section of the same place in the
  // table (uninitialised data has no bytes to match).
  bool Translate(uint32_t oldTarget, uint32_t& newTarget) const {
    uint32_t oldOffset = 0;
    if (old_.OffsetOf(oldTarget, oldOffset)) {
      const auto after = std::upper_bound(byOld_.begin(), byOld_.end(), oldOffset,
                                          [&](uint32_t at, uint32_t i) { return at < blocks_[i].oldOffset; });
      if (after != byOld_.begin()) {
        const CodeBlock& block = blocks_[*(after - 1)];
        if (oldOffset - block.oldOffset < block.length)
          return new_.RvaOf(block.newOffset + (oldOffset - block.oldOffset), newTarget);
      }
    }
    const int section = old_.SectionOf(oldTarget);
    if (section < 0 || static_cast<size_t>(section) >= new_.sections.size()) return false;
    const uint64_t moved =
        uint64_t{new_.sections[section].virtualAddress} + (oldTarget - old_.sections[section].virtualAddress);
    if (moved > UINT32_MAX) return false;
    newTarget = static_cast<uint32_t>(moved);
    return true;
  }

 private:
  const PeLayout& old_;
  const PeLayout& new_;
  const std::vector<CodeBlock>& blocks_;
  std::vector<uint32_t> byOld_;
};

}  // namespace

std::string WriteCodeDeltaHeader(const CodeDeltaHeader& header) {
  std::string out(kCodeDeltaHeaderSize, '\0');
  std::memcpy(out.data(), kCodeDeltaMagic, kCodeDeltaMagicSize);
  out[kVersionAt] = static_cast<char>(kCodeDeltaVersion);
  Put(out, kNewSizeAt, header.newSize, 8);
  Put(out, kBaseSizeAt, header.baseSize, 8);
  Put(out, kBaseCrcAt, header.baseCrc, 4);
  Put(out, kMapBytesAt, header.mapBytes, 4);
  Put(out, kMapRawBytesAt, header.mapRawBytes, 4);
  return out;
}

bool ReadCodeDeltaHeader(std::string_view bytes, CodeDeltaHeader& header) {
  if (bytes.size() < kCodeDeltaHeaderSize || bytes.substr(0, kCodeDeltaMagicSize) != kCodeDeltaMagic ||
      static_cast<uint8_t>(bytes[kVersionAt]) != kCodeDeltaVersion)
    return false;
  // The bytes after the version are reserved and must be zero, so that a
  // later format can use them.
  for (size_t i = kVersionAt + 1; i < kNewSizeAt; ++i)
    if (bytes[i] != 0) return false;
  header.newSize = Get(bytes, kNewSizeAt, 8);
  header.baseSize = Get(bytes, kBaseSizeAt, 8);
  header.baseCrc = static_cast<uint32_t>(Get(bytes, kBaseCrcAt, 4));
  header.mapBytes = static_cast<uint32_t>(Get(bytes, kMapBytesAt, 4));
  header.mapRawBytes = static_cast<uint32_t>(Get(bytes, kMapRawBytesAt, 4));
  return true;
}

std::string WriteCodeMap(const CodeMap& map) {
  std::string out;
  PutVarint(out, map.imageBase);
  PutVarint(out, map.sections.size());
  for (const PeSection& section : map.sections) {
    PutVarint(out, section.virtualAddress);
    PutVarint(out, section.virtualSize);
    PutVarint(out, section.rawOffset);
    PutVarint(out, section.rawSize);
  }
  PutVarint(out, map.blocks.size());
  uint64_t newEnd = 0;
  uint64_t oldEnd = 0;
  for (const CodeBlock& block : map.blocks) {
    PutVarint(out, block.newOffset - newEnd);
    PutVarint(out, Zigzag(static_cast<int64_t>(block.oldOffset) - static_cast<int64_t>(oldEnd)));
    PutVarint(out, block.length);
    newEnd = uint64_t{block.newOffset} + block.length;
    oldEnd = uint64_t{block.oldOffset} + block.length;
  }
  return out;
}

uint64_t LargestCodeMap(uint64_t newSize) {
  return kMapFixedBytes + kMostSections * kMostSectionBytes + newSize / kShortestBlockBound * kMostBlockBytes;
}

bool ReadCodeMap(std::string_view bytes, uint64_t newSize, uint64_t baseSize, CodeMap& map) {
  map = CodeMap{};
  VarintReader in(bytes);
  uint64_t sectionCount = 0;
  if (!in.Next(map.imageBase) || !in.Next(sectionCount) || sectionCount > kMostSections) return false;
  map.sections.resize(sectionCount);
  for (PeSection& section : map.sections) {
    if (!in.Next32(section.virtualAddress) || !in.Next32(section.virtualSize) || !in.Next32(section.rawOffset) ||
        !in.Next32(section.rawSize))
      return false;
  }
  uint64_t blockCount = 0;
  // Each block takes at least three bytes of the map: the count cannot
  // reserve more than the map could hold.
  if (!in.Next(blockCount) || blockCount > bytes.size() / 3) return false;
  map.blocks.reserve(blockCount);
  uint64_t newEnd = 0;
  int64_t oldEnd = 0;
  for (uint64_t i = 0; i < blockCount; ++i) {
    uint64_t gap = 0;
    uint64_t oldStep = 0;
    uint64_t length = 0;
    if (!in.Next(gap) || !in.Next(oldStep) || !in.Next(length)) return false;
    if (gap > newSize || length == 0 || length > newSize) return false;
    const uint64_t newOffset = newEnd + gap;
    const int64_t step = Unzigzag(oldStep);
    if (step < -oldEnd || step > static_cast<int64_t>(baseSize)) return false;
    const uint64_t oldOffset = static_cast<uint64_t>(oldEnd + step);
    if (newOffset > newSize || length > newSize - newOffset || oldOffset > baseSize || length > baseSize - oldOffset)
      return false;
    map.blocks.push_back(CodeBlock{static_cast<uint32_t>(newOffset), static_cast<uint32_t>(oldOffset),
                                   static_cast<uint32_t>(length)});
    newEnd = newOffset + length;
    oldEnd = static_cast<int64_t>(oldOffset + length);
  }
  return in.AtEnd();
}

bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction) {
  try {
    prediction.assign(static_cast<size_t>(newSize), '\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const CodeBlock& block : map.blocks)
    std::memcpy(prediction.data() + block.newOffset, base.data() + block.oldOffset, block.length);

  PeLayout oldLayout;
  if (!ReadPeLayout(base, oldLayout)) return true;
  PeLayout newLayout;
  newLayout.wide = oldLayout.wide;
  newLayout.imageBase = map.imageBase;
  newLayout.sections = map.sections;
  const std::vector<Reference> refs = FindReferences(base, oldLayout);
  const Translator translator(oldLayout, newLayout, map.blocks);
  for (const CodeBlock& block : map.blocks) {
    // The references that lie wholly inside the block's old bytes.
    auto ref = std::lower_bound(refs.begin(), refs.end(), block.oldOffset,
                                [](const Reference& r, uint32_t at) { return r.offset < at; });
    const uint64_t oldEnd = uint64_t{block.oldOffset} + block.length;
    for (; ref != refs.end() && ref->offset + uint64_t{OperandWidth(ref->kind)} <= oldEnd; ++ref) {
      uint32_t target = 0;
      if (!translator.Translate(ref->target, target)) continue;
      const uint32_t at = block.newOffset + (ref->offset - block.oldOffset);
      char* operand = prediction.data() + at;
      std::string bytes(8, '\0');
      switch (ref->kind) {
        case ReferenceKind::kAbsolute32:
          Put(bytes, 0, static_cast<uint32_t>(map.imageBase + target), 4);
          break;
        case ReferenceKind::kAbsolute64:
          Put(bytes, 0, map.imageBase + target, 8);
          break;
        case ReferenceKind::kRelative32: {
          uint32_t operandRva = 0;
          if (!newLayout.RvaOf(at, operandRva)) continue;
          Put(bytes, 0, target - (operandRva + 4), 4);
          break;
        }
      }
      std::memcpy(operand, bytes.data(), OperandWidth(ref->kind));
    }
  }
  return true;
}

}  // namespace files
