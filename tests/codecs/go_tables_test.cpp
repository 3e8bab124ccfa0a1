// Go's function table as the PE reader finds it, and as the prediction of a
// code delta moves it.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codecs/code_delta.h"
#include "codecs/go_tables.h"
#include "codecs/pe_image.h"

namespace {

constexpr uint32_t kImageBase = 0x400000;
constexpr uint32_t kHeader = 0x3000;     // the table's header, at file 0x600
constexpr uint32_t kNames = 0x3028;      // "main.a\0main.b\0"
constexpr uint32_t kUnits = 0x3040;      // two units: a.go, none
constexpr uint32_t kFiles = 0x3048;
constexpr uint32_t kPcData = 0x3050;
constexpr uint32_t kFunctions = 0x3080;  // two entries, the end, two records
constexpr uint32_t kRecord0 = 0x14;      // with one pc-value table and one function data
constexpr uint32_t kRecord1 = 0x48;
constexpr uint32_t kFunctionsSize = 0x74;
constexpr uint32_t kFunctionData = 0x3100;  // where the records end, aligned
constexpr uint32_t kModule = 0x2100;        // the module data, at file 0x500
constexpr size_t kRdata = 0x600;            // the file offset of the tables' section

// A PE32 Go program in miniature: two functions of 0x10 bytes at 0x1000
// and 0x1010, the tables in a section of their own, and in a data section
// the module data and a relocation table listing its pointer to the
// header.
struct TinyGo {
  std::string bytes = std::string(0xA00, '\0');
  void Put32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  }
  static size_t File(uint32_t rva) { return rva - kHeader + kRdata; }
  void Section(int i, uint32_t va, uint32_t raw, uint32_t size, uint32_t flags) {
    const size_t at = 0x80 + 24 + 0xE0 + 40 * i;
    Put32(at + 8, size);
    Put32(at + 12, va);
    Put32(at + 16, size);
    Put32(at + 20, raw);
    Put32(at + 36, flags);
  }
  void Module(size_t word, uint32_t v) { Put32(0x500 + 4 * word, v); }
  TinyGo() {
    Put32(0, 0x5A4D);
    Put32(0x3C, 0x80);
    Put32(0x80, 0x4550);
    Put32(0x80 + 6, 3);           // sections
    Put32(0x80 + 20, 0xE0);       // optional header size
    Put32(0x80 + 24, 0x10B);      // PE32
    Put32(0x80 + 24 + 28, kImageBase);
    Put32(0x80 + 24 + 92, 16);    // directories
    Put32(0x80 + 24 + 96 + 5 * 8, 0x2000);  // relocations
    Put32(0x80 + 24 + 96 + 5 * 8 + 4, 12);
    Section(0, 0x1000, 0x200, 0x200, 0x60000020);
    Section(1, 0x2000, 0x400, 0x200, 0x40000040);
    Section(2, kHeader, kRdata, 0x400, 0x40000040);
    for (size_t i = 0x200; i < 0x220; ++i) bytes[i] = static_cast<char>(0x90 + i % 7);  // the code
    Relocation(kModule);
    // The header: magic, quantum 1, pointer size 4, two functions, one file.
    Put32(File(kHeader), 0xFFFFFFF1);
    Put32(File(kHeader) + 4, 0x04010000);
    Put32(File(kHeader) + 8, 2);
    Put32(File(kHeader) + 12, 1);
    const uint32_t offsets[] = {kNames, kUnits, kFiles, kPcData, kFunctions};
    for (int i = 0; i < 5; ++i) Put32(File(kHeader) + 20 + 4 * i, offsets[i] - kHeader);
    bytes.replace(File(kNames), 14, std::string("main.a\0main.b\0", 14));
    Put32(File(kUnits), 0);
    Put32(File(kUnits) + 4, 0xFFFFFFFF);
    bytes.replace(File(kFiles), 5, std::string("a.go\0", 5));
    for (uint32_t i = 0; i < 0x30; ++i) bytes[File(kPcData) + i] = static_cast<char>(i * 3 + 1);
    // The function table and its records.
    const size_t table = File(kFunctions);
    Put32(table, 0);
    Put32(table + 4, kRecord0);
    Put32(table + 8, 0x10);
    Put32(table + 12, kRecord1);
    Put32(table + 16, 0x20);
    Record(kRecord0, 0, 0, 1, 1);
    Put32(table + kRecord0 + 44, 0x20);  // its pc-value table
    Put32(table + kRecord0 + 48, 0);     // its function data
    Record(kRecord1, 0x10, 7, 0, 0);
    // The module data: the header, the tables as slices, the text's bounds
    // and, further on, the function data.
    Module(0, kImageBase + kHeader);
    const uint32_t slices[][2] = {{kNames, 0x18}, {kUnits, 2}, {kFiles, 8}, {kPcData, 0x30}, {kFunctions, kFunctionsSize},
                                  {kFunctions, 3}};
    for (int i = 0; i < 6; ++i) {
      Module(1 + 3 * i, kImageBase + slices[i][0]);
      Module(2 + 3 * i, slices[i][1]);
      Module(3 + 3 * i, slices[i][1]);
    }
    Module(22, kImageBase + 0x1000);
    Module(23, kImageBase + 0x1020);
    Module(30, kImageBase + kFunctionData);
  }
  // The relocation table: one pointer, at rva.
  void Relocation(uint32_t rva) {
    Put32(0x400, rva & ~0xFFFu);
    Put32(0x404, 12);
    Put32(0x408, 0x3000 | (rva & 0xFFF));
  }
  // A record: its entry and name, pc-value tables 1, 2, 3 and the counts.
  void Record(uint32_t offset, uint32_t entry, uint32_t name, uint32_t pcData, uint8_t functionData) {
    const size_t at = File(kFunctions) + offset;
    Put32(at, entry);
    Put32(at + 4, name);
    for (uint32_t i = 0; i < 3; ++i) Put32(at + 16 + 4 * i, i + 1);
    Put32(at + 28, pcData);
    bytes[at + 43] = static_cast<char>(functionData);
  }
};

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::vector<files::Reference> BasedReferences(const std::string& file) {
  files::PeLayout layout;
  std::vector<files::Reference> based;
  if (!files::ReadPeLayout(file, layout)) return based;
  for (const files::Reference& ref : files::FindReferences(file, layout))
    if (ref.kind == files::ReferenceKind::kBased32) based.push_back(ref);
  return based;
}

