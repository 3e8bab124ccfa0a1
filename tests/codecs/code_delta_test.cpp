// Code deltas against hostile input: every malformed header, map or base is
// refused (or decodes to bytes the CRC refuses), never read or written out
// of bounds; and the PE reader keeps inside a file whose tables lie.
#define ZSTD_STATIC_LINKING_ONLY
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/code_delta.h"
#include "codecs/code_delta_decoder.h"
#include "codecs/pe_image.h"
#include "digests/crc32.h"
#include "files/file_system.h"

namespace {

class StringSink : public files::WritableFile {
 public:
  bool Write(const void* data, size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  void Close() override {}
  std::string bytes;
};

std::string Frame(const std::string& plain, const std::string& prefix) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  if (!prefix.empty()) ZSTD_CCtx_refPrefix(context, prefix.data(), prefix.size());
  std::string out(ZSTD_compressBound(plain.size()), '\0');
  out.resize(ZSTD_compress2(context, out.data(), out.size(), plain.data(), plain.size()));
  ZSTD_freeCCtx(context);
  return out;
}

// A base and a new file that repeats two runs of it, out of order.
struct Pair {
  std::string base;
  std::string plain;
  files::CodeMap map;
};

Pair MakePair() {
  Pair pair;
  for (int i = 0; i < 4096; ++i) pair.base.push_back(static_cast<char>((i * 7) ^ (i >> 5)));
  pair.plain = pair.base.substr(2048, 1024) + "new bytes" + pair.base.substr(0, 2048);
  pair.map.blocks = {{0, 2048, 1024}, {1033, 0, 2048}};
  return pair;
}

// The object: header, compressed map, residual against the prediction.
std::string Encode(const Pair& pair, files::CodeDeltaHeader header, const std::string& rawMap) {
  std::string prediction;
  files::PredictNewFile(pair.base, pair.map, pair.plain.size(), prediction);
  const std::string packedMap = Frame(rawMap, {});
  header.mapBytes = static_cast<uint32_t>(packedMap.size());
  if (header.mapRawBytes == 0) header.mapRawBytes = static_cast<uint32_t>(rawMap.size());
  return files::WriteCodeDeltaHeader(header) + packedMap + Frame(pair.plain, prediction);
}

files::CodeDeltaHeader HeaderOf(const Pair& pair) {
  files::CodeDeltaHeader header;
  header.newSize = pair.plain.size();
  header.baseSize = pair.base.size();
  header.baseCrc = files::Crc32Update(0, pair.base.data(), pair.base.size());
  return header;
}

files::DecodeStatus Decode(const std::string& object, const std::string& base, uint64_t size, std::string& out,
                           size_t piece = 7, std::optional<uint32_t> baseCrc = std::nullopt) {
  StringSink sink;
  // The base in a buffer of its own size, so that the address sanitizer
  // sees any read past it (a string keeps spare capacity behind its end).
  const std::vector<char> exact(base.begin(), base.end());
  files::CodeDeltaDecoder decoder(sink, size, std::string_view(exact.data(), exact.size()), baseCrc);
  for (size_t at = 0; at < object.size(); at += piece)
    if (!decoder.Feed(object.data() + at, std::min(piece, object.size() - at))) break;
  const files::DecodeStatus status = decoder.Finish();
  out = sink.bytes;
  return status;
}

TEST(CodeDelta, AWellFormedObjectDecodesToTheFileInAnyPieces) {
  const Pair pair = MakePair();
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  for (size_t piece : {size_t{1}, size_t{36}, size_t{1000}, object.size()}) {
    std::string out;
    EXPECT_EQ(Decode(object, pair.base, pair.plain.size(), out, piece), files::DecodeStatus::kOk) << piece;
    EXPECT_EQ(out, pair.plain) << piece;
  }
}

struct Hostile {
  const char* name;
  std::function<void(Pair&, files::CodeDeltaHeader&, std::string& rawMap)> before;  // changes what is encoded
  std::function<void(std::string& object)> after;                                   // changes the object's bytes
  files::DecodeStatus expected;
};

void Nothing(std::string&) {}
void NoChange(Pair&, files::CodeDeltaHeader&, std::string&) {}

// A map written with blocks as given, whatever they are.
std::function<void(Pair&, files::CodeDeltaHeader&, std::string&)> Blocks(std::vector<files::CodeBlock> blocks) {
  return [blocks](Pair& pair, files::CodeDeltaHeader&, std::string& rawMap) {
    files::CodeMap map = pair.map;
    map.blocks = blocks;
    rawMap = files::WriteCodeMap(map);
  };
}

void PutVarint(std::string& out, uint64_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>((value & 0x7F) | 0x80));
  out.push_back(static_cast<char>(value));
}

