// The references of a PE file: the relocation table's entries and the scan's
// operands, merged in file order. PeLayout's and SectionFinder's look-ups
// are defined here too, beside the two passes whose loops the compiler
// takes them into inline.
#include <algorithm>

#include "codecs/go_tables.h"
#include "codecs/pe_image.h"
#include "codecs/pe_image_internal.h"
#include "codecs/pe_scan.h"

namespace files {
namespace {

using namespace pe_internal;

// Room reserved for the scan's operands, one per this many bytes of code
// (see FindReferences).
constexpr uint64_t kCodeBytesPerOperandReserved = 16;

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
  // Mostly none overlap: nothing moves before the first that does.
  size_t kept = 1;
  uint64_t end = refs.empty() ? 0 : uint64_t{refs[0].offset} + OperandWidth(refs[0].kind);
  for (; kept < refs.size() && refs[kept].offset >= end; ++kept)
    end = uint64_t{refs[kept].offset} + OperandWidth(refs[kept].kind);
  if (kept >= refs.size()) return;
  for (size_t i = kept + 1; i < refs.size(); ++i) {
    const Reference& ref = refs[i];
    if (ref.offset < end) continue;
    refs[kept++] = ref;
    end = uint64_t{ref.offset} + OperandWidth(ref.kind);
  }
  refs.resize(kept);
}

// Tables cover this much of the file and of the address space; look-ups
// beyond go through the sections.
constexpr uint64_t kGrainTableReach = uint64_t{64} << 20;

}  // namespace

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

template <typename Range>
void SectionFinder::GrainTable::Paint(const std::vector<PeSection>& sections, uint64_t limit, Range range) {
  static_assert(kMostSections < kGrainAsk, "a section index must not read as a grain mark");
  constexpr uint64_t kGrainBytes = uint64_t{1} << kGrainShift;
  limit = std::min(limit, kGrainTableReach);
  entries.assign(static_cast<size_t>((limit + kGrainBytes - 1) >> kGrainShift), kGrainNone);
  // Backwards, so that the first section to meet a grain paints it last.
  for (size_t i = sections.size(); i-- > 0;) {
    const std::pair<uint64_t, uint64_t> bounds = range(sections[i]);
    const uint64_t begin = bounds.first;
    const uint64_t end = std::min(bounds.second, limit);
    if (begin >= end) continue;
    // The grains that meet [begin, end), and of them those that the whole
    // range covers: a run each, filled at once.
    const uint64_t first = begin >> kGrainShift;
    const uint64_t stop = std::min<uint64_t>(entries.size(), (end + kGrainBytes - 1) >> kGrainShift);
    if (first >= stop) continue;
    const uint64_t wholeFirst = std::max(first, (begin + kGrainBytes - 1) >> kGrainShift);
    const uint64_t wholeStop = std::min(stop, bounds.second >> kGrainShift);
    const auto at = [this](uint64_t grain) { return entries.begin() + static_cast<std::ptrdiff_t>(grain); };
    std::fill(at(first), at(stop), kGrainAsk);
    if (wholeFirst < wholeStop) std::fill(at(wholeFirst), at(wholeStop), static_cast<uint8_t>(i));
  }
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
  if (only == GrainTable::kGrainNone) return -1;
  if (only == GrainTable::kGrainAsk) return SlowSectionOf(rva);
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

std::vector<Reference> FindReferences(std::string_view file, const PeLayout& layout) {
  SectionFinder finder(layout);
  std::vector<Reference> absolute;
  AddRelocations(file, layout, finder, absolute);
  AddGoTableReferences(file, layout, absolute);
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

}  // namespace files
