#pragma once
// A code delta: a changed executable encoded against a prediction of it made
// from the installed file, in which the installed file's references (see
// files/pe_image.h) are moved to where they point in the new file. The object:
//   header   magic, format version, the new file's and the base's sizes, the
//            base's CRC-32, the compressed map's bytes and the map's bytes
//   map      one zstd frame: the new file's image base and section table, and
//            the blocks of the base that the new file repeats
//   residual one zstd frame of the new file with the prediction as its
//            reference prefix, decoded exactly as a delta is
// The encoder and the decoder build the prediction with the same code.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codecs/object_decoder.h"
#include "codecs/pe_image.h"

namespace files {

inline constexpr char kCodeDeltaMagic[] = "UCD\x1a";
inline constexpr size_t kCodeDeltaMagicSize = 4;
inline constexpr uint8_t kCodeDeltaVersion = 3;
inline constexpr size_t kCodeDeltaHeaderSize = 36;

struct CodeDeltaHeader {
  uint64_t newSize = 0;
  uint64_t baseSize = 0;
  uint32_t baseCrc = 0;
  uint32_t mapBytes = 0;     // the compressed map
  uint32_t mapRawBytes = 0;  // the map once decompressed
};

std::string WriteCodeDeltaHeader(const CodeDeltaHeader& header);

// The first bytes of a code delta as they arrive, checked the way the
// decoder checks its header: another magic or version, or another size
// named than expectedSize, fail at once. `complete` stays false, with kOk,
// while more bytes are needed to tell.
HeadCheck CheckCodeDeltaHead(const void* data, size_t size, uint64_t expectedSize);
// False for another magic or version, or a header shorter than its size.
bool ReadCodeDeltaHeader(std::string_view bytes, CodeDeltaHeader& header);

// A run of the new file that repeats the base's bytes, references aside.
struct CodeBlock {
  uint32_t newOffset = 0;
  uint32_t oldOffset = 0;
  uint32_t length = 0;
};

struct CodeMap {
  uint64_t imageBase = 0;
  std::vector<PeSection> sections;  // the new file's; `executable` is not kept
  uint32_t relocationRva = 0;       // the new file's relocation table, rebuilt
  uint32_t relocationSize = 0;      // in the prediction from the moved operands
  std::vector<CodeBlock> blocks;    // sorted by newOffset, never overlapping there
  // Where the bases of kBased32 operands lie in the new file, by their
  // address in the base (at most kMostCodeMapBases): read by the encoder
  // from both files' tables, as no block can say where a table starts.
  std::vector<std::pair<uint32_t, uint32_t>> bases;
};

inline constexpr size_t kMostCodeMapBases = 16;

// The map's uncompressed bytes.
std::string WriteCodeMap(const CodeMap& map);
// False unless the bytes are one whole map whose blocks are sorted, do not
// overlap in the new file, and lie inside both files; a block count the
// bytes cannot hold is refused before anything is reserved for it, and so
// are more than kMostCodeMapBases bases. Memory
// that cannot be had throws, as the standard containers do.
bool ReadCodeMap(std::string_view bytes, uint64_t newSize, uint64_t baseSize, CodeMap& map);

// The largest map the decoder takes: a map of blocks shorter than anything
// the encoder keeps would cost more than it saves.
uint64_t LargestCodeMap(uint64_t newSize);

// The prediction of the new file (newSize bytes, validated by ReadCodeMap):
// each block's bytes from the base, each reference of the base inside a
// block rewritten to point where its target moved (a relative one whose
// target lies in its own block keeps its bytes), the relocation table
// rebuilt from the absolute ones, zeros elsewhere. False
// only when the memory cannot be had, or newSize is more than a string holds.
bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction);
// The same into prediction, newSize writable bytes (a mapped file); false
// only when a table it builds on the way cannot be had.
bool PredictNewFile(std::string_view base, const CodeMap& map, char* prediction, size_t newSize);

}  // namespace files