// A map whose block count is `count`, followed by no blocks at all.
std::string MapCounting(uint64_t count) {
  std::string map = files::WriteCodeMap(files::CodeMap{});
  map.resize(map.size() - 2);  // the counts of blocks and corrections, 0
  PutVarint(map, count);
  return map;
}

// The pair's map with a section table (addresses 0x1000 to 0x2000) and the
// corrections given, whatever they are.
std::function<void(Pair&, files::CodeDeltaHeader&, std::string&)> Corrections(
    std::vector<files::TargetCorrection> corrections) {
  return [corrections](Pair& pair, files::CodeDeltaHeader&, std::string& rawMap) {
    files::CodeMap map = pair.map;
    map.sections = {{0x1000, 0x1000, 0, 0x1000}};
    map.corrections = corrections;
    rawMap = files::WriteCodeMap(map);
  };
}

class CodeDeltaHostile : public testing::TestWithParam<Hostile> {};

TEST_P(CodeDeltaHostile, IsRefusedWithoutGoingOutOfBounds) {
  Pair pair = MakePair();
  files::CodeDeltaHeader header = HeaderOf(pair);
  std::string rawMap = files::WriteCodeMap(pair.map);
  GetParam().before(pair, header, rawMap);
  std::string object = Encode(MakePair(), header, rawMap);
  GetParam().after(object);
  std::string out;
  const Pair good = MakePair();
  EXPECT_EQ(Decode(object, good.base, good.plain.size(), out), GetParam().expected);
  // Never more than the listed size reaches the sink.
  EXPECT_LE(out.size(), good.plain.size());
}

const Hostile kHostile[] = {
    {"TruncatedHeader", NoChange, [](std::string& o) { o.resize(20); }, files::DecodeStatus::kTruncated},
    {"TruncatedMap", NoChange, [](std::string& o) { o.resize(files::kCodeDeltaHeaderSize + 3); },
     files::DecodeStatus::kTruncated},
    {"TruncatedResidual", NoChange, [](std::string& o) { o.resize(o.size() - 5); }, files::DecodeStatus::kTruncated},
    {"TrailingBytes", NoChange, [](std::string& o) { o += "x"; }, files::DecodeStatus::kTrailingData},
    {"WrongMagic", NoChange, [](std::string& o) { o[0] = 'X'; }, files::DecodeStatus::kCorrupt},
    {"LaterVersion", NoChange, [](std::string& o) { o[4] = files::kCodeDeltaVersion + 1; },
     files::DecodeStatus::kCorrupt},
    // An earlier format built its prediction otherwise.
    {"EarlierVersion", NoChange, [](std::string& o) { o[4] = files::kCodeDeltaVersion - 1; },
     files::DecodeStatus::kCorrupt},
    {"ReservedByteSet", NoChange, [](std::string& o) { o[5] = 1; }, files::DecodeStatus::kCorrupt},
    {"OtherBaseCrc", [](Pair&, files::CodeDeltaHeader& h, std::string&) { h.baseCrc ^= 1; }, Nothing,
     files::DecodeStatus::kCorrupt},
    {"OtherBaseSize", [](Pair&, files::CodeDeltaHeader& h, std::string&) { h.baseSize += 1; }, Nothing,
     files::DecodeStatus::kCorrupt},
    {"LargerFileNamed", [](Pair&, files::CodeDeltaHeader& h, std::string&) { h.newSize += 1; }, Nothing,
     files::DecodeStatus::kTooLarge},
    {"SmallerFileNamed", [](Pair&, files::CodeDeltaHeader& h, std::string&) { h.newSize -= 1; }, Nothing,
     files::DecodeStatus::kTooShort},
    {"HugeMapNamed", [](Pair&, files::CodeDeltaHeader& h, std::string&) { h.mapRawBytes = 0x7FFFFFFF; }, Nothing,
     files::DecodeStatus::kTooLarge},
    {"MapSizeNotTheFrame's", [](Pair&, files::CodeDeltaHeader& h, std::string& m) { h.mapRawBytes = m.size() + 1; },
     Nothing, files::DecodeStatus::kCorrupt},
    {"BlockBeyondTheNewFile", Blocks({{3000, 0, 1000}}), Nothing, files::DecodeStatus::kCorrupt},
    {"BlockBeyondTheBase", Blocks({{0, 3500, 1000}}), Nothing, files::DecodeStatus::kCorrupt},
    // A few bytes of map asking for more blocks than any memory holds.
    {"BlockCountBeyondTheMap",
     [](Pair&, files::CodeDeltaHeader&, std::string& m) { m = MapCounting(uint64_t{1} << 62); }, Nothing,
     files::DecodeStatus::kCorrupt},
    {"BlocksOverlapping", Blocks({{0, 0, 100}, {50, 0, 100}}), Nothing, files::DecodeStatus::kCorrupt},
    {"BlocksUnsorted", Blocks({{500, 0, 100}, {0, 0, 100}}), Nothing, files::DecodeStatus::kCorrupt},
    {"EmptyBlock", Blocks({{0, 0, 0}}), Nothing, files::DecodeStatus::kCorrupt},
    {"MapWithTrailingBytes", [](Pair&, files::CodeDeltaHeader&, std::string& m) { m += '\0'; }, Nothing,
     files::DecodeStatus::kCorrupt},
    {"MapCutShort", [](Pair&, files::CodeDeltaHeader&, std::string& m) { m.resize(m.size() - 1); }, Nothing,
     files::DecodeStatus::kCorrupt},
    {"CorrectionBeyondTheNewImage", Corrections({{0x1000, 0x1800}, {0x1100, 0x2000}}), Nothing,
     files::DecodeStatus::kCorrupt},
    {"CorrectionRepeated", Corrections({{0x1000, 0x1800}, {0x1000, 0x1900}}), Nothing, files::DecodeStatus::kCorrupt},
    {"CorrectionsUnsorted", Corrections({{0x1100, 0x1800}, {0x1000, 0x1900}}), Nothing, files::DecodeStatus::kCorrupt},
    // A few bytes of map asking for more corrections than any memory holds.
    {"CorrectionCountBeyondTheMap",
     [](Pair& p, files::CodeDeltaHeader&, std::string& m) {
       m = files::WriteCodeMap(p.map);
       m.pop_back();  // the count of corrections, 0
       PutVarint(m, uint64_t{1} << 62);
       m += std::string(8, '\x01');
     },
     Nothing, files::DecodeStatus::kCorrupt},
    {"TooManySections",
     [](Pair& p, files::CodeDeltaHeader&, std::string& m) {
       files::CodeMap map = p.map;
       map.sections.resize(97);
       m = files::WriteCodeMap(map);
     },
     Nothing, files::DecodeStatus::kCorrupt},
    // A map other than the one the residual was made against: the prediction
    // differs, and the frame's checksum refuses what comes out.
    {"AnotherValidMap", Blocks({{0, 0, 1024}}), Nothing, files::DecodeStatus::kCorrupt},
};

