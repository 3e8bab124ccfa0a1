// The PE format's own structures: the layout, read from the headers, the
// section table and the relocation table's directory entry; and a base
// relocation table, written as linkers write it.
#include <algorithm>

#include "codecs/pe_image.h"
#include "codecs/pe_image_internal.h"

namespace files {
namespace {

using namespace pe_internal;

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

}  // namespace

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
