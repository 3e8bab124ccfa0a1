// Go's function table in a PE file: its header found by magic in the
// sections that hold no code, checked against the module data that points
// to it, and the offsets of its entries and records as references.
#include "codecs/go_tables.h"

#include <algorithm>
#include <functional>

#include "codecs/pe_image_internal.h"

namespace files {
namespace {

using namespace pe_internal;

// The header's magic, little-endian: the function table's form since Go
// 1.18, and since 1.20, whose records carry a start line.
constexpr uint32_t kMagicEntryOffsets = 0xFFFFFFF0;
constexpr uint32_t kMagicStartLines = 0xFFFFFFF1;
// The header: magic, two zero bytes, the instruction size quantum and the
// pointer size; then pointer-sized words: the function count, the file
// count, the text's start, and the offsets of the tables from the header.
constexpr size_t kHeaderQuantum = 6;
constexpr size_t kHeaderPointerSize = 7;
constexpr size_t kHeaderWords = 8;
constexpr size_t kWordFunctionCount = 0;
constexpr size_t kWordNamesOffset = 3;
constexpr size_t kWordUnitsOffset = 4;
constexpr size_t kWordFilesOffset = 5;
constexpr size_t kWordPcDataOffset = 6;
constexpr size_t kWordFunctionsOffset = 7;
// The module data (runtime.moduledata) starts with a pointer to the header
// and slices (pointer, length, capacity) of the tables; the text's bounds
// follow.
constexpr size_t kModuleNames = 1;
constexpr size_t kModuleUnits = 4;
constexpr size_t kModuleFiles = 7;
constexpr size_t kModulePcData = 10;
constexpr size_t kModuleFunctions = 13;
constexpr size_t kModuleFunctionTable = 16;
constexpr size_t kModuleText = 22;
constexpr size_t kModuleTextEnd = 23;
constexpr size_t kModuleWords = 24;
// Further on, among fields that differ between Go's releases, one names
// the function data (go:func.*) that the records' function data offsets
// count from; the linker places it where the records end, aligned.
constexpr size_t kModuleWordsSearched = 64;
constexpr uint64_t kMostFunctionDataAlignment = 64;
// Headers with the magic that are looked at closer; a file with more is
// no Go program of ours to understand.
constexpr int kMostHeadersTried = 8;
// A function table entry: the entry's offset from the text and the
// record's offset from the table. The last entry, the text's end, has only
// the first.
constexpr uint32_t kEntryBytes = 8;
constexpr uint32_t kLastEntryBytes = 4;
// A function's record: entry offset, name offset, arguments, deferreturn,
// then the offsets of its stack, file and line tables, the count of its
// other pc-value tables, its unit, (a start line,) and four bytes whose
// last counts its function data; then the pc-value tables' offsets, then
// the function data's.
constexpr uint32_t kRecordEntry = 0;
constexpr uint32_t kRecordName = 4;
constexpr uint32_t kRecordFirstPcTable = 16;
constexpr uint32_t kRecordPcTables = 3;
constexpr uint32_t kRecordPcDataCount = 28;
constexpr uint32_t kRecordFixedBytes = 40;
constexpr uint32_t kStartLineBytes = 4;
// Go's linker writes a few pc-value tables per function; a record naming
// more is not read past its fixed part.
constexpr uint32_t kMostPcData = 32;
// An offset that names nothing.
constexpr uint32_t kNone = 0xFFFFFFFF;

// The bytes of one section, loaded at its address.
struct Loaded {
  uint32_t rva = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
  // The file offset of [rva, rva + size), when this section holds all of it.
  bool Holds(uint64_t at, uint64_t bytes, uint64_t& fileOffset) const {
    if (at < rva || at - rva > size || bytes > size - (at - rva)) return false;
    fileOffset = offset + (at - rva);
    return true;
  }
};

uint64_t ReadWord(std::string_view file, uint64_t at, bool wide) { return wide ? Read64(file, at) : Read32(file, at); }

// The header at `at` in `section`, checked field by field; the tables'
// addresses from it.
bool ReadHeader(std::string_view file, const Loaded& section, uint64_t at, bool wide, GoTables& tables) {
  const uint32_t word = wide ? 8 : 4;
  const uint64_t headerBytes = 8 + kHeaderWords * word;
  if (!Fits(file, at, headerBytes)) return false;
  const uint32_t magic = Read32(file, at);
  if ((magic != kMagicEntryOffsets && magic != kMagicStartLines) || file[at + 4] != 0 || file[at + 5] != 0) return false;
  const auto quantum = static_cast<uint8_t>(file[at + kHeaderQuantum]);
  if ((quantum != 1 && quantum != 2 && quantum != 4) || static_cast<uint8_t>(file[at + kHeaderPointerSize]) != word)
    return false;
  const auto field = [&](size_t i) { return ReadWord(file, at + 8 + i * word, wide); };
  const uint64_t count = field(kWordFunctionCount);
  const uint64_t headerRva = section.rva + (at - section.offset);
  // The tables follow the header in this order, inside its section.
  const size_t order[] = {kWordNamesOffset, kWordUnitsOffset, kWordFilesOffset, kWordPcDataOffset,
                          kWordFunctionsOffset};
  uint64_t previous = headerBytes;
  uint64_t ignored = 0;
  for (size_t i : order) {
    const uint64_t offset = field(i);
    if (offset < previous || offset > section.size || !section.Holds(headerRva + offset, 0, ignored)) return false;
    previous = offset;
  }
  if (count == 0 || count > (uint64_t{section.size} - (headerRva - section.rva)) / kEntryBytes) return false;
  tables.names = static_cast<uint32_t>(headerRva + field(kWordNamesOffset));
  tables.units = static_cast<uint32_t>(headerRva + field(kWordUnitsOffset));
  tables.files = static_cast<uint32_t>(headerRva + field(kWordFilesOffset));
  tables.pcData = static_cast<uint32_t>(headerRva + field(kWordPcDataOffset));
  tables.functions = static_cast<uint32_t>(headerRva + field(kWordFunctionsOffset));
  tables.functionCount = static_cast<uint32_t>(count);
  tables.recordsHaveStartLine = magic == kMagicStartLines;
  return true;
}

// The module data at file offset `at` when it points to the header at
// headerRva and agrees with it on every table; the tables' sizes and the
// text's bounds from it.
bool ReadModule(std::string_view file, const PeLayout& layout, const Loaded& section, uint64_t at,
                uint32_t headerRva, GoTables& tables) {
  const uint32_t word = layout.wide ? 8 : 4;
  if (!Fits(file, at, kModuleWords * word)) return false;
  const auto field = [&](size_t i) { return ReadWord(file, at + i * word, layout.wide); };
  const auto rva = [&](size_t i) { return field(i) - layout.imageBase; };
  if (rva(0) != headerRva) return false;
  struct Slice {
    size_t field;
    uint32_t start;
    uint32_t* size;
  };
  const Slice slices[] = {{kModuleNames, tables.names, &tables.namesSize},
                          {kModuleUnits, tables.units, &tables.unitsSize},
                          {kModuleFiles, tables.files, &tables.filesSize},
                          {kModulePcData, tables.pcData, &tables.pcDataSize},
                          {kModuleFunctions, tables.functions, &tables.functionsSize}};
  uint64_t ignored = 0;
  for (const Slice& slice : slices) {
    // The units' table is of 32-bit words, the others of bytes.
    const uint64_t length = field(slice.field + 1) * (slice.field == kModuleUnits ? 4 : 1);
    if (rva(slice.field) != slice.start || !section.Holds(slice.start, length, ignored)) return false;
    *slice.size = static_cast<uint32_t>(length);
  }
  // The function table is the start of the records' table: an entry per
  // function and one for the end of the text.
  if (rva(kModuleFunctionTable) != tables.functions || field(kModuleFunctionTable + 1) != uint64_t{tables.functionCount} + 1 ||
      uint64_t{tables.functionCount} * kEntryBytes + kLastEntryBytes > tables.functionsSize)
    return false;
  const uint64_t text = rva(kModuleText);
  const uint64_t textEnd = rva(kModuleTextEnd);
  if (text > textEnd || textEnd > UINT32_MAX || layout.SectionOf(static_cast<uint32_t>(text)) < 0) return false;
  tables.text = static_cast<uint32_t>(text);
  tables.textEnd = static_cast<uint32_t>(textEnd);
  const uint64_t recordsEnd = uint64_t{tables.functions} + tables.functionsSize;
  for (size_t i = kModuleWords; i < kModuleWordsSearched && Fits(file, at + i * word, word); ++i) {
    const uint64_t data = rva(i);
    if (data < recordsEnd || data - recordsEnd >= kMostFunctionDataAlignment ||
        data > uint64_t{section.rva} + section.size)
      continue;
    tables.functionData = static_cast<uint32_t>(data);
    tables.functionDataSize = static_cast<uint32_t>(uint64_t{section.rva} + section.size - data);
    break;
  }
  return true;
}

// Collects the offsets of the tables as references, a batch at a time:
// the vector's bookkeeping stays out of the loop over the records.
class OffsetCollector {
 public:
  OffsetCollector(std::string_view file, std::vector<Reference>& out) : file_(file), out_(out) {}
  // The 32-bit offset at file offset `at`, from base, when it names a byte
  // of [base, base + size], its end included.
  // Where 0 means none (a pc-value table), `fromOne`.
  void Add(uint64_t at, uint32_t base, uint32_t size, bool fromOne = false) {
    const uint32_t value = Read32(file_, at);
    if (value == kNone || value > size || (fromOne && value == 0)) return;
    if (found_ == kBatch) Flush();
    batch_[found_++] = Reference{static_cast<uint32_t>(at), base + value, ReferenceKind::kBased32};
  }
  // Called once the last is added.
  void Flush() {
    out_.insert(out_.end(), batch_, batch_ + found_);
    found_ = 0;
  }