INSTANTIATE_TEST_SUITE_P(Objects, CodeDeltaHostile, testing::ValuesIn(kHostile),
                         [](const testing::TestParamInfo<Hostile>& info) {
                           std::string name = info.param.name;
                           name.erase(std::remove(name.begin(), name.end(), '\''), name.end());
                           return name;
                         });

// The map's bounds are checked before anything is taken from the base or
// reserved: a block one byte past the base's end is refused (the residual's
// checksum would refuse it too, but only after the prediction read past the
// base), and so is a count of blocks the rest of the map cannot hold,
// however large, without trying to reserve it.
TEST(CodeDelta, MapIsRefusedBeyondTheBaseOrItsOwnBytes) {
  const Pair pair = MakePair();  // a base of 4096 bytes, a file of 3081
  files::CodeMap map;
  const auto read = [&](const std::vector<files::CodeBlock>& blocks) {
    files::CodeMap written;
    written.blocks = blocks;
    return files::ReadCodeMap(files::WriteCodeMap(written), pair.plain.size(), pair.base.size(), map);
  };
  EXPECT_TRUE(read({{0, 3072, 1024}}));
  EXPECT_FALSE(read({{0, 3073, 1024}}));
  EXPECT_FALSE(read({{0, 0, 1024}, {1024, 3072, 1025}}));
  EXPECT_TRUE(read({{0, 0, 1024}, {1024, 3072, 1024}}));
  for (const uint64_t count : {uint64_t{1} << 40, uint64_t{1} << 62, ~uint64_t{0}}) {
    bool accepted = true;
    EXPECT_NO_THROW(accepted = files::ReadCodeMap(MapCounting(count), pair.plain.size(), pair.base.size(), map))
        << count;
    EXPECT_FALSE(accepted) << count;
  }
}

