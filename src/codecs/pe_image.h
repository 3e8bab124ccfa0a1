#pragma once
// What a code delta needs to know of a Windows executable (PE32 or PE32+):
// its layout and the 32- and 64-bit operands that point into it. Read from
// untrusted bytes: every offset is checked against the file before it is
// read, and the work is linear in the file's size. The result is the same
// for the same bytes on every platform, since the decoder repeats it on the
// installed file that the encoder read.
#include <cstdint>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

namespace files {

struct PeSection {
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  bool executable = false;
};

struct PeLayout {
  bool wide = false;  // PE32+
  uint64_t imageBase = 0;
  std::vector<PeSection> sections;  // in header order
  // The base relocation table's directory entry; 0 and 0 without one.
  uint32_t relocationRva = 0;
  uint32_t relocationSize = 0;

  // The file offset that holds the byte at rva, or false when none does.
  bool OffsetOf(uint32_t rva, uint32_t& offset) const;
  // The address the byte at a file offset is loaded at, or false.
  bool RvaOf(uint32_t offset, uint32_t& rva) const;
  // The index of the section whose loaded range holds rva, or -1.
  int SectionOf(uint32_t rva) const;
};

// PeLayout's look-ups, with the same answers, for many addresses in a row:
// tables of 512-byte grains name the section that alone answers for a
// whole grain; elsewhere the section of the last answer is tried first.
// That is exact when no two sections overlap, as linkers lay them out; when
// some do, the look-up goes through the table in order as PeLayout's does.
class SectionFinder {
 public:
  explicit SectionFinder(const PeLayout& layout);
  // Inline: the prediction asks for each of its references.
  bool OffsetOf(uint32_t rva, uint32_t& offset) {
    const uint8_t only = mapped_.At(rva);
    if (only == GrainTable::kGrainNone) return false;
    if (only == GrainTable::kGrainAsk) return SlowOffsetOf(rva, offset);
    const PeSection& section = layout_.sections[only];
    offset = section.rawOffset + (rva - section.virtualAddress);
    return true;
  }
  bool RvaOf(uint32_t offset, uint32_t& rva) {
    const uint8_t only = stored_.At(offset);
    if (only == GrainTable::kGrainNone) return false;
    if (only == GrainTable::kGrainAsk) return SlowRvaOf(offset, rva);
    const PeSection& section = layout_.sections[only];
    rvaHint_ = only;
    const uint64_t address = uint64_t{section.virtualAddress} + (offset - section.rawOffset);
    if (address > UINT32_MAX) return false;
    rva = static_cast<uint32_t>(address);
    return true;
  }
  int SectionOf(uint32_t rva);
  // True when the bytes [offset, offset + length) lie in one section's, no
  // two sections overlap (in the file or loaded) and the addresses fit in
  // 32 bits: each byte i of them is then loaded at rva + i, and OffsetOf
  // of that address gives the byte back.
  bool RunRva(uint32_t offset, uint32_t length, uint32_t& rva);
  // The same the other way: true when the addresses [rva, rva + length)
  // lie in one section's bytes and no two sections overlap; OffsetOf of
  // each address i of them is then offset + i.
  bool MappedRun(uint32_t rva, uint32_t length, uint32_t& offset);

 private:
  // One entry per grain: the index of the first section that meets the
  // grain when it covers all of it, kGrainNone when none meets it, else
  // kGrainAsk.
  struct GrainTable {
    static constexpr unsigned kGrainShift = 9;
    static constexpr uint8_t kGrainNone = 0xFF;
    static constexpr uint8_t kGrainAsk = 0xFE;
    std::vector<uint8_t> entries;
    template <typename Range>
    void Paint(const std::vector<PeSection>& sections, uint64_t limit, Range range);
    // Offsets and addresses are 32-bit: the grain is found without 64-bit
    // arithmetic, which a 32-bit build pays for in the prediction's loops.
    uint8_t At(uint32_t at) const {
      const uint32_t grain = at >> kGrainShift;
      return grain < entries.size() ? entries[grain] : kGrainAsk;
    }
  };
  bool SlowOffsetOf(uint32_t rva, uint32_t& offset);
  bool SlowRvaOf(uint32_t offset, uint32_t& rva);
  int SlowSectionOf(uint32_t rva);

  const PeLayout& layout_;
  GrainTable stored_;  // by file offset, the sections' bytes
  GrainTable mapped_;  // by address, the sections' bytes as loaded
  GrainTable loaded_;  // by address, the sections' whole loaded ranges
  bool loadedApart_ = true;  // no two sections' loaded ranges overlap
  bool storedApart_ = true;  // nor their bytes in the file
  size_t offsetHint_ = 0;
  size_t rvaHint_ = 0;
  size_t sectionHint_ = 0;
};

enum class ReferenceKind : uint8_t {
  kAbsolute32,  // image base + target, listed as HIGHLOW by the relocation table
  kAbsolute64,  // the same, DIR64
  kRelative32,  // target - (address after the operand): call, jmp, jcc, x64 RIP-relative
  kBased32,     // target - a base the operand's table counts from (Go's tables, codecs/go_tables.h)
};

// Whether the relocation table lists operands of the kind.
inline bool Relocated(ReferenceKind kind) {
  return kind == ReferenceKind::kAbsolute32 || kind == ReferenceKind::kAbsolute64;
}

// The operand's bytes: 8 for kAbsolute64, else 4.
inline uint32_t OperandWidth(ReferenceKind kind) { return kind == ReferenceKind::kAbsolute64 ? 8 : 4; }

struct Reference {
  uint32_t offset = 0;  // the operand's file offset
  uint32_t target = 0;  // the address it points to, relative to the image base
  ReferenceKind kind = ReferenceKind::kAbsolute32;
};

// The layout of a PE file; false when the bytes are no PE file this reader
// takes (a section table outside the file, more sections than the format
// allows, an unknown optional header).
bool ReadPeLayout(std::string_view file, PeLayout& layout);

// The operands of a PE file, sorted by offset and never overlapping: the
// relocation table's entries, a Go program's table offsets, then
// call/jmp/jcc operands found by scanning the executable sections whose
// target lies in an executable section (and on x64 RIP-relative operands
// of common instructions whose target lies in the image). The
// scan is a guess; a wrong one costs size, never correctness.
std::vector<Reference> FindReferences(std::string_view file, const PeLayout& layout);

// A base relocation table as linkers write it, for absolute operands at the
// given addresses (sorted, no duplicates): one block per 4 KiB page, each
// padded to a multiple of four bytes.
std::string RelocationTable(const std::vector<uint32_t>& operandRvas, bool wide);

}  // namespace files
