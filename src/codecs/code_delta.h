#pragma once
// A code delta: a changed executable encoded against a prediction of it made
// from the installed file, in which the installed file's references (see
// files/pe_image.h) are moved to where they point in the new file. The object:
//   header   magic, format version, the new file's and the base's sizes, the
//            base's CRC-32, the compressed map's bytes and the map's bytes
//   map      one zstd frame: the new file's image base and section table, the
//            blocks of the base that the new file repeats, and the encoder's
//            corrections of where some of the base's targets went
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

// Where the references to one address of the base point in the new file,
// when the blocks would send them elsewhere: chosen by the encoder where
// the new file's references outvote the blocks' answer.
struct TargetCorrection {
  uint32_t oldTarget = 0;  // relative to the image base, as references are
  uint32_t newTarget = 0;
};

// A map holds at most one correction per this many bytes of the new file:
// ten times what the encoder has needed, and it bounds what a map can make
// the decoder hold.
inline constexpr uint64_t kNewBytesPerCorrection = 64;

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
  std::vector<TargetCorrection> corrections;  // sorted by oldTarget, each once
};

inline constexpr size_t kMostCodeMapBases = 16;

// The map's uncompressed bytes.
std::string WriteCodeMap(const CodeMap& map);
// False unless the bytes are one whole map whose blocks are sorted, do not
// overlap in the new file, and lie inside both files, whose corrections
// name each old address once and new ones inside the new file's sections,
// and that has at most kMostCodeMapBases bases; a count the bytes cannot
// hold is refused before anything is reserved for it. Memory that cannot be
// had throws, as the standard containers do.
bool ReadCodeMap(std::string_view bytes, uint64_t newSize, uint64_t baseSize, CodeMap& map);

// The largest map the decoder takes: a map of blocks shorter than anything
// the encoder keeps would cost more than it saves.
uint64_t LargestCodeMap(uint64_t newSize);

// The blocks the prediction copies: the map's, and between two of them
// whose old bytes lie apart in the same order, in one section of the new
// file and at most kLongestFill apart, the base's bytes that follow the
// first: the new bytes there are mostly the old ones between, changed.
// Sorted by new offset and apart, as the map's. References inside them are
// moved as in the map's blocks, but targets are looked up in the map's
// blocks alone: a filled gap's bytes are a guess.
inline constexpr uint32_t kLongestFill = 64 * 1024;
std::vector<CodeBlock> PredictedBlocks(const CodeMap& map, uint64_t baseSize);

// The prediction of the new file (newSize bytes, validated by ReadCodeMap):
// each predicted block's bytes from the base, each reference of the base
// inside one rewritten to point where its target moved (a relative one
// whose target lies in its own block keeps its bytes; a corrected target
// goes where its correction says), the relocation table rebuilt from the
// absolute ones, zeros elsewhere. False only when the memory cannot be had,
// or newSize is more than a string holds.
bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction);
// The same into prediction, newSize writable bytes (a mapped file); false
// only when a table it builds on the way cannot be had.
bool PredictNewFile(std::string_view base, const CodeMap& map, char* prediction, size_t newSize);

// For the encoder: a reference of the base that the prediction moved, where
// it put it and the target it gave it (none when it kept the operand's
// bytes from the base or found no target).
struct MovedReference {
  uint32_t newOffset = 0;
  uint32_t oldTarget = 0;
  uint32_t newTarget = 0;
  bool moved = false;
  ReferenceKind kind = ReferenceKind::kAbsolute32;
};
// PredictNewFile, listing what it moved in the order it did.
bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction,
                    std::vector<MovedReference>& moved);

}  // namespace files