// A file larger than a string can hold (a 32-bit process's limit lies below
// the largest size a header names) fails the prediction; it never throws.
TEST(CodeDelta, PredictionOfAFileNoStringHoldsFails) {
  const Pair pair = MakePair();
  std::string prediction;
  bool predicted = true;
  EXPECT_NO_THROW(predicted = files::PredictNewFile(pair.base, pair.map, ~uint64_t{0}, prediction));
  EXPECT_FALSE(predicted);
}

// The head check as the download run makes it, byte by byte as the object
// arrives: a stranger fails at its first wrong byte, a good head completes.
TEST(CodeDelta, HeadIsCheckedAsItArrives) {
  const Pair pair = MakePair();
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  for (size_t size = 1; size < files::kCodeDeltaHeaderSize; ++size) {
    const files::HeadCheck check = files::CheckCodeDeltaHead(object.data(), size, pair.plain.size());
    EXPECT_FALSE(check.complete) << size;
    EXPECT_EQ(check.status, files::DecodeStatus::kOk) << size;
  }
  const files::HeadCheck whole = files::CheckCodeDeltaHead(object.data(), files::kCodeDeltaHeaderSize, pair.plain.size());
  EXPECT_TRUE(whole.complete);
  EXPECT_EQ(whole.status, files::DecodeStatus::kOk);
  EXPECT_EQ(files::CheckCodeDeltaHead("\x28\xb5", 2, pair.plain.size()).status, files::DecodeStatus::kCorrupt);
  EXPECT_EQ(files::CheckCodeDeltaHead(object.data(), object.size(), pair.plain.size() + 1).status,
            files::DecodeStatus::kTooShort);
  EXPECT_EQ(files::CheckCodeDeltaHead(object.data(), object.size(), pair.plain.size() - 1).status,
            files::DecodeStatus::kTooLarge);
}

TEST(CodeDelta, AnotherBaseOfTheSameSizeIsRefusedByItsCrc) {
  const Pair pair = MakePair();
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  std::string other = pair.base;
  other[100] ^= 1;
  std::string out;
  EXPECT_EQ(Decode(object, other, pair.plain.size(), out), files::DecodeStatus::kCorrupt);
  EXPECT_TRUE(out.empty());
  // The same when the caller names the CRC it read the other base with.
  const uint32_t otherCrc = files::Crc32Update(0, other.data(), other.size());
  EXPECT_EQ(Decode(object, other, pair.plain.size(), out, 7, otherCrc), files::DecodeStatus::kCorrupt);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Decode(object, pair.base, pair.plain.size(), out, 7, HeaderOf(pair).baseCrc), files::DecodeStatus::kOk);
  EXPECT_EQ(out, pair.plain);
}

// A small PE32 image: headers, one code section and one data section, and a
// relocation table whose place the test chooses.
struct TinyPe {
  std::string bytes = std::string(0x600, '\0');
  void Put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  }
  void Put16(size_t at, uint32_t v) {
    bytes[at] = static_cast<char>(v);
    bytes[at + 1] = static_cast<char>(v >> 8);
  }
  static constexpr size_t kPe = 0x80;
  static constexpr size_t kOptional = kPe + 24;
  static constexpr size_t kSections = kOptional + 0xE0;
  TinyPe() {
    Put16(0, 0x5A4D);
    Put32(0x3C, kPe);
    Put32(kPe, 0x4550);
    Put16(kPe + 6, 2);          // sections
    Put16(kPe + 20, 0xE0);      // optional header size
    Put16(kOptional, 0x10B);    // PE32
    Put32(kOptional + 28, 0x10000000);
    Put32(kOptional + 92, 16);  // directories
    Section(0, 0x1000, 0x200, 0x200, 0x60000020);
    Section(1, 0x2000, 0x400, 0x200, 0x40000040);
    // call to 0x1010 from 0x1000; an absolute pointer to 0x2000 at 0x1100.
    bytes[0x200] = static_cast<char>(0xE8);
    Put32(0x201, 0x1010 - 0x1005);
    Put32(0x300, 0x10002000);
    Relocations(0x2100, 12);
    Put32(0x500, 0x1000);  // page
    Put32(0x504, 12);      // block size
    Put16(0x508, 0x3000 | 0x100);
  }
  void Section(int i, uint32_t va, uint32_t raw, uint32_t size, uint32_t flags) {
    const size_t at = kSections + 40 * i;
    Put32(at + 8, size);
    Put32(at + 12, va);
    Put32(at + 16, size);
    Put32(at + 20, raw);
    Put32(at + 36, flags);
  }
  // The relocation table's directory entry: address and size.
  void Relocations(uint32_t rva, uint32_t size) {
    Put32(kOptional + 96 + 5 * 8, rva);
    Put32(kOptional + 96 + 5 * 8 + 4, size);
  }
};