 private:
  static constexpr size_t kBatch = 256;
  std::string_view file_;
  std::vector<Reference>& out_;
  Reference batch_[kBatch];
  size_t found_ = 0;
};

// The functions' records in the order of their entries. Records lie after
// the table and apart, in that order: a table that says otherwise is read
// no further, so each byte is read once.
class RecordWalk {
 public:
  struct Record {
    uint64_t at = 0;            // file offset
    uint32_t pcData = 0;        // offsets after the fixed part, when they
    uint32_t functionData = 0;  // lie in the table, else 0
  };
  RecordWalk(std::string_view file, uint64_t functions, const GoTables& tables)
      : file_(file),
        functions_(functions),
        size_(tables.functionsSize),
        recordBytes_(kRecordFixedBytes + (tables.recordsHaveStartLine ? kStartLineBytes : 0)),
        from_(uint64_t{tables.functionCount} * kEntryBytes + kLastEntryBytes) {}
  uint32_t RecordBytes() const { return recordBytes_; }
  // The record of entry i (called in order), or false.
  bool Next(uint32_t i, Record& record) {
    const uint32_t offset = Read32(file_, functions_ + uint64_t{i} * kEntryBytes + 4);
    if (offset < from_ || offset > size_ || recordBytes_ > size_ - offset) {
      from_ = UINT64_MAX;
      return false;
    }
    record.at = functions_ + offset;
    const uint32_t pcData = Read32(file_, record.at + kRecordPcDataCount);
    const uint32_t functionData = static_cast<uint8_t>(file_[record.at + recordBytes_ - 1]);
    const uint64_t extra = (uint64_t{pcData} + functionData) * 4;
    const bool whole = pcData <= kMostPcData && extra <= size_ - offset - recordBytes_;
    record.pcData = whole ? pcData : 0;
    record.functionData = whole ? functionData : 0;
    from_ = uint64_t{offset} + recordBytes_ + (whole ? extra : 0);
    return true;
  }

