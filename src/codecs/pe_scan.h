#pragma once
// The reference scan of one executable section: call, jmp and jcc operands
// and, on x64, RIP-relative ones. A part of pe_references.cpp kept apart:
// only that file includes it. Its names have internal linkage, as they had
// there, so that the compiler inlines into the scan's loop as it did; and
// the loop takes SectionFinder's look-ups inline from that file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codecs/operand_starts.h"
#include "codecs/pe_image.h"
#include "codecs/pe_image_internal.h"

namespace files {
namespace {

using pe_internal::Read32;

// call rel32, jmp rel32, and the two-byte jcc rel32 (0F 80 .. 0F 8F): the
// forms in files/operand_starts.h.
using namespace operand_forms;
constexpr uint32_t kRel32Width = 4;

// On x64, data is reached through RIP-relative operands: a ModRM byte with
// mod 00 and r/m 101, then a 32-bit displacement from the next instruction.
// The opcodes taken here have no immediate after it, so the instruction
// ends with the operand, as a call's does.
constexpr unsigned char kRipOneByte[] = {0x01, 0x03, 0x09, 0x0B, 0x21, 0x23, 0x29, 0x2B, 0x31,
                                         0x33, 0x39, 0x3B, 0x85, 0x87, 0x89, 0x8B, 0x8D, 0xFF};
constexpr unsigned char kRipTwoByte[] = {0x10, 0x11, 0x28, 0x29, 0x2E, 0x2F, 0x6F, 0x7F, 0xB6, 0xB7, 0xBE, 0xBF};

// The first pass marks only the opcodes of its families: one taken here
// outside them would never be looked at.
constexpr bool AllInFamilies() {
  for (unsigned char op : kRipOneByte)
    if ((op & kAluMask) != kAlu && (op & kMoveMask) != kMove && op != kGroupFive) return false;
  return true;
}
static_assert(AllInFamilies(), "a RIP-relative opcode the first pass does not mark");

struct OpcodeTable {
  bool oneByte[256] = {};
  bool twoByte[256] = {};
};

const OpcodeTable& RipOpcodes() {
  static const OpcodeTable table = [] {
    OpcodeTable t;
    for (unsigned char op : kRipOneByte) t.oneByte[op] = true;
    for (unsigned char op : kRipTwoByte) t.twoByte[op] = true;
    return t;
  }();
  return table;
}

// The offset of a RIP-relative operand of the instruction at `at`, or 0.
uint64_t RipOperand(const OpcodeTable& table, const unsigned char* bytes, uint64_t at, uint64_t end) {
  uint64_t p = at;
  if ((bytes[p] & kRexMask) == kRex) ++p;
  if (p + 1 >= end) return 0;
  uint64_t modRm = 0;
  if (table.oneByte[bytes[p]]) {
    modRm = p + 1;
  } else if (bytes[p] == kTwoByteEscape && p + 2 < end && table.twoByte[bytes[p + 1]]) {
    modRm = p + 2;
  } else {
    return 0;
  }
  return (bytes[modRm] & kModRmMask) == kRipRelative ? modRm + 1 : 0;
}

// The scan marks the bytes that can start an operand this many chunks at a
// time (files/operand_starts.h), then looks at the marked ones in order.
constexpr size_t kChunksPerPass = 256;
constexpr size_t kMasksPerWord = 4;
constexpr size_t kMasksPerHalf = 2;
static_assert(kMasksPerHalf * kStartChunk == 32, "two masks make a 32-bit word");

// call/jmp/jcc operands of one executable section whose target is code, and
// on x64 RIP-relative ones whose target lies in the image, between the
// absolute ones (sorted) that they must not overlap. From each position on,
// the first that holds one is taken and the scan goes on after its operand.
class SectionScan {
 public:
  // With `merged`, the absolute operands before each one found are put in
  // out_ first, from *merged on.
  SectionScan(std::string_view file, const PeLayout& layout, SectionFinder& finder, const PeSection& section,
              const std::vector<Reference>& absolute, std::vector<Reference>& out, size_t* merged)
      : file_(file),
        bytes_(reinterpret_cast<const unsigned char*>(file.data())),
        layout_(layout),
        finder_(finder),
        table_(RipOpcodes()),
        begin_(section.rawOffset),
        end_(uint64_t{section.rawOffset} + section.rawSize),
        virtualAddress_(section.virtualAddress),
        ownStart_(section.virtualAddress),
        ownSize_(std::max(section.virtualSize, section.rawSize)),
        absolute_(absolute),
        out_(out),
        merged_(merged) {
    next_ = static_cast<size_t>(
        std::lower_bound(absolute.begin(), absolute.end(), section.rawOffset,
                         [](const Reference& ref, uint32_t at) { return ref.offset + OperandWidth(ref.kind) <= at; }) -
        absolute.begin());
    NoteNext();
    NoteMerged();
  }