TEST(PeImage, FindsTheRelocatedPointerAndTheCall) {
  TinyPe pe;
  pe.bytes.resize(0x600);
  // The relocation table lies in the data section at 0x2100 (file 0x500).
  files::PeLayout layout;
  ASSERT_TRUE(files::ReadPeLayout(pe.bytes, layout));
  const std::vector<files::Reference> refs = files::FindReferences(pe.bytes, layout);
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[0].offset, 0x201u);
  EXPECT_EQ(refs[0].kind, files::ReferenceKind::kRelative32);
  EXPECT_EQ(refs[0].target, 0x1010u);
  EXPECT_EQ(refs[1].offset, 0x300u);
  EXPECT_EQ(refs[1].kind, files::ReferenceKind::kAbsolute32);
  EXPECT_EQ(refs[1].target, 0x2000u);
}

// The finder's tables and hints never change an answer: it agrees with the
// layout's own look-ups for sections as linkers lay them out, for sections
// that overlap in the file and in memory, and for sections of many grains
// that end inside one, whatever order it is asked in.
TEST(PeImage, SectionFinderAnswersAsTheLayoutDoes) {
  files::PeLayout apart;
  apart.sections = {{0x1000, 0x180, 0x200, 0x200, true}, {0x2000, 0x900, 0x400, 0x200, false},
                    {0x3000, 0x100, 0x600, 0, false}};
  files::PeLayout overlapping;
  overlapping.sections = {{0x1000, 0x300, 0x200, 0x300, true}, {0x1100, 0x100, 0x300, 0x200, false},
                          {0xFFFFFF00, 0x200, 0x100, 0x200, false}};
  files::PeLayout large;
  large.sections = {{0x1000, 0x2345, 0x400, 0x2400, true}, {0x4000, 0x5000, 0x2800, 0x1e00, false},
                    {0x3800, 0x100, 0x2800, 0x300, false}, {0xA000, 0, 0x4600, 0x1000, false}};
  for (const files::PeLayout* layout : {&apart, &overlapping, &large}) {
    files::SectionFinder finder(*layout);
    std::vector<uint32_t> values;
    for (uint32_t v = 0; v < 0xC000; v += 7) values.push_back(v);
    for (uint32_t v = 0xC000; v >= 13; v -= 13) values.push_back(v);
    for (uint32_t v : {0xFFFFFF00u, 0xFFFFFFFFu, 0x100u, 0x2FFu}) values.push_back(v);
    for (uint32_t v : values) {
      uint32_t expected = 0, got = 0;
      const bool expectedFound = layout->OffsetOf(v, expected);
      ASSERT_EQ(finder.OffsetOf(v, got), expectedFound) << v;
      if (expectedFound) {
        EXPECT_EQ(got, expected) << v;
      }
      const bool expectedLoaded = layout->RvaOf(v, expected);
      ASSERT_EQ(finder.RvaOf(v, got), expectedLoaded) << v;
      if (expectedLoaded) {
        EXPECT_EQ(got, expected) << v;
      }
      EXPECT_EQ(finder.SectionOf(v), layout->SectionOf(v)) << v;
    }
    // A run the finder vouches for maps byte by byte as the layout does.
    for (uint32_t offset = 0; offset < 0x800; offset += 0x40) {
      for (uint32_t length : {1u, 0x40u, 0x100u, 0x200u}) {
        uint32_t rva = 0;
        if (!finder.RunRva(offset, length, rva)) continue;
        for (uint32_t i : {0u, length / 2, length - 1}) {
          uint32_t expected = 0, back = 0;
          ASSERT_TRUE(layout->RvaOf(offset + i, expected));
          EXPECT_EQ(rva + i, expected);
          ASSERT_TRUE(layout->OffsetOf(rva + i, back));
          EXPECT_EQ(back, offset + i);
        }
      }
    }
    // And a run of addresses the other way.
    for (uint32_t rva = 0; rva < 0xC000; rva += 0x180) {
      for (uint32_t length : {1u, 0x100u, 0x1000u}) {
        uint32_t offset = 0;
        if (!finder.MappedRun(rva, length, offset)) continue;
        for (uint32_t i : {0u, length / 2, length - 1}) {
          uint32_t expected = 0;
          ASSERT_TRUE(layout->OffsetOf(rva + i, expected)) << rva + i;
          EXPECT_EQ(offset + i, expected) << rva + i;
        }
      }
    }
  }
  uint32_t rva = 0;
  files::SectionFinder overlapped(overlapping);
  EXPECT_FALSE(overlapped.RunRva(0x200, 0x10, rva)) << "overlapping sections vouch for no run";
  EXPECT_FALSE(overlapped.MappedRun(0x1000, 0x10, rva)) << "overlapping sections vouch for no run";
}

