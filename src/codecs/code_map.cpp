// A code delta's map: the new file's image base and section table, the
// blocks it repeats of the base and the target corrections, as
// variable-length integers.
#include <algorithm>

#include "codecs/code_delta.h"

namespace files {
namespace {

// A section entry and a block of the map take at most this many bytes.
constexpr uint64_t kMostSectionBytes = 4 * 5;
constexpr uint64_t kMostBlockBytes = 3 * 10;
constexpr uint64_t kMostCorrectionBytes = 2 * 5;
constexpr uint64_t kMostSections = 96;
// The map's fixed part: the image base, the three counts, the bases' count
// and the bases.
constexpr uint64_t kMapFixedBytes = 4 * 10 + 2 * 5 + 10 + kMostCodeMapBases * 2 * 5;
// Blocks shorter than this never pay for their entry, and the encoder
// writes none: the map of a file holds at most one block per this many
// bytes, which keeps it within half the file's size.
constexpr uint64_t kShortestBlockBound = 64;

constexpr unsigned kVarintBits = 7;
constexpr uint8_t kVarintMore = 0x80;
constexpr uint8_t kVarintPayload = 0x7F;
constexpr unsigned kMostVarintBytes = 10;

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
  size_t Left() const { return in_.size() - at_; }

 private:
  std::string_view in_;
  size_t at_ = 0;
};

// Where the new file's sections end as loaded: a correction past it points
// at nothing the file has.
uint64_t ImageEnd(const std::vector<PeSection>& sections) {
  uint64_t end = 0;
  for (const PeSection& s : sections) end = std::max<uint64_t>(end, uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.rawSize));
  return end;
}

// Two 32-bit addresses lie less than 2^32 apart either way, and two such
// distances less than 2^33.
constexpr uint64_t kMostZigzagStep = (uint64_t{1} << 34) - 1;

bool ReadCorrections(VarintReader& in, uint64_t newSize, CodeMap& map) {
  uint64_t count = 0;
  // Each correction takes at least two bytes of the map.
  if (!in.Next(count) || count > in.Left() / 2 || count > newSize / kNewBytesPerCorrection) return false;
  map.corrections.reserve(static_cast<size_t>(count));
  const int64_t imageEnd = static_cast<int64_t>(ImageEnd(map.sections));
  uint64_t previous = 0;
  int64_t previousShift = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t step = 0;
    uint64_t shiftStep = 0;
    if (!in.Next(step) || !in.Next(shiftStep) || (i > 0 && step == 0) || shiftStep > kMostZigzagStep) return false;
    const uint64_t oldTarget = previous + step;
    if (step > UINT32_MAX || oldTarget > UINT32_MAX) return false;
    const int64_t shift = previousShift + Unzigzag(shiftStep);
    const int64_t newTarget = static_cast<int64_t>(oldTarget) + shift;
    if (newTarget < 0 || newTarget >= imageEnd) return false;
    map.corrections.push_back(TargetCorrection{static_cast<uint32_t>(oldTarget), static_cast<uint32_t>(newTarget)});
    previous = oldTarget;
    previousShift = shift;
  }
  return true;
}

}  // namespace

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
  PutVarint(out, map.relocationRva);
  PutVarint(out, map.relocationSize);
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
  PutVarint(out, map.bases.size());
  for (const auto& [oldBase, newBase] : map.bases) {
    PutVarint(out, oldBase);
    PutVarint(out, newBase);
  }
  // Old addresses as steps from the one before, new ones by how far they
  // moved, less how far the one before did: corrections near each other
  // mostly move alike.
  PutVarint(out, map.corrections.size());
  uint32_t previous = 0;
  int64_t previousShift = 0;
  for (const TargetCorrection& correction : map.corrections) {
    PutVarint(out, correction.oldTarget - previous);
    const int64_t shift = int64_t{correction.newTarget} - int64_t{correction.oldTarget};
    PutVarint(out, Zigzag(shift - previousShift));
    previous = correction.oldTarget;
    previousShift = shift;
  }
  return out;
}

uint64_t LargestCodeMap(uint64_t newSize) {
  return kMapFixedBytes + kMostSections * kMostSectionBytes + newSize / kShortestBlockBound * kMostBlockBytes +
         newSize / kNewBytesPerCorrection * kMostCorrectionBytes;
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
  if (!in.Next32(map.relocationRva) || !in.Next32(map.relocationSize)) return false;
  uint64_t blockCount = 0;
  // Each block takes at least three bytes of the map: a count the rest of
  // the map cannot hold is refused before anything is reserved for it.
  if (!in.Next(blockCount) || blockCount > in.Left() / 3) return false;
  map.blocks.reserve(static_cast<size_t>(blockCount));
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
  uint64_t baseCount = 0;
  if (!in.Next(baseCount) || baseCount > kMostCodeMapBases) return false;
  map.bases.resize(static_cast<size_t>(baseCount));
  for (auto& [oldBase, newBase] : map.bases)
    if (!in.Next32(oldBase) || !in.Next32(newBase)) return false;
  return ReadCorrections(in, newSize, map) && in.AtEnd();
}

}  // namespace files