 private:
  std::string_view file_;
  uint64_t functions_;
  uint32_t size_;
  uint32_t recordBytes_;
  uint64_t from_;  // where the next record may start, from the table
};

void AddTables(std::string_view file, const Loaded& section, const GoTables& tables, std::vector<Reference>& out) {
  OffsetCollector collect(file, out);
  const uint32_t textSize = tables.textEnd - tables.text;
  // The units' offsets into the file names.
  uint64_t units = 0;
  if (section.Holds(tables.units, tables.unitsSize, units))
    for (uint64_t at = units; at + 4 <= units + tables.unitsSize; at += 4) collect.Add(at, tables.files, tables.filesSize);
  uint64_t functions = 0;
  if (!section.Holds(tables.functions, tables.functionsSize, functions)) {
    collect.Flush();
    return;
  }
  // The function table's own entries are left out: the prediction rebuilds
  // the table whole (PredictFunctionTable).
  RecordWalk walk(file, functions, tables);
  RecordWalk::Record record;
  for (uint32_t i = 0; i < tables.functionCount; ++i) {
    if (!walk.Next(i, record)) continue;
    collect.Add(record.at + kRecordEntry, tables.text, textSize);
    collect.Add(record.at + kRecordName, tables.names, tables.namesSize);
    for (uint64_t k = 0; k < kRecordPcTables; ++k)
      collect.Add(record.at + kRecordFirstPcTable + 4 * k, tables.pcData, tables.pcDataSize, true);
    uint64_t at = record.at + walk.RecordBytes();
    for (uint32_t k = 0; k < record.pcData; ++k, at += 4) collect.Add(at, tables.pcData, tables.pcDataSize, true);
    if (tables.functionData == 0) continue;
    for (uint32_t k = 0; k < record.functionData; ++k, at += 4)
      collect.Add(at, tables.functionData, tables.functionDataSize);
  }
  collect.Flush();
}

// The section holding an address's bytes, when no code is in it.
bool DataSection(const PeLayout& layout, uint32_t rva, Loaded& loaded) {
  for (const PeSection& section : layout.sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
      loaded = Loaded{section.virtualAddress, section.rawOffset, section.rawSize};
      return !section.executable;
    }
  }
  return false;
}

}  // namespace