// Code sections listed out of file order are scanned the same: the
// operands found do not depend on the order of the section table.
TEST(PeImage, TheSectionTablesOrderChangesNoOperand) {
  TinyPe pe;
  pe.Section(1, 0x2000, 0x400, 0x200, 0x60000020);  // code too, holding the table at its end
  uint32_t seed = 11;
  const auto next = [&seed] { return seed = seed * 1103515245 + 12345; };
  for (size_t at : {size_t{0x210}, size_t{0x400}}) {
    for (size_t i = at; i < at + 0xE0;) {
      const uint32_t kind = next() >> 16 & 3;
      if (kind == 0) {
        pe.bytes[i] = static_cast<char>(0xE8 | (next() >> 20 & 1));
        pe.Put32(i + 1, 0x1000 + (next() >> 8) % 0x1200 - static_cast<uint32_t>(i + 5 - 0x200 + 0x1000));
        i += 5;
      } else if (kind == 1) {
        pe.bytes[i] = 0x0F;
        pe.bytes[i + 1] = static_cast<char>(0x80 | (next() >> 20 & 15));
        pe.Put32(i + 2, (next() >> 12) % 0x400);
        i += 6;
      } else {
        pe.bytes[i] = static_cast<char>(next() >> 16);
        ++i;
      }
    }
  }
  files::PeLayout layout;
  ASSERT_TRUE(files::ReadPeLayout(pe.bytes, layout));
  const std::vector<files::Reference> inOrder = files::FindReferences(pe.bytes, layout);
  ASSERT_GT(inOrder.size(), 20u);
  pe.Section(0, 0x2000, 0x400, 0x200, 0x60000020);
  pe.Section(1, 0x1000, 0x200, 0x200, 0x60000020);
  ASSERT_TRUE(files::ReadPeLayout(pe.bytes, layout));
  const std::vector<files::Reference> reversed = files::FindReferences(pe.bytes, layout);
  ASSERT_EQ(reversed.size(), inOrder.size());
  for (size_t i = 0; i < inOrder.size(); ++i) {
    EXPECT_EQ(reversed[i].offset, inOrder[i].offset) << i;
    EXPECT_EQ(reversed[i].target, inOrder[i].target) << i;
    EXPECT_EQ(reversed[i].kind, inOrder[i].kind) << i;
  }
}

struct LyingPe {
  const char* name;
  std::function<void(TinyPe&)> change;
  bool layoutRead;
};

class PeImageLies : public testing::TestWithParam<LyingPe> {};

// Whatever the tables say, every reference found lies inside the file.
TEST_P(PeImageLies, NothingOutsideTheFile) {
  TinyPe pe;
  GetParam().change(pe);
  files::PeLayout layout;
  ASSERT_EQ(files::ReadPeLayout(pe.bytes, layout), GetParam().layoutRead);
  if (!GetParam().layoutRead) return;
  for (const files::Reference& ref : files::FindReferences(pe.bytes, layout))
    EXPECT_LE(ref.offset + files::OperandWidth(ref.kind), pe.bytes.size());
  for (const files::PeSection& section : layout.sections)
    EXPECT_LE(uint64_t{section.rawOffset} + section.rawSize, pe.bytes.size());
}

