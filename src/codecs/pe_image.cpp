#include "codecs/pe_image.h"

#include <algorithm>

#include "codecs/operand_starts.h"

namespace files {
namespace {

// The format's fixed offsets (the DOS stub's pointer to the PE header, the
// COFF file header, the optional header's two forms, a section header).
constexpr uint32_t kDosSignature = 0x5A4D;      // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr size_t kPeHeaderPointer = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionCountField = 2;
constexpr size_t kOptionalSizeField = 16;
constexpr uint32_t kMagicPe32 = 0x10B;
constexpr uint32_t kMagicPe32Plus = 0x20B;
constexpr size_t kImageBase32Field = 28;
constexpr size_t kImageBase64Field = 24;
constexpr size_t kDirectoryCount32Field = 92;
constexpr size_t kDirectoryCount64Field = 108;
constexpr size_t kDirectories32Field = 96;
constexpr size_t kDirectories64Field = 112;
constexpr uint32_t kRelocationDirectory = 5;
constexpr size_t kDirectorySize = 8;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionVirtualSizeField = 8;
constexpr size_t kSectionAddressField = 12;
constexpr size_t kSectionRawSizeField = 16;
constexpr size_t kSectionRawOffsetField = 20;
constexpr size_t kSectionFlagsField = 36;
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionExecute = 0x20000000;
// The loader refuses more.
constexpr uint32_t kMostSections = 96;

// A relocation block: page address and block size, then 16-bit entries of
// a 4-bit type and a 12-bit offset in the page.
constexpr size_t kRelocationBlockHeader = 8;
constexpr uint32_t kRelocationHighLow = 3;
constexpr uint32_t kRelocationDir64 = 10;
constexpr uint32_t kRelocationTypeShift = 12;
constexpr uint32_t kRelocationOffsetMask = 0xFFF;

// call rel32, jmp rel32, and the two-byte jcc rel32 (0F 80 .. 0F 8F): the
// forms in files/operand_starts.h.
using namespace operand_forms;
constexpr uint32_t kRel32Width = 4;
constexpr uint64_t kCodeBytesPerOperandReserved = 16;

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

uint32_t Read16(std::string_view file, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(file[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8;
}

uint32_t Read32(std::string_view file, size_t at) { return Read16(file, at) | Read16(file, at + 2) << 16; }

uint64_t Read64(std::string_view file, size_t at) {
  return static_cast<uint64_t>(Read32(file, at)) | static_cast<uint64_t>(Read32(file, at + 4)) << 32;
}

bool Fits(std::string_view file, uint64_t at, uint64_t size) { return at <= file.size() && size <= file.size() - at; }

// The relocation table's entries with their targets, in table order.
void AddRelocations(std::string_view file, const PeLayout& layout, SectionFinder& finder, std::vector<Reference>& out) {
  const uint32_t tableRva = layout.relocationRva;
  const uint32_t tableSize = layout.relocationSize;
  uint32_t tableOffset = 0;
  if (tableSize == 0 || !layout.OffsetOf(tableRva, tableOffset)) return;
  // Two bytes an entry: the table's size bounds the entries.
  out.reserve(std::min<uint64_t>(tableSize, file.size()) / 2);
  const uint64_t end = std::min<uint64_t>(uint64_t{tableOffset} + tableSize, file.size());
  uint64_t at = tableOffset;
  while (at + kRelocationBlockHeader <= end) {
    const uint32_t page = Read32(file, at);
    const uint32_t blockSize = Read32(file, at + 4);
    if (blockSize < kRelocationBlockHeader || blockSize > end - at) return;
    // A page in one section's bytes maps to the file as one run: its
    // entries need no look-up each.
    uint32_t pageOffset = 0;
    const bool pageMapped = finder.MappedRun(page, kRelocationOffsetMask + 1, pageOffset);
    for (uint64_t entry = at + kRelocationBlockHeader; entry + 2 <= at + blockSize; entry += 2) {
      const uint32_t value = Read16(file, entry);
      const uint32_t type = value >> kRelocationTypeShift;
      if (type != kRelocationHighLow && type != kRelocationDir64) continue;
      const ReferenceKind kind = type == kRelocationHighLow ? ReferenceKind::kAbsolute32 : ReferenceKind::kAbsolute64;
      uint32_t offset = pageOffset + (value & kRelocationOffsetMask);
      if ((!pageMapped && !finder.OffsetOf(page + (value & kRelocationOffsetMask), offset)) ||
          !Fits(file, offset, OperandWidth(kind)))
        continue;
      const uint64_t address = kind == ReferenceKind::kAbsolute32 ? Read32(file, offset) : Read64(file, offset);
      const uint64_t target = kind == ReferenceKind::kAbsolute32 ? static_cast<uint32_t>(address - layout.imageBase)
                                                                  : address - layout.imageBase;
      // A target outside the image stays a reference: it is listed in the
      // table all the same, and the prediction keeps its bytes.
      if (target > UINT32_MAX) continue;
      out.push_back(Reference{offset, static_cast<uint32_t>(target), kind});
    }
    at += blockSize;
  }
}

// Sorted by offset; of two that overlap, the first stays.
void SortWithoutOverlaps(std::vector<Reference>& refs) {
  const auto before = [](const Reference& a, const Reference& b) { return a.offset < b.offset; };
  if (!std::is_sorted(refs.begin(), refs.end(), before)) std::stable_sort(refs.begin(), refs.end(), before);
  size_t kept = 0;
  uint64_t end = 0;
  for (const Reference& ref : refs) {
    if (kept > 0 && ref.offset < end) continue;
    refs[kept++] = ref;
    end = uint64_t{ref.offset} + OperandWidth(ref.kind);
  }
  refs.resize(kept);
}

// The scan marks the bytes that can start an operand this many chunks at a
// time (files/operand_starts.h), then looks at the marked ones in order.
constexpr size_t kChunksPerPass = 256;
constexpr size_t kMasksPerWord = 4;

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
    // Four masks at a time: one loop over the marks of 64 bytes.
    uint16_t masks[kChunksPerPass + kMasksPerWord] = {};
    while (end_ - chunk >= kStartChunk + kStartLookAhead) {
      const size_t chunks = static_cast<size_t>(
          std::min<uint64_t>(kChunksPerPass, (end_ - chunk - kStartLookAhead) / kStartChunk));
      MarkOperandStarts(bytes_ + chunk, chunks, layout_.wide, masks);
      for (size_t k = chunks; k < chunks + kMasksPerWord; ++k) masks[k] = 0;
      for (size_t k = 0; k < chunks; k += kMasksPerWord, chunk += kMasksPerWord * kStartChunk) {
        uint64_t marks = 0;
        for (size_t i = 0; i < kMasksPerWord; ++i) marks |= uint64_t{masks[k + i]} << (i * kStartChunk);
        for (; marks != 0; marks &= marks - 1) {
          const uint64_t position = chunk + static_cast<unsigned>(__builtin_ctzll(marks));
          if (position >= at) at = TryAt(position);
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

uint32_t OperandWidth(ReferenceKind kind) { return kind == ReferenceKind::kAbsolute64 ? 8 : 4; }

bool PeLayout::OffsetOf(uint32_t rva, uint32_t& offset) const {
  for (const PeSection& section : sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      offset = section.rawOffset + (rva - section.virtualAddress);
      return true;
    }
  }
  return false;
}

bool PeLayout::RvaOf(uint32_t offset, uint32_t& rva) const {
  for (const PeSection& section : sections) {
    if (offset >= section.rawOffset && offset - section.rawOffset < section.rawSize) {
      const uint64_t address = uint64_t{section.virtualAddress} + (offset - section.rawOffset);
      if (address > UINT32_MAX) return false;
      rva = static_cast<uint32_t>(address);
      return true;
    }
  }
  return false;
}

int PeLayout::SectionOf(uint32_t rva) const {
  for (size_t i = 0; i < sections.size(); ++i) {
    const PeSection& section = sections[i];
    if (rva >= section.virtualAddress && rva - section.virtualAddress < std::max(section.virtualSize, section.rawSize))
      return static_cast<int>(i);
  }
  return -1;
}

namespace {

constexpr unsigned kGrainShift = 9;
constexpr uint64_t kGrainBytes = uint64_t{1} << kGrainShift;
// Tables cover this much of the file and of the address space; look-ups
// beyond go through the sections.
constexpr uint64_t kGrainTableReach = uint64_t{64} << 20;
constexpr uint8_t kGrainNone = 0xFF;
constexpr uint8_t kGrainAsk = 0xFE;
static_assert(kMostSections < kGrainAsk, "a section index must not read as a grain mark");

}  // namespace

template <typename Range>
void SectionFinder::GrainTable::Paint(const std::vector<PeSection>& sections, uint64_t limit, Range range) {
  limit = std::min(limit, kGrainTableReach);
  entries.assign(static_cast<size_t>((limit + kGrainBytes - 1) >> kGrainShift), kGrainNone);
  // Backwards, so that the first section to meet a grain paints it last.
  for (size_t i = sections.size(); i-- > 0;) {
    const std::pair<uint64_t, uint64_t> bounds = range(sections[i]);
    const uint64_t begin = bounds.first;
    const uint64_t end = std::min(bounds.second, limit);
    for (uint64_t grain = begin >> kGrainShift; begin < end && grain < entries.size() && grain << kGrainShift < end;
         ++grain) {
      const bool whole = begin <= grain << kGrainShift && (grain + 1) << kGrainShift <= bounds.second;
      entries[static_cast<size_t>(grain)] = whole ? static_cast<uint8_t>(i) : kGrainAsk;
    }
  }
}

uint8_t SectionFinder::GrainTable::At(uint64_t at) const {
  const uint64_t grain = at >> kGrainShift;
  return grain < entries.size() ? entries[static_cast<size_t>(grain)] : kGrainAsk;
}

SectionFinder::SectionFinder(const PeLayout& layout) : layout_(layout) {
  const auto loadedEnd = [](const PeSection& s) { return uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.rawSize); };
  const auto storedEnd = [](const PeSection& s) { return uint64_t{s.rawOffset} + s.rawSize; };
  const std::vector<PeSection>& sections = layout.sections;
  uint64_t fileEnd = 0;
  uint64_t imageEnd = 0;
  for (size_t i = 0; i < sections.size(); ++i) {
    fileEnd = std::max(fileEnd, storedEnd(sections[i]));
    imageEnd = std::max(imageEnd, loadedEnd(sections[i]));
    for (size_t j = i + 1; j < sections.size(); ++j) {
      const PeSection& a = sections[i];
      const PeSection& b = sections[j];
      if (a.virtualAddress < loadedEnd(b) && b.virtualAddress < loadedEnd(a)) loadedApart_ = false;
      if (a.rawOffset < storedEnd(b) && b.rawOffset < storedEnd(a)) storedApart_ = false;
    }
  }
  stored_.Paint(sections, fileEnd,
                [&](const PeSection& s) { return std::make_pair(uint64_t{s.rawOffset}, storedEnd(s)); });
  mapped_.Paint(sections, imageEnd, [](const PeSection& s) {
    return std::make_pair(uint64_t{s.virtualAddress}, uint64_t{s.virtualAddress} + s.rawSize);
  });
  loaded_.Paint(sections, imageEnd,
                [&](const PeSection& s) { return std::make_pair(uint64_t{s.virtualAddress}, loadedEnd(s)); });
}

bool SectionFinder::OffsetOf(uint32_t rva, uint32_t& offset) {
  const uint8_t only = mapped_.At(rva);
  if (only == kGrainNone) return false;
  if (only == kGrainAsk) return SlowOffsetOf(rva, offset);
  const PeSection& section = layout_.sections[only];
  offset = section.rawOffset + (rva - section.virtualAddress);
  return true;
}

bool SectionFinder::RvaOf(uint32_t offset, uint32_t& rva) {
  const uint8_t only = stored_.At(offset);
  if (only == kGrainNone) return false;
  if (only == kGrainAsk) return SlowRvaOf(offset, rva);
  const PeSection& section = layout_.sections[only];
  rvaHint_ = only;
  const uint64_t address = uint64_t{section.virtualAddress} + (offset - section.rawOffset);
  if (address > UINT32_MAX) return false;
  rva = static_cast<uint32_t>(address);
  return true;
}

bool SectionFinder::MappedRun(uint32_t rva, uint32_t length, uint32_t& offset) {
  if (!loadedApart_ || !storedApart_ || length == 0) return false;
  for (const PeSection& section : layout_.sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      if (uint64_t{rva} + length > uint64_t{section.virtualAddress} + section.rawSize) return false;
      offset = section.rawOffset + (rva - section.virtualAddress);
      return true;
    }
  }
  return false;
}

int SectionFinder::SectionOf(uint32_t rva) {
  const uint8_t only = loaded_.At(rva);
  if (only == kGrainNone) return -1;
  if (only == kGrainAsk) return SlowSectionOf(rva);
  return only;
}

bool SectionFinder::SlowOffsetOf(uint32_t rva, uint32_t& offset) {
  const std::vector<PeSection>& sections = layout_.sections;
  if (loadedApart_ && offsetHint_ < sections.size()) {
    const PeSection& section = sections[offsetHint_];
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      offset = section.rawOffset + (rva - section.virtualAddress);
      return true;
    }
  }
  for (size_t i = 0; i < sections.size(); ++i) {
    const PeSection& section = sections[i];
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      offset = section.rawOffset + (rva - section.virtualAddress);
      offsetHint_ = i;
      return true;
    }
  }
  return false;
}

bool SectionFinder::SlowRvaOf(uint32_t offset, uint32_t& rva) {
  const std::vector<PeSection>& sections = layout_.sections;
  size_t found = sections.size();
  if (storedApart_ && rvaHint_ < sections.size() && offset >= sections[rvaHint_].rawOffset &&
      offset - sections[rvaHint_].rawOffset < sections[rvaHint_].rawSize) {
    found = rvaHint_;
  } else {
    for (size_t i = 0; i < sections.size() && found == sections.size(); ++i)
      if (offset >= sections[i].rawOffset && offset - sections[i].rawOffset < sections[i].rawSize) found = i;
  }
  if (found == sections.size()) return false;
  rvaHint_ = found;
  const uint64_t address = uint64_t{sections[found].virtualAddress} + (offset - sections[found].rawOffset);
  if (address > UINT32_MAX) return false;
  rva = static_cast<uint32_t>(address);
  return true;
}

bool SectionFinder::RunRva(uint32_t offset, uint32_t length, uint32_t& rva) {
  if (!loadedApart_ || !storedApart_ || length == 0 || !RvaOf(offset, rva)) return false;
  const PeSection& section = layout_.sections[rvaHint_];
  return uint64_t{offset} + length <= uint64_t{section.rawOffset} + section.rawSize &&
         uint64_t{rva} + length - 1 <= UINT32_MAX;
}

int SectionFinder::SlowSectionOf(uint32_t rva) {
  const std::vector<PeSection>& sections = layout_.sections;
  const auto holds = [rva](const PeSection& s) {
    return rva >= s.virtualAddress && rva - s.virtualAddress < std::max(s.virtualSize, s.rawSize);
  };
  if (loadedApart_ && sectionHint_ < sections.size() && holds(sections[sectionHint_]))
    return static_cast<int>(sectionHint_);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (holds(sections[i])) {
      sectionHint_ = i;
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool ReadPeLayout(std::string_view file, PeLayout& layout) {
  layout = PeLayout{};
  if (!Fits(file, 0, kPeHeaderPointer + 4) || Read16(file, 0) != kDosSignature) return false;
  const uint64_t pe = Read32(file, kPeHeaderPointer);
  if (!Fits(file, pe, 4 + kCoffHeaderSize + 2) || Read32(file, pe) != kPeSignature) return false;
  const uint64_t coff = pe + 4;
  const uint32_t sectionCount = Read16(file, coff + kSectionCountField);
  const uint64_t optional = coff + kCoffHeaderSize;
  const uint32_t optionalSize = Read16(file, coff + kOptionalSizeField);
  const uint32_t magic = Read16(file, optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) return false;
  layout.wide = magic == kMagicPe32Plus;
  const size_t directoriesField = layout.wide ? kDirectories64Field : kDirectories32Field;
  if (optionalSize < directoriesField || !Fits(file, optional, optionalSize)) return false;
  layout.imageBase = layout.wide ? Read64(file, optional + kImageBase64Field) : Read32(file, optional + kImageBase32Field);
  if (sectionCount > kMostSections) return false;
  // The relocation directory counts only when the header counts it and
  // holds it.
  const uint64_t countField = optional + (layout.wide ? kDirectoryCount64Field : kDirectoryCount32Field);
  const uint64_t entry = optional + directoriesField + kRelocationDirectory * kDirectorySize;
  if (countField + 4 <= optional + optionalSize && Read32(file, countField) > kRelocationDirectory &&
      entry + kDirectorySize <= optional + optionalSize) {
    layout.relocationRva = Read32(file, entry);
    layout.relocationSize = Read32(file, entry + 4);
  }
  const uint64_t table = optional + optionalSize;
  if (!Fits(file, table, uint64_t{sectionCount} * kSectionHeaderSize)) return false;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint64_t header = table + uint64_t{i} * kSectionHeaderSize;
    PeSection section;
    section.virtualSize = Read32(file, header + kSectionVirtualSizeField);
    section.virtualAddress = Read32(file, header + kSectionAddressField);
    section.rawSize = Read32(file, header + kSectionRawSizeField);
    section.rawOffset = Read32(file, header + kSectionRawOffsetField);
    const uint32_t flags = Read32(file, header + kSectionFlagsField);
    section.executable = (flags & (kSectionCode | kSectionExecute)) != 0;
    // A section's bytes end where the file does, whatever its header says.
    if (section.rawOffset >= file.size()) section.rawSize = 0;
    section.rawSize = static_cast<uint32_t>(std::min<uint64_t>(section.rawSize, file.size() - std::min<uint64_t>(section.rawOffset, file.size())));
    // Nor does it reach past the 32-bit address space.
    section.rawSize = static_cast<uint32_t>(std::min<uint64_t>(section.rawSize, UINT32_MAX - uint64_t{section.virtualAddress}));
    layout.sections.push_back(section);
  }
  return true;
}

std::vector<Reference> FindReferences(std::string_view file, const PeLayout& layout) {
  SectionFinder finder(layout);
  std::vector<Reference> absolute;
  AddRelocations(file, layout, finder, absolute);
  SortWithoutOverlaps(absolute);

  // The operands found take at most one byte in five of the code, and in
  // compiled code about one in thirty: room reserved for one in sixteen is
  // seldom outgrown, and pages never written are never touched.
  uint64_t scanned = 0;
  bool ascending = true;
  uint64_t previousEnd = 0;
  for (const PeSection& section : layout.sections) {
    if (!section.executable || section.rawSize == 0) continue;
    scanned += section.rawSize;
    ascending = ascending && section.rawOffset >= previousEnd;
    previousEnd = uint64_t{section.rawOffset} + section.rawSize;
  }
  const size_t room = static_cast<size_t>(std::min<uint64_t>(scanned, file.size()) / kCodeBytesPerOperandReserved);
  // Linkers lay the code out in ascending, separate ranges of the file: the
  // scan then puts the absolute operands in as it passes them, and what it
  // finds is sorted and apart as it stands.
  if (ascending) {
    std::vector<Reference> all;
    all.reserve(absolute.size() + room);
    size_t merged = 0;
    for (const PeSection& section : layout.sections)
      if (section.executable && section.rawSize > 0)
        SectionScan(file, layout, finder, section, absolute, all, &merged).Run();
    all.insert(all.end(), absolute.begin() + static_cast<std::ptrdiff_t>(merged), absolute.end());
    return all;
  }
  std::vector<Reference> relative;
  relative.reserve(room);
  for (const PeSection& section : layout.sections)
    if (section.executable && section.rawSize > 0)
      SectionScan(file, layout, finder, section, absolute, relative, nullptr).Run();
  // Sections may share file bytes; a scan's operand may then overlap another
  // section's.
  SortWithoutOverlaps(relative);
  std::vector<Reference> all(absolute.size() + relative.size());
  std::merge(absolute.begin(), absolute.end(), relative.begin(), relative.end(), all.begin(),
             [](const Reference& a, const Reference& b) { return a.offset < b.offset; });
  SortWithoutOverlaps(all);
  return all;
}

std::string RelocationTable(const std::vector<uint32_t>& operandRvas, bool wide) {
  const uint32_t type = wide ? kRelocationDir64 : kRelocationHighLow;
  // At most a header and a pad per operand besides its entry.
  std::string table(operandRvas.size() * (kRelocationBlockHeader + 4), '\0');
  size_t size = 0;
  const auto put = [&table, &size](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) table[size++] = static_cast<char>(value >> (8 * i));
  };
  for (size_t i = 0; i < operandRvas.size();) {
    const uint32_t page = operandRvas[i] & ~kRelocationOffsetMask;
    size_t end = i;
    while (end < operandRvas.size() && (operandRvas[end] & ~kRelocationOffsetMask) == page) ++end;
    const size_t count = end - i;
    const size_t padded = count + (count & 1);
    put(page, 4);
    put(static_cast<uint32_t>(kRelocationBlockHeader + 2 * padded), 4);
    for (; i < end; ++i) put(type << kRelocationTypeShift | (operandRvas[i] & kRelocationOffsetMask), 2);
    if (padded != count) put(0, 2);
  }
  table.resize(size);
  return table;
}

}  // namespace files
