#include "updpub/packing/code_delta_encoder.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "codecs/code_delta.h"
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

}  // namespace

bool IsCodeFile(std::string_view file) {
  files::PeLayout layout;
  return files::ReadPeLayout(file, layout) && !layout.sections.empty();
}

bool EncodeCodeDelta(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error) {
  files::PeLayout layout;
  if (!files::ReadPeLayout(plain, layout)) {
    error = "not an executable";
    return false;
  }
  // Refused before the matching, which takes long on a file this large.
  if (plain.size() > kLargestCodeDeltaFile) {
    error = "the file is over " + std::to_string(kLargestCodeDeltaFile >> 20) +
            " MiB: with the prediction as large as the file it exceeds the window a 32-bit updater can decode with";
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
  map.blocks = MatchBlocks(Masked(base, baseRefs), Masked(plain, files::FindReferences(plain, layout)),
                           basePe ? SectionCuts(baseLayout) : std::vector<uint32_t>(), SectionCuts(layout));
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
  if (!EncodeResidual(plain, prediction, level, residual, error)) return false;

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