const LyingPe kLies[] = {
    {"NotAPeFile", [](TinyPe& p) { p.bytes.assign(0x600, 'x'); }, false},
    {"TruncatedInTheHeaders", [](TinyPe& p) { p.bytes.resize(0x90); }, false},
    {"PeHeaderBeyondTheFile", [](TinyPe& p) { p.Put32(0x3C, 0xFFFFFFF0); }, false},
    {"SectionTableBeyondTheFile", [](TinyPe& p) { p.Put16(TinyPe::kPe + 6, 90); }, false},
    {"TooManySections", [](TinyPe& p) { p.Put16(TinyPe::kPe + 6, 200); }, false},
    {"UnknownOptionalHeader", [](TinyPe& p) { p.Put16(TinyPe::kOptional, 0x107); }, false},
    {"SectionBytesBeyondTheFile", [](TinyPe& p) { p.Section(1, 0x2000, 0x400, 0x100000, 0x40000040); }, true},
    {"SectionAtTheTopOfTheAddressSpace", [](TinyPe& p) { p.Section(1, 0xFFFFFF00, 0x400, 0x200, 0x40000040); }, true},
    {"RelocationsOutsideTheFile", [](TinyPe& p) { p.Relocations(0x7FFFFFF0, 0x1000); }, true},
    {"RelocationTableLongerThanTheFile", [](TinyPe& p) { p.Relocations(0x2100, 0xFFFFFFFF); }, true},
    {"RelocationBlockLongerThanTheTable", [](TinyPe& p) { p.Put32(0x504, 0xFFFFFFF0); }, true},
    {"RelocationIntoTheLastBytes", [](TinyPe& p) { p.Put32(0x500, 0x21FE - 0x100); }, true},
    {"CallAtTheEndOfTheSection", [](TinyPe& p) { p.bytes[0x3FE] = static_cast<char>(0xE8); }, true},
};

INSTANTIATE_TEST_SUITE_P(Tables, PeImageLies, testing::ValuesIn(kLies),
                         [](const testing::TestParamInfo<LyingPe>& info) { return std::string(info.param.name); });

uint32_t Get32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The prediction writes each operand as the new layout needs it: a call
// into a block that stayed, a pointer into a block that moved with its
// section, a pointer to bytes no block repeats (the same place in the moved
// section), and the relocation table rebuilt for where the pointers now lie.
TEST(CodeDelta, PredictionPointsWhereTheNewFileDoes) {
  TinyPe pe;
  pe.Put32(0x304, 0x10002180);
  pe.Put16(0x50A, 0x3000 | 0x104);
  pe.bytes[0x250] = pe.bytes[0x390] = 'x';
  files::CodeMap map;
  map.imageBase = 0x10000000;
  // The code grows by 0x100 bytes; the data section moves to 0x3000.
  map.sections = {{0x1000, 0x300, 0x200, 0x300}, {0x3000, 0x200, 0x600, 0x200}};
  map.relocationRva = 0x3100;
  map.relocationSize = 12;
  // The call moves to 0x300 (address 0x1100), the pointers by 0x100, the
  // data's first half with its section; its second half is left out.
  map.blocks = {{0x210, 0x210, 0xF0}, {0x300, 0x200, 0x10}, {0x400, 0x300, 0x80}, {0x600, 0x400, 0x100}};
  std::string prediction;
  ASSERT_TRUE(files::PredictNewFile(pe.bytes, map, 0x800, prediction));
  ASSERT_EQ(prediction.size(), 0x800u);
  EXPECT_EQ(Get32(prediction, 0x301), 0x1010u - (0x1101 + 4));  // the call's target stayed
  EXPECT_EQ(Get32(prediction, 0x400), 0x10003000u);             // 0x2000 moved with its block
  EXPECT_EQ(Get32(prediction, 0x404), 0x10003180u);             // 0x2180, in no block
  // Between two blocks the base's bytes after the first stand in; not
  // across the end of the code section's bytes (0x500).
  EXPECT_EQ(prediction.substr(0x310, 0xF0), pe.bytes.substr(0x210, 0xF0));
  EXPECT_EQ(prediction.substr(0x480, 0x80), std::string(0x80, '\0'));
  // One page (0x1000) holding the pointers at 0x1200 and 0x1204.
  EXPECT_EQ(Get32(prediction, 0x700), 0x1000u);
  EXPECT_EQ(Get32(prediction, 0x704), 12u);
  EXPECT_EQ(Get32(prediction, 0x708), (0x3000u | 0x200) | (0x3000u | 0x204) << 16);
}

// The same when the data section lies far beyond the code, as a program's
// uninitialised data puts it: the blocks' addresses spread wider than the
// translator's table of shortcuts reaches, and the code's are taken there
// while the data's are looked up.
TEST(CodeDelta, PredictionPointsWhereTheNewFileDoesAcrossAWideGap) {
  TinyPe pe;
  pe.Section(1, 0x80000, 0x400, 0x200, 0x40000040);
  pe.Put32(0x300, 0x10080000);
  pe.Relocations(0x80100, 12);
  files::CodeMap map;
  map.imageBase = 0x10000000;
  map.sections = {{0x1000, 0x300, 0x200, 0x300}, {0x81000, 0x200, 0x600, 0x200}};
  map.relocationRva = 0x81100;
  map.relocationSize = 12;
  map.blocks = {{0x210, 0x210, 0xF0}, {0x300, 0x200, 0x10}, {0x400, 0x300, 0x80}, {0x600, 0x400, 0x100}};
  std::string prediction;
  ASSERT_TRUE(files::PredictNewFile(pe.bytes, map, 0x800, prediction));
  EXPECT_EQ(Get32(prediction, 0x301), 0x1010u - (0x1101 + 4));  // the call's target stayed
  EXPECT_EQ(Get32(prediction, 0x400), 0x10081000u);             // 0x80000 moved with its block
  EXPECT_EQ(Get32(prediction, 0x708), (0x3000u | 0x200));       // the pointer, listed where it lies
}