std::vector<uint32_t> GoTables::Bases() const { return {text, names, files, pcData, functions, functionData}; }

bool FindGoTables(std::string_view file, const PeLayout& layout, const std::vector<Reference>& refs, GoTables& tables) {
  int tried = 0;
  for (const PeSection& section : layout.sections) {
    if (section.executable || section.rawSize < 8) continue;
    const Loaded loaded{section.virtualAddress, section.rawOffset, section.rawSize};
    // Go aligns the header to at least four bytes; sections start aligned.
    for (uint64_t at = section.rawOffset; at + 8 <= uint64_t{section.rawOffset} + section.rawSize; at += 4) {
      // Either magic, then the two zero bytes after it.
      if ((Read32(file, at) | 1) != kMagicStartLines || Read16(file, at + 4) != 0) continue;
      GoTables found;
      if (!ReadHeader(file, loaded, at, layout.wide, found)) continue;
      if (++tried > kMostHeadersTried) return false;
      const uint32_t headerRva = static_cast<uint32_t>(loaded.rva + (at - loaded.offset));
      for (const Reference& ref : refs) {
        if (ref.target != headerRva || ref.kind != (layout.wide ? ReferenceKind::kAbsolute64 : ReferenceKind::kAbsolute32))
          continue;
        if (ReadModule(file, layout, loaded, ref.offset, headerRva, found)) {
          tables = found;
          return true;
        }
      }
    }
  }
  return false;
}

