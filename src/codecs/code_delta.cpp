#include "codecs/code_delta.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

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
constexpr uint64_t kMapFixedBytes = 3 * 10 + 2 * 5;
// Blocks shorter than this never pay for their entry, and the encoder
// writes none: the map of a file holds at most one block per this many
// bytes, which keeps it within half the file's size.
constexpr uint64_t kShortestBlockBound = 64;

constexpr unsigned kVarintBits = 7;
constexpr uint8_t kVarintMore = 0x80;
constexpr uint8_t kVarintPayload = 0x7F;
constexpr unsigned kMostVarintBytes = 10;

void Put(std::string& out, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void PutAt(char* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
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
  size_t Left() const { return in_.size() - at_; }

 private:
  std::string_view in_;
  size_t at_ = 0;
};

// The blocks before a target's that are looked at for one that holds it:
// blocks repeat the same old bytes only a few times.
constexpr size_t kMostBlocksWeighed = 16;
// The translator finds the blocks near an old offset through a table of one
// entry per this many bytes of the base.
constexpr unsigned kPageShift = 12;
// And, where one block alone covers a few bytes of the base, names it in a
// table of one entry per this many bytes: most targets are found there.
constexpr unsigned kGrainShift = 8;
constexpr uint32_t kNoBlock = UINT32_MAX;
constexpr uint32_t kManyBlocks = UINT32_MAX - 1;

// Where the base's references point in the new file.
class Translator {
 public:
  Translator(const PeLayout& oldLayout, const PeLayout& newLayout, const std::vector<CodeBlock>& blocks,
             uint64_t baseSize)
      : old_(oldLayout), new_(newLayout), oldFinder_(oldLayout), newFinder_(newLayout) {
    std::vector<uint32_t> order(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return blocks[a].oldOffset < blocks[b].oldOffset; });
    byOld_.reserve(blocks.size());
    uint64_t reach = 0;
    for (uint32_t i : order) {
      const CodeBlock& block = blocks[i];
      reach = std::max(reach, uint64_t{block.oldOffset} + block.length);
      byOld_.push_back(OldBlock{block.oldOffset, block.length, block.newOffset, reach});
    }
    // pageStart_[p]: the first block (by old offset) that starts at or after
    // page p, so that a look-up searches only the blocks of one page.
    const size_t pages = static_cast<size_t>(baseSize >> kPageShift) + 2;
    pageStart_.resize(pages);
    size_t block = 0;
    for (size_t page = 0; page < pages; ++page) {
      while (block < byOld_.size() && (uint64_t{byOld_[block].oldOffset} >> kPageShift) < page) ++block;
      pageStart_[page] = static_cast<uint32_t>(block);
    }
    MarkGrains(baseSize);
    MarkShortcuts(baseSize);
  }

  // The new address of an old one: through a block that repeats its byte,
  // else at the same distance into the section of the same place in the
  // table (uninitialised data has no bytes to match). Of several blocks
  // that repeat it, the one that moved most like the referring block
  // (`shift`, its new offset less its old one) wins: code that moved
  // together tends to point within itself.
  bool Translate(uint32_t oldTarget, int64_t shift, uint32_t& newTarget) {
    const uint64_t fromLow = uint64_t{oldTarget} - shortcutLow_;
    if (fromLow < shortcutSpan_) {
      const Shortcut& shortcut = shortcuts_[static_cast<size_t>(fromLow >> kGrainShift)];
      if (oldTarget - shortcut.start < shortcut.length) {
        newTarget = oldTarget + shortcut.moved;
        return true;
      }
    }
    uint32_t oldOffset = 0;
    if (oldFinder_.OffsetOf(oldTarget, oldOffset)) {
      const size_t grain = oldOffset >> kGrainShift;
      const uint32_t only = grain < grainBlock_.size() ? grainBlock_[grain] : kManyBlocks;
      if (only != kManyBlocks) {
        const OldBlock* block = only == kNoBlock ? nullptr : &byOld_[only];
        if (block && oldOffset - block->oldOffset < block->length)
          return newFinder_.RvaOf(block->newOffset + (oldOffset - block->oldOffset), newTarget);
        return SameSectionPlace(oldTarget, newTarget);
      }
      // The first block that starts after it, found among its page's.
      const size_t page = oldOffset >> kPageShift;
      const auto pageEnd = byOld_.begin() + (page + 1 < pageStart_.size() ? pageStart_[page + 1] : byOld_.size());
      auto at = std::upper_bound(byOld_.begin() + (page < pageStart_.size() ? pageStart_[page] : byOld_.size()),
                                 pageEnd, oldOffset,
                                 [](uint32_t offset, const OldBlock& block) { return offset < block.oldOffset; });
      const OldBlock* best = nullptr;
      uint64_t bestDistance = 0;
      // Back from the last block that starts at or before it, while any
      // block that far back still reaches it.
      for (size_t looked = 0; at != byOld_.begin() && looked < kMostBlocksWeighed; ++looked) {
        --at;
        if (at->reach <= oldOffset) break;
        if (oldOffset - at->oldOffset >= at->length) continue;
        const int64_t blockShift = int64_t{at->newOffset} - int64_t{at->oldOffset};
        const uint64_t distance = static_cast<uint64_t>(blockShift > shift ? blockShift - shift : shift - blockShift);
        if (!best || distance < bestDistance) {
          best = &*at;
          bestDistance = distance;
        }
      }
      if (best) return newFinder_.RvaOf(best->newOffset + (oldOffset - best->oldOffset), newTarget);
    }
    return SameSectionPlace(oldTarget, newTarget);
  }

  // The new address at the same distance into the section of the same
  // place in the table.
  bool SameSectionPlace(uint32_t oldTarget, uint32_t& newTarget) {
    const int section = oldFinder_.SectionOf(oldTarget);
    if (section < 0 || static_cast<size_t>(section) >= new_.sections.size()) return false;
    const uint64_t moved =
        uint64_t{new_.sections[section].virtualAddress} + (oldTarget - old_.sections[section].virtualAddress);
    if (moved > UINT32_MAX) return false;
    newTarget = static_cast<uint32_t>(moved);
    return true;
  }

  // The new file's address of a new offset.
  bool NewRvaOf(uint32_t offset, uint32_t& rva) { return newFinder_.RvaOf(offset, rva); }

  // Where a block's bytes are loaded in the base and in the new file, when
  // on each side they lie in one section (see SectionFinder::RunRva).
  bool Loaded(const CodeBlock& block, uint32_t& oldRva, uint32_t& newRva) {
    return oldFinder_.RunRva(block.oldOffset, block.length, oldRva) &&
           newFinder_.RunRva(block.newOffset, block.length, newRva);
  }

 private:
  // grainBlock_[g]: for the bytes [g << kGrainShift, (g + 1) << kGrainShift)
  // of the base, kNoBlock when no block holds any of them, the block when
  // one alone does and the search above would find it too (it is among the
  // kMostBlocksWeighed that start last before the grain's end), else
  // kManyBlocks: those are searched.
  void MarkGrains(uint64_t baseSize) {
    const size_t grains = static_cast<size_t>((baseSize >> kGrainShift) + 1);
    grainBlock_.assign(grains, kNoBlock);
    for (size_t i = 0; i < byOld_.size(); ++i) {
      const OldBlock& block = byOld_[i];
      const size_t last = std::min<size_t>((uint64_t{block.oldOffset} + block.length - 1) >> kGrainShift, grains - 1);
      for (size_t grain = block.oldOffset >> kGrainShift; grain <= last; ++grain)
        grainBlock_[grain] = grainBlock_[grain] == kNoBlock ? static_cast<uint32_t>(i) : kManyBlocks;
    }
    size_t startingBefore = 0;  // the blocks that start before the grain's end
    for (size_t grain = 0; grain < grains; ++grain) {
      const uint64_t grainEnd = uint64_t{grain + 1} << kGrainShift;
      while (startingBefore < byOld_.size() && byOld_[startingBefore].oldOffset < grainEnd) ++startingBefore;
      const uint32_t only = grainBlock_[grain];
      if (only < kManyBlocks && startingBefore - only > kMostBlocksWeighed) grainBlock_[grain] = kManyBlocks;
    }
  }

  // shortcuts_[g]: for the addresses [g << kGrainShift, (g + 1) <<
  // kGrainShift) above shortcutLow_, the run of them that one block answers
  // for through the grain table above, with its bytes loaded in one section
  // on each side: those addresses move by the block's shift, with no look-up
  // in the sections (SectionFinder::RunRva makes that exact). Where two runs
  // meet in a grain, or none, the length is 0 and Translate looks up.
  void MarkShortcuts(uint64_t baseSize) {
    struct Run {
      uint32_t oldRva, newRva;
    };
    std::vector<std::pair<size_t, Run>> runs;  // the blocks so loaded, by index
    uint64_t low = UINT64_MAX;
    uint64_t high = 0;
    for (size_t i = 0; i < byOld_.size(); ++i) {
      const OldBlock& block = byOld_[i];
      Run run{};
      if (!oldFinder_.RunRva(block.oldOffset, block.length, run.oldRva) ||
          !newFinder_.RunRva(block.newOffset, block.length, run.newRva))
        continue;
      runs.emplace_back(i, run);
      low = std::min<uint64_t>(low, run.oldRva);
      high = std::max<uint64_t>(high, uint64_t{run.oldRva} + block.length);
    }
    // Addresses far apart in a hostile table would make the table large:
    // it covers no more addresses than the base has bytes, twice over.
    if (runs.empty() || high - low > 2 * baseSize + (uint64_t{1} << kPageShift)) return;
    shortcutLow_ = low;
    shortcuts_.assign(static_cast<size_t>(((high - low) >> kGrainShift) + 1), Shortcut{});
    shortcutSpan_ = uint64_t{shortcuts_.size()} << kGrainShift;
    std::vector<uint32_t> owner(shortcuts_.size(), kNoBlock);
    for (const auto& [index, run] : runs) {
      const OldBlock& block = byOld_[index];
      const uint64_t end = uint64_t{block.oldOffset} + block.length;
      for (uint64_t grain = block.oldOffset >> kGrainShift; (grain << kGrainShift) < end; ++grain) {
        if (grainBlock_[static_cast<size_t>(grain)] != index) continue;
        // The block's bytes in this grain of the base, as loaded.
        const uint64_t from = std::max<uint64_t>(block.oldOffset, grain << kGrainShift);
        const uint64_t to = std::min<uint64_t>(end, (grain + 1) << kGrainShift);
        const uint32_t start = static_cast<uint32_t>(run.oldRva + (from - block.oldOffset));
        const uint32_t length = static_cast<uint32_t>(to - from);
        const uint64_t first = (start - low) >> kGrainShift;
        const uint64_t last = (start + uint64_t{length} - 1 - low) >> kGrainShift;
        for (uint64_t at = first; at <= last; ++at) {
          Shortcut& shortcut = shortcuts_[static_cast<size_t>(at)];
          uint32_t& by = owner[static_cast<size_t>(at)];
          if (by == kNoBlock) {
            by = static_cast<uint32_t>(index);
            shortcut = Shortcut{start, length, run.newRva - run.oldRva};
          } else if (by == index && shortcut.start + shortcut.length == start) {
            shortcut.length += length;
          } else {
            by = kManyBlocks;
            shortcut.length = 0;
          }
        }
      }
    }
  }

  struct Shortcut {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t moved = 0;  // the new address less the old, modulo 2^32
  };

  struct OldBlock {
    uint32_t oldOffset;
    uint32_t length;
    uint32_t newOffset;
    uint64_t reach;  // the furthest old end of this block and those before it
  };

  const PeLayout& old_;
  const PeLayout& new_;
  SectionFinder oldFinder_;
  SectionFinder newFinder_;
  std::vector<OldBlock> byOld_;      // the blocks by old offset
  std::vector<uint32_t> pageStart_;  // per page of the base, see above
  std::vector<uint32_t> grainBlock_;  // see MarkGrains
  std::vector<Shortcut> shortcuts_;  // see MarkShortcuts
  uint64_t shortcutLow_ = 0;
  uint64_t shortcutSpan_ = 0;  // the addresses shortcuts_ covers
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

HeadCheck CheckCodeDeltaHead(const void* data, size_t size, uint64_t expectedSize) {
  const std::string_view bytes(static_cast<const char*>(data), size);
  // A wrong magic shows in the first byte that differs.
  const size_t known = std::min(size, kCodeDeltaMagicSize);
  if (bytes.substr(0, known) != std::string_view(kCodeDeltaMagic, known)) return {true, DecodeStatus::kCorrupt};
  if (size < kCodeDeltaHeaderSize) return {};
  CodeDeltaHeader header;
  if (!ReadCodeDeltaHeader(bytes, header)) return {true, DecodeStatus::kCorrupt};
  if (header.newSize != expectedSize)
    return {true, header.newSize > expectedSize ? DecodeStatus::kTooLarge : DecodeStatus::kTooShort};
  return {true, DecodeStatus::kOk};
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
  return in.AtEnd();
}

namespace {

void Predict(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction) {
  // The blocks come sorted and apart (ReadCodeMap): the bytes are written
  // once, in order, the gaps as zeros. A map out of order (none that
  // ReadCodeMap passes) leaves the whole file zeros.
  prediction.clear();
  prediction.reserve(static_cast<size_t>(newSize));
  for (const CodeBlock& block : map.blocks) {
    if (block.newOffset < prediction.size() || uint64_t{block.newOffset} + block.length > newSize) {
      prediction.clear();
      break;
    }
    prediction.append(block.newOffset - prediction.size(), '\0');
    prediction.append(base.data() + block.oldOffset, block.length);
  }
  prediction.append(static_cast<size_t>(newSize) - prediction.size(), '\0');

  PeLayout oldLayout;
  if (!ReadPeLayout(base, oldLayout)) return;
  PeLayout newLayout;
  newLayout.wide = oldLayout.wide;
  newLayout.imageBase = map.imageBase;
  newLayout.sections = map.sections;
  const std::vector<Reference> refs = FindReferences(base, oldLayout);
  Translator translator(oldLayout, newLayout, map.blocks, base.size());
  std::vector<uint32_t> absolute;  // where the new file's absolute operands are loaded
  const auto before = [](const Reference& r, uint32_t at) { return r.offset < at; };
  auto last = refs.begin();  // the first reference of the block before
  for (const CodeBlock& block : map.blocks) {
    // The references that lie wholly inside the block's old bytes. Blocks
    // mostly follow each other in the base too: the search gallops on from
    // the block before.
    auto ref = refs.begin();
    if (last != refs.end() && last->offset <= block.oldOffset) {
      size_t step = 1;
      ref = last;
      while (static_cast<size_t>(refs.end() - ref) > step && ref[step].offset < block.oldOffset) {
        ref += step;
        step *= 2;
      }
      const size_t span = std::min(step + 1, static_cast<size_t>(refs.end() - ref));
      ref = std::lower_bound(ref, ref + static_cast<std::ptrdiff_t>(span), block.oldOffset, before);
    } else {
      ref = std::lower_bound(refs.begin(), refs.end(), block.oldOffset, before);
    }
    last = ref;
    const uint64_t oldEnd = uint64_t{block.oldOffset} + block.length;
    // A block that lies in one section on each side moved whole: a relative
    // operand between two of its bytes keeps its value, and its addresses
    // need no look-up.
    uint32_t oldRva = 0;
    uint32_t newRva = 0;
    const bool whole = translator.Loaded(block, oldRva, newRva);
    for (; ref != refs.end() && ref->offset + uint64_t{OperandWidth(ref->kind)} <= oldEnd; ++ref) {
      if (whole && ref->kind == ReferenceKind::kRelative32 && ref->target - oldRva < block.length) continue;
      const uint32_t at = block.newOffset + (ref->offset - block.oldOffset);
      // Listed in the table whether or not its target can be followed.
      uint32_t operandRva = newRva + (at - block.newOffset);
      const bool loaded = whole || translator.NewRvaOf(at, operandRva);
      if (ref->kind != ReferenceKind::kRelative32 && loaded) absolute.push_back(operandRva);
      uint32_t target = 0;
      if (!translator.Translate(ref->target, int64_t{block.newOffset} - int64_t{block.oldOffset}, target)) continue;
      char* operand = prediction.data() + at;
      switch (ref->kind) {
        case ReferenceKind::kAbsolute32:
          PutAt(operand, static_cast<uint32_t>(map.imageBase + target), 4);
          break;
        case ReferenceKind::kAbsolute64:
          PutAt(operand, map.imageBase + target, 8);
          break;
        case ReferenceKind::kRelative32:
          if (loaded) PutAt(operand, target - (operandRva + 4), 4);
          break;
      }
    }
  }
  // The blocks come in new order, so the operands are sorted but for blocks
  // that share old bytes.
  if (!std::is_sorted(absolute.begin(), absolute.end())) std::sort(absolute.begin(), absolute.end());
  absolute.erase(std::unique(absolute.begin(), absolute.end()), absolute.end());
  uint32_t tableOffset = 0;
  if (map.relocationSize > 0 && newLayout.OffsetOf(map.relocationRva, tableOffset)) {
    const std::string table = RelocationTable(absolute, oldLayout.wide);
    const uint64_t room = std::min<uint64_t>(map.relocationSize, newSize - std::min<uint64_t>(tableOffset, newSize));
    std::memcpy(prediction.data() + tableOffset, table.data(), static_cast<size_t>(std::min<uint64_t>(room, table.size())));
  }
}

}  // namespace

bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction) {
  // A size no string can take (in a 32-bit process, less than the largest
  // file a header may name) is memory that cannot be had.
  if (newSize > prediction.max_size()) return false;
  try {
    Predict(base, map, newSize, prediction);
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  std::string().swap(prediction);
  return false;
}

}  // namespace files