// Room for the prediction that held other bytes (a mapping used before)
// predicts the same: every byte of it is written, the gaps between blocks
// too. The decoder's own room in the heap is not cleared either.
TEST(CodeDelta, RoomThatHeldOtherBytesPredictsTheSame) {
  class UsedSpace : public files::PredictionSpace {
   public:
    char* Obtain(uint64_t size) override {
      room.assign(static_cast<size_t>(size), '\x5A');
      return room.data();
    }
    std::string room;
  };
  const Pair pair = MakePair();
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  UsedSpace space;
  std::string out(pair.plain.size(), '\0');
  files::CodeDeltaDecoder decoder(out.data(), out.size(), pair.base, std::nullopt, &space);
  ASSERT_TRUE(decoder.Feed(object.data(), object.size()));
  EXPECT_EQ(decoder.Finish(), files::DecodeStatus::kOk);
  EXPECT_EQ(out, pair.plain);
  std::string cleared;
  ASSERT_TRUE(files::PredictNewFile(pair.base, pair.map, pair.plain.size(), cleared));
  EXPECT_EQ(space.room, cleared);
}

// An encoder's correction sends every reference to its old target where it
// says, whatever the blocks would; the object made against that prediction
// decodes to the file.
TEST(CodeDelta, ACorrectionOverridesTheBlocksAnswer) {
  TinyPe pe;
  Pair pair;
  pair.base = pe.bytes;
  pair.map.imageBase = 0x10000000;
  pair.map.sections = {{0x1000, 0x200, 0x200, 0x200}, {0x2000, 0x200, 0x400, 0x200}};
  pair.map.relocationRva = 0x2100;
  pair.map.relocationSize = 12;
  pair.map.blocks = {{0, 0, 0x600}};
  std::string prediction;
  ASSERT_TRUE(files::PredictNewFile(pair.base, pair.map, 0x600, prediction));
  EXPECT_EQ(Get32(prediction, 0x300), 0x10002000u);
  // The pointer to 0x2000 now points 0x40 further, and so does the new file.
  pair.map.corrections = {{0x2000, 0x2040}, {0x2100, 0x2000}};
  ASSERT_TRUE(files::PredictNewFile(pair.base, pair.map, 0x600, prediction));
  EXPECT_EQ(Get32(prediction, 0x300), 0x10002040u);
  EXPECT_EQ(Get32(prediction, 0x201), 0x1010u - 0x1005);  // the call, not corrected, stays
  pair.plain = pair.base;
  pair.plain[0x300] = 0x40;
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  std::string out;
  EXPECT_EQ(Decode(object, pair.base, pair.plain.size(), out), files::DecodeStatus::kOk);
  EXPECT_EQ(out, pair.plain);
}

// A base whose tables lie still gives a prediction of the listed size, and
// the round trip holds: the prediction only ever costs size.
TEST(CodeDelta, ABaseWithLyingTablesStillRoundTrips) {
  TinyPe pe;
  pe.Relocations(0x2100, 0xFFFFFFFF);
  pe.Section(0, 0x1000, 0x200, 0xFFFFFF, 0x60000020);
  Pair pair;
  pair.base = pe.bytes;
  pair.plain = pe.bytes.substr(0x100) + pe.bytes.substr(0, 0x100);
  pair.map.blocks = {{0, 0x100, 0x500}, {0x500, 0, 0x100}};
  pair.map.sections = {{0xFFFFFFF0, 0xFFFFFFFF, 0, 0xFFFFFFFF, false}};
  const std::string object = Encode(pair, HeaderOf(pair), files::WriteCodeMap(pair.map));
  std::string out;
  EXPECT_EQ(Decode(object, pair.base, pair.plain.size(), out), files::DecodeStatus::kOk);
  EXPECT_EQ(out, pair.plain);
}

}  // namespace