void AddGoTableReferences(std::string_view file, const PeLayout& layout, std::vector<Reference>& refs) {
  GoTables tables;
  if (!FindGoTables(file, layout, refs, tables)) return;
  Loaded section;
  if (!DataSection(layout, tables.functions, section)) return;
  const auto byOffset = [](const Reference& a, const Reference& b) { return a.offset < b.offset; };
  if (!std::is_sorted(refs.begin(), refs.end(), byOffset)) std::stable_sort(refs.begin(), refs.end(), byOffset);
  // Each offset is a word of the units' table or the function table's:
  // room for all of them, of which pages never written are never touched.
  const size_t before = refs.size();
  refs.reserve(before + (uint64_t{tables.unitsSize} + tables.functionsSize) / 4);
  AddTables(file, section, tables, refs);
  const auto middle = refs.begin() + static_cast<std::ptrdiff_t>(before);
  if (middle == refs.end()) return;
  if (!std::is_sorted(middle, refs.end(), byOffset)) std::stable_sort(middle, refs.end(), byOffset);
  // Tables hold no pointers: the relocated operands after the first offset
  // mostly lie after the last, and the two runs merge by a rotation.
  const auto from = std::upper_bound(refs.begin(), middle, *middle, byOffset);
  if (from == middle || refs.back().offset < from->offset)
    std::rotate(from, middle, refs.end());
  else
    std::inplace_merge(from, middle, refs.end(), byOffset);
}

void PredictFunctionTable(std::string_view base, const PeLayout& oldLayout, const PeLayout& newLayout,
                          const std::vector<std::pair<uint32_t, uint32_t>>& bases,
                          const std::function<bool(uint32_t, uint32_t&)>& move, char* prediction,
                          uint64_t predictionSize) {
  // The header lies just before the names, which start where it ends: the
  // map's bases name the base's tables, and the header is read again only
  // for the count.
  if (bases.size() <= kFunctionsBase) return;
  const uint32_t headerBytes = 8 + kHeaderWords * (oldLayout.wide ? 8 : 4);
  const uint32_t headerRva = bases[kNamesBase].first - headerBytes;
  GoTables old;
  Loaded section;
  uint64_t header = 0;
  uint64_t table = 0;
  uint32_t at = 0;
  if (!DataSection(oldLayout, headerRva, section) || !section.Holds(headerRva, headerBytes, header) ||
      !ReadHeader(base, section, header, oldLayout.wide, old) || old.names != bases[kNamesBase].first ||
      old.functions != bases[kFunctionsBase].first ||
      !section.Holds(old.functions, uint64_t{old.functionCount} * kEntryBytes + kLastEntryBytes, table) ||
      !newLayout.OffsetOf(bases[kFunctionsBase].second, at))
    return;
  old.text = bases[kTextBase].first;
  const uint32_t newText = bases[kTextBase].second;
  const uint32_t newFunctions = bases[kFunctionsBase].second;
  std::vector<std::pair<uint32_t, uint32_t>> entries;  // entry and record offsets
  entries.reserve(old.functionCount);
  for (uint32_t i = 0; i < old.functionCount; ++i) {
    uint32_t entry = 0;
    uint32_t record = 0;
    if (move(old.text + Read32(base, table + uint64_t{i} * kEntryBytes), entry) &&
        move(old.functions + Read32(base, table + uint64_t{i} * kEntryBytes + 4), record))
      entries.emplace_back(entry - newText, record - newFunctions);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  uint32_t end = 0;
  const bool endMoved = move(old.text + Read32(base, table + uint64_t{old.functionCount} * kEntryBytes), end);
  const auto put = [prediction, predictionSize](uint64_t to, uint32_t value) {
    if (to + 4 > predictionSize) return false;
    for (int i = 0; i < 4; ++i) prediction[static_cast<size_t>(to + i)] = static_cast<char>(value >> (8 * i));
    return true;
  };
  uint64_t to = at;
  for (const auto& [entry, record] : entries) {
    if (!put(to, entry) || !put(to + 4, record)) return;
    to += kEntryBytes;
  }
  if (endMoved) put(to, end - newText);
}

}  // namespace files
