#include "updpub/packing/code_delta_encoder.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "codecs/code_delta.h"
#include "codecs/go_tables.h"
#include "codecs/pe_image.h"
#include "digests/crc32.h"
#include "updpub/packing/block_matcher.h"
#include "updpub/packing/object_codec.h"
#include "updpub/packing/target_corrections.h"

namespace updpub {
namespace {

// The map is small and read once; its level costs nothing worth measuring.
constexpr int kMapLevel = 19;

// A copy with every operand's bytes zeroed: what is left matches across a
// rebuild wherever the code did not change.
std::string Masked(std::string_view file, const std::vector<files::Reference>& refs) {
  std::string masked(file);
  for (const files::Reference& ref : refs) {
    const uint32_t width = files::OperandWidth(ref.kind);
    masked.replace(ref.offset, width, width, '\0');
  }
  return masked;
}

// Where the sections' bytes begin and end, sorted.
std::vector<uint32_t> SectionCuts(const files::PeLayout& layout) {
  std::vector<uint32_t> cuts;
  for (const files::PeSection& section : layout.sections) {
    if (section.rawSize == 0) continue;
    cuts.push_back(section.rawOffset);
    cuts.push_back(section.rawOffset + section.rawSize);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

// Where the bases of a Go program's table offsets lie in each file, when
// both are Go programs whose tables are read.
std::vector<std::pair<uint32_t, uint32_t>> GoTableBases(std::string_view base, const files::PeLayout& baseLayout,
                                                        const std::vector<files::Reference>& baseRefs,
                                                        std::string_view plain, const files::PeLayout& layout,
                                                        const std::vector<files::Reference>& plainRefs) {
  files::GoTables older;
  files::GoTables newer;
  if (!files::FindGoTables(base, baseLayout, baseRefs, older) || !files::FindGoTables(plain, layout, plainRefs, newer))
    return {};
  const std::vector<uint32_t> from = older.Bases();
  const std::vector<uint32_t> to = newer.Bases();
  std::vector<std::pair<uint32_t, uint32_t>> bases;
  // A base one file lacks (the function data's, not found) is listed from
  // 0, which no offset counts from.
  for (size_t i = 0; i < from.size() && i < files::kMostCodeMapBases; ++i)
    bases.emplace_back(from[i] != 0 && to[i] != 0 ? from[i] : 0, to[i]);
  return bases;
}

}  // namespace

bool IsCodeFile(std::string_view file) {
  files::PeLayout layout;
  return files::ReadPeLayout(file, layout) && !layout.sections.empty();
}

bool EncodeCodeDelta(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error,
                     const EncodeProgress& progress) {
  files::PeLayout layout;
  if (!files::ReadPeLayout(plain, layout)) {
    error = "not an executable";
    return false;
  }
  // Refused before the matching, which takes long on a file this large.
  if (plain.size() > kLargestCodeDeltaFile) {
    error = "the file is over " + std::to_string(kLargestCodeDeltaFile >> 20) +
            " MiB, beyond the window the updater decodes with";
    return false;
  }
  if (base.size() > UINT32_MAX) {
    error = "a base beyond 4 GiB";
    return false;
  }
  files::CodeMap map;
  map.imageBase = layout.imageBase;
  map.sections = layout.sections;
  map.relocationRva = layout.relocationRva;
  map.relocationSize = layout.relocationSize;
  files::PeLayout baseLayout;
  const bool basePe = files::ReadPeLayout(base, baseLayout);
  const std::vector<files::Reference> baseRefs = basePe ? files::FindReferences(base, baseLayout)
                                                        : std::vector<files::Reference>();
  const std::vector<files::Reference> plainRefs = files::FindReferences(plain, layout);
  map.blocks = MatchBlocks(Masked(base, baseRefs), Masked(plain, plainRefs),
                           basePe ? SectionCuts(baseLayout) : std::vector<uint32_t>(), SectionCuts(layout));
  if (basePe) map.bases = GoTableBases(base, baseLayout, baseRefs, plain, layout, plainRefs);
  // The prediction as the blocks make it, then corrected where the new
  // file's references outvote it.
  std::string prediction;
  std::vector<files::MovedReference> moved;
  if (!files::PredictNewFile(base, map, plain.size(), prediction, moved)) {
    error = "out of memory";
    return false;
  }
  map.corrections = ChooseCorrections(plain, layout, moved);
  std::vector<files::MovedReference>().swap(moved);
  if (!map.corrections.empty() && !files::PredictNewFile(base, map, plain.size(), prediction)) {
    error = "out of memory";
    return false;
  }
  const std::string rawMap = files::WriteCodeMap(map);
  std::string residual;
  if (!EncodeResidual(plain, prediction, level, residual, error, progress)) return false;

  std::string packedMap(ZSTD_compressBound(rawMap.size()), '\0');
  const size_t mapBytes = ZSTD_compress(packedMap.data(), packedMap.size(), rawMap.data(), rawMap.size(), kMapLevel);
  if (ZSTD_isError(mapBytes)) {
    error = std::string("zstd: ") + ZSTD_getErrorName(mapBytes);
    return false;
  }
  packedMap.resize(mapBytes);

  files::CodeDeltaHeader header;
  header.newSize = plain.size();
  header.baseSize = base.size();
  header.baseCrc = files::Crc32Update(0, base.data(), base.size());
  header.mapBytes = static_cast<uint32_t>(packedMap.size());
  header.mapRawBytes = static_cast<uint32_t>(rawMap.size());
  out = files::WriteCodeDeltaHeader(header) + packedMap + residual;
  return true;
}

}  // namespace updpub