// Every offset of the records and the units is found, with the byte it
// names (the function table is rebuilt, not moved).
TEST(GoTables, EveryOffsetNamesItsByte) {
  const TinyGo go;
  const std::vector<files::Reference> refs = BasedReferences(go.bytes);
  const size_t table = TinyGo::File(kFunctions);
  const std::vector<std::pair<size_t, uint32_t>> expected = {
      {TinyGo::File(kUnits), kFiles},                                   // the unit's file
      {table + kRecord0, 0x1000}, {table + kRecord0 + 4, kNames},       // the records
      {table + kRecord0 + 16, kPcData + 1}, {table + kRecord0 + 20, kPcData + 2},
      {table + kRecord0 + 24, kPcData + 3}, {table + kRecord0 + 44, kPcData + 0x20},
      {table + kRecord0 + 48, kFunctionData},
      {table + kRecord1, 0x1010}, {table + kRecord1 + 4, kNames + 7},
      {table + kRecord1 + 16, kPcData + 1}, {table + kRecord1 + 20, kPcData + 2},
      {table + kRecord1 + 24, kPcData + 3}};
  ASSERT_EQ(refs.size(), expected.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    EXPECT_EQ(refs[i].offset, expected[i].first) << i;
    EXPECT_EQ(refs[i].target, expected[i].second) << i;
  }
}

// The two functions trade places: the prediction rebuilds the function
// table sorted by the new entries and moves the records' entries.
TEST(GoTables, PredictionMovesTheEntries) {
  const TinyGo go;
  files::PeLayout layout;
  ASSERT_TRUE(files::ReadPeLayout(go.bytes, layout));
  files::CodeMap map;
  map.imageBase = kImageBase;
  map.sections = layout.sections;
  map.blocks = {{0x200, 0x210, 0x10}, {0x210, 0x200, 0x10}, {0x400, 0x400, 0x600}};
  files::GoTables tables;
  ASSERT_TRUE(files::FindGoTables(go.bytes, layout, files::FindReferences(go.bytes, layout), tables));
  for (uint32_t base : tables.Bases()) map.bases.emplace_back(base, base);
  std::string prediction;
  ASSERT_TRUE(files::PredictNewFile(go.bytes, map, go.bytes.size(), prediction));
  const size_t table = TinyGo::File(kFunctions);
  EXPECT_EQ(Get32(prediction, table), 0u);
  EXPECT_EQ(Get32(prediction, table + 4), kRecord1);
  EXPECT_EQ(Get32(prediction, table + 8), 0x10u);
  EXPECT_EQ(Get32(prediction, table + 12), kRecord0);
  EXPECT_EQ(Get32(prediction, table + kRecord0), 0x10u);
  EXPECT_EQ(Get32(prediction, table + kRecord1), 0u);
  // Without the bases in the map, the offsets keep the base's values.
  map.bases.clear();
  ASSERT_TRUE(files::PredictNewFile(go.bytes, map, go.bytes.size(), prediction));
  EXPECT_EQ(Get32(prediction, table + kRecord0), 0u);
}

