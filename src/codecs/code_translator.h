#pragma once
// The translator behind a code delta's prediction, a part of
// code_prediction.cpp kept apart: only that file includes it. Its names have
// internal linkage, as they had there, since the compiler takes the whole
// class into the prediction's loop only so.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "codecs/code_delta.h"
#include "codecs/pe_image.h"

namespace files {
namespace {

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

// The encoder's target corrections, found by old address in a table open
// to probing, at most half full: most references find an empty slot at once.
class Corrections {
 public:
  explicit Corrections(const std::vector<TargetCorrection>& list) {
    if (list.empty()) return;
    unsigned bits = 1;
    while ((size_t{1} << bits) < list.size() * 2) ++bits;
    slots_.assign(size_t{1} << bits, Slot{});
    mask_ = slots_.size() - 1;
    shift_ = 32 - bits;
    // The one address no reference is corrected at marks an empty slot.
    for (const TargetCorrection& c : list) {
      if (c.oldTarget == kEmptySlot) continue;
      size_t at = Hash(c.oldTarget) & mask_;
      while (slots_[at].oldTarget != kEmptySlot) at = (at + 1) & mask_;
      slots_[at] = Slot{c.oldTarget, c.newTarget};
      Mark(c.oldTarget);
    }
    // The probe below answers for this address too (an empty slot's new
    // address): the filter lets it through as before.
    Mark(kEmptySlot);
  }

  bool Find(uint32_t oldTarget, uint32_t& newTarget) const {
    if (slots_.empty()) return false;
    // Most addresses have no correction: a bit clear in the filter tells so
    // without a probe, whose branches the processor cannot foretell.
    const uint32_t bit = FilterBit(oldTarget);
    if ((filter_[bit / 32] >> (bit % 32) & 1) == 0) return false;
    for (size_t at = Hash(oldTarget) & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if (slot.oldTarget == oldTarget) {
        newTarget = slot.newTarget;
        return true;
      }
      if (slot.oldTarget == kEmptySlot) return false;
    }
  }

 private:
  static constexpr uint32_t kEmptySlot = UINT32_MAX;
  static constexpr uint32_t kHashMix = 0x9E3779B1;
  // The product's high bits: a multiplicative hash.
  size_t Hash(uint32_t address) const { return static_cast<uint32_t>(address * kHashMix) >> shift_; }
  // The filter: one bit per hash of the addresses corrected, small enough
  // to stay in the first-level cache.
  static constexpr unsigned kFilterBitsLog = 16;
  static uint32_t FilterBit(uint32_t address) {
    return static_cast<uint32_t>(address * kHashMix) >> (32 - kFilterBitsLog);
  }
  void Mark(uint32_t address) {
    if (filter_.empty()) filter_.assign((size_t{1} << kFilterBitsLog) / 32, 0);
    const uint32_t bit = FilterBit(address);
    filter_[bit / 32] |= uint32_t{1} << (bit % 32);
  }
  struct Slot {
    uint32_t oldTarget = kEmptySlot;
    uint32_t newTarget = 0;
  };
  std::vector<Slot> slots_;
  std::vector<uint32_t> filter_;  // 32-bit words: cheap in a 32-bit process too
  size_t mask_ = 0;
  unsigned shift_ = 31;
};

// Where the base's references point in the new file.
class Translator {
 public:
  Translator(const PeLayout& oldLayout, const PeLayout& newLayout, const std::vector<CodeBlock>& blocks,
             const std::vector<TargetCorrection>& corrections, uint64_t baseSize)
      : old_(oldLayout), new_(newLayout), oldFinder_(oldLayout), newFinder_(newLayout), corrections_(corrections) {
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

  // The new address of an old one: where the encoder's correction says,
  // else through a block that repeats its byte,
  // else at the same distance into the section of the same place in the
  // table (uninitialised data has no bytes to match). Of several blocks
  // that repeat it, the one that moved most like the referring block
  // (`shift`, its new offset less its old one) wins: code that moved
  // together tends to point within itself.
  bool Translate(uint32_t oldTarget, int64_t shift, uint32_t& newTarget) {
    if (corrections_.Find(oldTarget, newTarget)) return true;
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

  // Of the runs (block index, addresses), the stretch [low, high) of at
  // most `reach` addresses whose runs, each wholly inside, hold the most
  // bytes, ties to the lowest; false when no run fits in any.
  template <typename Runs>
  bool WidestStretch(const Runs& runs, uint64_t reach, uint64_t& low, uint64_t& high) const {
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // start, end
    spans.reserve(runs.size());
    for (const auto& [index, run] : runs) spans.emplace_back(run.oldRva, uint64_t{run.oldRva} + byOld_[index].length);
    std::sort(spans.begin(), spans.end());
    // From each start, the bytes of the runs that start within reach: a
    // bound on what the stretch holds, compared, then made exact below.
    uint64_t best = 0;
    size_t bestFirst = spans.size();
    uint64_t held = 0;
    for (size_t first = 0, last = 0; first < spans.size(); held -= spans[first].second - spans[first].first, ++first) {
      for (; last < spans.size() && spans[last].first < spans[first].first + reach; ++last)
        held += spans[last].second - spans[last].first;
      if (held > best) {
        best = held;
        bestFirst = first;
      }
    }
    if (bestFirst == spans.size()) return false;
    low = spans[bestFirst].first;
    high = low;
    for (size_t i = bestFirst; i < spans.size() && spans[i].first < low + reach; ++i)
      if (spans[i].second <= low + reach) high = std::max(high, spans[i].second);
    return high > low;
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
    for (size_t i = 0; i < byOld_.size(); ++i) {
      const OldBlock& block = byOld_[i];
      Run run{};
      if (!oldFinder_.RunRva(block.oldOffset, block.length, run.oldRva) ||
          !newFinder_.RunRva(block.newOffset, block.length, run.newRva))
        continue;
      runs.emplace_back(i, run);
    }
    // Addresses far apart in a hostile table would make the table large:
    // it covers no more addresses than the base has bytes, twice over.
    // Where the runs spread wider (a program whose uninitialised data lies
    // between its sections), it covers the stretch of that reach that holds
    // the most of their bytes; the others are looked up. Each shortcut
    // answers as the look-up would, so which runs it holds changes only
    // the time.
    uint64_t low = 0;
    uint64_t high = 0;
    if (!WidestStretch(runs, 2 * baseSize + (uint64_t{1} << kPageShift), low, high)) return;
    shortcutLow_ = low;
    shortcuts_.assign(static_cast<size_t>(((high - low) >> kGrainShift) + 1), Shortcut{});
    shortcutSpan_ = uint64_t{shortcuts_.size()} << kGrainShift;
    std::vector<uint32_t> owner(shortcuts_.size(), kNoBlock);
    for (const auto& [index, run] : runs) {
      const OldBlock& block = byOld_[index];
      if (run.oldRva < low || uint64_t{run.oldRva} + block.length > high) continue;
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
  Corrections corrections_;
  std::vector<OldBlock> byOld_;      // the blocks by old offset
  std::vector<uint32_t> pageStart_;  // per page of the base, see above
  std::vector<uint32_t> grainBlock_;  // see MarkGrains
  std::vector<Shortcut> shortcuts_;  // see MarkShortcuts
  uint64_t shortcutLow_ = 0;
  uint64_t shortcutSpan_ = 0;  // the addresses shortcuts_ covers
};

}  // namespace
}  // namespace files