  void Run() {
    uint64_t at = begin_;
    uint64_t chunk = begin_;
    // Four masks at a time: the marks of 64 bytes.
    uint16_t masks[kChunksPerPass + kMasksPerWord] = {};
    while (end_ - chunk >= kStartChunk + kStartLookAhead) {
      const size_t chunks = static_cast<size_t>(
          std::min<uint64_t>(kChunksPerPass, (end_ - chunk - kStartLookAhead) / kStartChunk));
      MarkOperandStarts(bytes_ + chunk, chunks, layout_.wide, masks);
      for (size_t k = chunks; k < chunks + kMasksPerWord; ++k) masks[k] = 0;
      for (size_t k = 0; k < chunks; k += kMasksPerWord, chunk += kMasksPerWord * kStartChunk) {
        // In 32-bit halves, in order: a 32-bit build counts a 64-bit
        // word's trailing zeros by a call.
        for (size_t half = 0; half < kMasksPerWord; half += kMasksPerHalf) {
          uint32_t marks = masks[k + half] | uint32_t{masks[k + half + 1]} << kStartChunk;
          for (; marks != 0; marks &= marks - 1) {
            const uint64_t position = chunk + half * kStartChunk + static_cast<unsigned>(__builtin_ctz(marks));
            if (position >= at) at = TryAt(position);
          }
        }
      }
      // The last word may hold fewer chunks than four.
      chunk -= (kMasksPerWord - 1 - (chunks - 1) % kMasksPerWord) * kStartChunk;
    }
    // The last bytes, too few for a chunk and what it reads after it, one
    // by one.
    for (at = std::max(at, chunk); at < end_;) at = TryAt(at);
    Flush();
  }

 private:
  // The position the scan goes on from after looking at `at`.
  __attribute__((always_inline)) uint64_t TryAt(uint64_t at) {
    const unsigned char byte = bytes_[at];
    uint64_t operand = 0;
    bool data = false;  // a RIP-relative operand: its target may be any section
    if ((byte & kCallOrJumpMask) == kCall) {
      operand = at + 1;
    } else if (byte == kTwoByteEscape && at + 1 < end_ && (bytes_[at + 1] & kJccMask) == kJccFirst) {
      operand = at + 2;
    } else if (layout_.wide && (operand = RipOperand(table_, bytes_, at, end_)) != 0) {
      data = true;
    } else {
      return at + 1;
    }
    if (absoluteEnd_ <= at) SkipAbsolutesBefore(at);
    const uint64_t operandEnd = operand + kRel32Width;
    if (operandEnd > end_ || absoluteStart_ < operandEnd) return at + 1;
    const uint32_t operandRva = virtualAddress_ + static_cast<uint32_t>(operand - begin_);
    const uint32_t target = operandRva + kRel32Width + Read32(file_, operand);
    // Targets mostly lie in the scanned section itself: it is tried first.
    if (target - ownStart_ >= ownSize_ && !InOtherSection(target, data)) return at + 1;
    if (merged_ && mergedStart_ < operand) MergeAbsolutesBefore(operand);
    Put(Reference{static_cast<uint32_t>(operand), target, ReferenceKind::kRelative32});
    return operandEnd;
  }

  bool InOtherSection(uint32_t target, bool data) {
    const int section = finder_.SectionOf(target);
    return section >= 0 && (data || layout_.sections[section].executable);
  }

  // The absolute operand next_ names is the first that ends after `at`.
  void SkipAbsolutesBefore(uint64_t at) {
    while (next_ < absolute_.size() && absolute_[next_].offset + uint64_t{OperandWidth(absolute_[next_].kind)} <= at)
      ++next_;
    NoteNext();
  }
  void NoteNext() {
    absoluteStart_ = next_ < absolute_.size() ? absolute_[next_].offset : UINT64_MAX;
    absoluteEnd_ = next_ < absolute_.size() ? absoluteStart_ + OperandWidth(absolute_[next_].kind) : UINT64_MAX;
  }

  void MergeAbsolutesBefore(uint64_t operand) {
    while (*merged_ < absolute_.size() && absolute_[*merged_].offset < operand) Put(absolute_[(*merged_)++]);
    NoteMerged();
  }
  void NoteMerged() { mergedStart_ = merged_ && *merged_ < absolute_.size() ? absolute_[*merged_].offset : UINT64_MAX; }

  // What the scan finds goes to out_ a batch at a time, so that the
  // vector's growth stays out of the loop.
  void Put(const Reference& ref) {
    if (found_ == kFoundBatch) Flush();
    batch_[found_++] = ref;
  }
  void Flush() {
    out_.insert(out_.end(), batch_, batch_ + found_);
    found_ = 0;
  }

  const std::string_view file_;
  const unsigned char* const bytes_;
  const PeLayout& layout_;
  SectionFinder& finder_;
  const OpcodeTable& table_;
  const uint64_t begin_;
  const uint64_t end_;
  const uint32_t virtualAddress_;
  const uint32_t ownStart_;
  const uint32_t ownSize_;
  static constexpr size_t kFoundBatch = 256;
  const std::vector<Reference>& absolute_;
  size_t next_ = 0;
  uint64_t absoluteStart_ = 0;  // where absolute_[next_] lies, or UINT64_MAX
  uint64_t absoluteEnd_ = 0;
  uint64_t mergedStart_ = 0;  // where absolute_[*merged_] lies, or UINT64_MAX
  Reference batch_[kFoundBatch];
  size_t found_ = 0;
  std::vector<Reference>& out_;
  size_t* const merged_;  // the absolute operands already put in out_, or null
};


}  // namespace
}  // namespace files