struct LyingGo {
  const char* name;
  std::function<void(TinyGo&)> change;
  size_t based;  // the offsets still found
};

class GoTablesLie : public testing::TestWithParam<LyingGo> {};

// Whatever the tables say, nothing is read outside the file (the sanitizers
// watch), what is found lies inside it, and the prediction from such a
// base is made.
TEST_P(GoTablesLie, RefusedOrIgnoredInsideTheFile) {
  TinyGo go;
  GetParam().change(go);
  const std::vector<files::Reference> refs = BasedReferences(go.bytes);
  EXPECT_EQ(refs.size(), GetParam().based);
  for (const files::Reference& ref : refs) EXPECT_LE(ref.offset + 4u, go.bytes.size());
  files::PeLayout layout;
  ASSERT_TRUE(files::ReadPeLayout(go.bytes, layout));
  files::CodeMap map;
  map.sections = layout.sections;
  map.blocks = {{0, 0, static_cast<uint32_t>(go.bytes.size())}};
  map.bases = {{0x1000, 0x1000}, {kNames, kNames}, {kFiles, kFiles}, {kPcData, kPcData}, {kFunctions, kFunctions}};
  std::string prediction;
  EXPECT_TRUE(files::PredictNewFile(go.bytes, map, go.bytes.size() + 8, prediction));
}

const size_t kAll = 13;
const size_t kTable = TinyGo::File(kFunctions);
const LyingGo kLies[] = {
    {"CountBeyondTheTable", [](TinyGo& g) { g.Put32(TinyGo::File(kHeader) + 8, 0x7FFFFFF); }, 0},
    {"CountThatTheModuleRepeats",
     [](TinyGo& g) {
       g.Put32(TinyGo::File(kHeader) + 8, 40);
       g.Module(17, 41);
     },
     0},
    {"TableOffsetBeyondTheSection", [](TinyGo& g) { g.Put32(TinyGo::File(kHeader) + 36, 0x7FFFFFF0); }, 0},
    {"TableLongerThanItsSection", [](TinyGo& g) { g.Module(14, 0xFFFFFF); }, 0},
    {"ModuleNamingAnotherTable", [](TinyGo& g) { g.Module(10, kImageBase + kPcData + 4); }, 0},
    {"EntryBeyondTheText", [](TinyGo& g) { g.Put32(kTable + kRecord1, 0x5000); }, kAll - 1},
    {"TableEntryBeyondTheText", [](TinyGo& g) { g.Put32(kTable + 8, 0x5000); }, kAll},
    {"NameBeyondTheNames", [](TinyGo& g) { g.Put32(kTable + kRecord1 + 4, 0x7FFFFFFF); }, kAll - 1},
    {"PcTableNone", [](TinyGo& g) { g.Put32(kTable + kRecord1 + 16, 0); }, kAll - 1},
    {"UnitBeyondTheFiles", [](TinyGo& g) { g.Put32(TinyGo::File(kUnits), 9); }, kAll - 1},
    {"RecordBeyondTheTable", [](TinyGo& g) { g.Put32(kTable + 12, 0xFFFFFFF0); }, kAll - 5},
    {"RecordsOutOfOrder", [](TinyGo& g) { g.Put32(kTable + 12, kRecord0 + 4); }, kAll - 5},
    {"RecordInsideTheTable", [](TinyGo& g) { g.Put32(kTable + 4, 8); }, 1},
    {"PcDataCountBeyondTheTable", [](TinyGo& g) { g.Put32(kTable + kRecord0 + 28, 0xFFFFFFFF); }, kAll - 2},
    {"TableCutShort", [](TinyGo& g) { g.bytes.resize(kTable + 0x30); }, 0},
    {"ModuleInTheLastBytes",
     [](TinyGo& g) {
       g.Put32(g.bytes.size() - 4, kImageBase + kHeader);
       g.Relocation(0x3400 - 4);
     },
     0},
    {"HeaderInTheLastBytes", [](TinyGo& g) { g.Put32(g.bytes.size() - 4, 0xFFFFFFF1); }, kAll},
};

INSTANTIATE_TEST_SUITE_P(Tables, GoTablesLie, testing::ValuesIn(kLies),
                         [](const testing::TestParamInfo<LyingGo>& info) { return std::string(info.param.name); });

}  // namespace
