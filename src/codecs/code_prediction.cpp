// The prediction of a code delta's new file: the base's blocks laid out as
// the map says, their references moved to where their targets went, and the
// relocation table rebuilt.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "codecs/code_delta.h"
#include "codecs/code_translator.h"
#include "codecs/go_tables.h"

namespace files {
namespace {

// Little-endian, in 32-bit halves: the compiler makes one store of each,
// in a 32-bit build too.
void Put32(char* out, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Put64(char* out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out + 4, static_cast<uint32_t>(value >> 32));
}

// Where the new file's sections' bytes begin and end, sorted.
std::vector<uint64_t> SectionCuts(const std::vector<PeSection>& sections) {
  std::vector<uint64_t> cuts;
  for (const PeSection& section : sections) {
    if (section.rawSize == 0) continue;
    cuts.push_back(section.rawOffset);
    cuts.push_back(uint64_t{section.rawOffset} + section.rawSize);
  }
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

void Predict(std::string_view base, const CodeMap& map, size_t newSize, char* prediction,
             std::vector<MovedReference>* moved) {
  const std::vector<CodeBlock> blocks = PredictedBlocks(map, base.size());
  // The blocks come sorted and apart (ReadCodeMap): the bytes are written
  // once, in order, the gaps as zeros. A map out of order (none that
  // ReadCodeMap passes) leaves the whole file zeros.
  size_t written = 0;
  for (const CodeBlock& block : blocks) {
    if (block.newOffset < written || uint64_t{block.newOffset} + block.length > newSize) {
      written = 0;
      break;
    }
    std::memset(prediction + written, 0, block.newOffset - written);
    std::memcpy(prediction + block.newOffset, base.data() + block.oldOffset, block.length);
    written = block.newOffset + size_t{block.length};
  }
  std::memset(prediction + written, 0, newSize - written);

  PeLayout oldLayout;
  if (!ReadPeLayout(base, oldLayout)) return;
  PeLayout newLayout;
  newLayout.wide = oldLayout.wide;
  newLayout.imageBase = map.imageBase;
  newLayout.sections = map.sections;
  const std::vector<Reference> refs = FindReferences(base, oldLayout);
  // Targets through the map's blocks alone (see PredictedBlocks).
  Translator translator(oldLayout, newLayout, map.blocks, map.corrections, base.size());
  std::vector<uint32_t> absolute;  // where the new file's absolute operands are loaded
  const auto before = [](const Reference& r, uint32_t at) { return r.offset < at; };
  auto last = refs.begin();  // the first reference of the block before
  for (const CodeBlock& block : blocks) {
    // The references that lie wholly inside the block's old bytes. Blocks
    // mostly follow each other in the base too: the search gallops on from
    // the block before.
    auto ref = refs.begin();
    if (last != refs.end() && last->offset <= block.oldOffset) {
      size_t step = 1;
      ref = last;
      while (static_cast<size_t>(refs.end() - ref) > step && ref[step].offset < block.oldOffset) {
        ref += step;
        step *= 2;
      }
      const size_t span = std::min(step + 1, static_cast<size_t>(refs.end() - ref));
      ref = std::lower_bound(ref, ref + static_cast<std::ptrdiff_t>(span), block.oldOffset, before);
    } else {
      ref = std::lower_bound(refs.begin(), refs.end(), block.oldOffset, before);
    }
    last = ref;
    const uint64_t oldEnd = uint64_t{block.oldOffset} + block.length;
    // A block that lies in one section on each side moved whole: a relative
    // operand between two of its bytes keeps its value, and its addresses
    // need no look-up.
    uint32_t oldRva = 0;
    uint32_t newRva = 0;
    const bool whole = translator.Loaded(block, oldRva, newRva);
    for (; ref != refs.end() && ref->offset + uint64_t{OperandWidth(ref->kind)} <= oldEnd; ++ref) {
      if (whole && ref->kind == ReferenceKind::kRelative32 && ref->target - oldRva < block.length) continue;
      const uint32_t at = block.newOffset + (ref->offset - block.oldOffset);
      // Listed in the table whether or not its target can be followed.
      uint32_t operandRva = newRva + (at - block.newOffset);
      const bool loaded = whole || translator.NewRvaOf(at, operandRva);
      if (Relocated(ref->kind) && loaded) absolute.push_back(operandRva);
      uint32_t target = 0;
      const bool found = translator.Translate(ref->target, int64_t{block.newOffset} - int64_t{block.oldOffset}, target);
      if (moved && (loaded || ref->kind != ReferenceKind::kRelative32))
        moved->push_back(MovedReference{at, ref->target, target, found, ref->kind});
      if (!found) continue;
      char* operand = prediction + at;
      switch (ref->kind) {
        case ReferenceKind::kAbsolute32:
          Put32(operand, static_cast<uint32_t>(map.imageBase + target));
          break;
        case ReferenceKind::kAbsolute64:
          Put64(operand, map.imageBase + target);
          break;
        case ReferenceKind::kRelative32:
          if (loaded) Put32(operand, target - (operandRva + 4));
          break;
        case ReferenceKind::kBased32: {
          uint32_t newBase = 0;
          if (NewBaseOf(map.bases, base, *ref, newBase)) Put32(operand, target - newBase);
          break;
        }
      }
    }
  }
  if (!map.bases.empty())
    PredictFunctionTable(base, oldLayout, newLayout, map.bases,
                         [&translator](uint32_t from, uint32_t& to) { return translator.Translate(from, 0, to); },
                         prediction, newSize);
  // The blocks come in new order, so the operands are sorted but for blocks
  // that share old bytes.
  if (!std::is_sorted(absolute.begin(), absolute.end())) std::sort(absolute.begin(), absolute.end());
  absolute.erase(std::unique(absolute.begin(), absolute.end()), absolute.end());
  uint32_t tableOffset = 0;
  if (map.relocationSize > 0 && newLayout.OffsetOf(map.relocationRva, tableOffset)) {
    const std::string table = RelocationTable(absolute, oldLayout.wide);
    const uint64_t room = std::min<uint64_t>(map.relocationSize, newSize - std::min<uint64_t>(tableOffset, newSize));
    std::memcpy(prediction + tableOffset, table.data(), static_cast<size_t>(std::min<uint64_t>(room, table.size())));
  }
}

bool PredictGuarded(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction,
                    std::vector<MovedReference>* moved) {
  // A size no string can take (in a 32-bit process, less than the largest
  // file a header may name) is memory that cannot be had.
  if (newSize > prediction.max_size()) return false;
  try {
    prediction.clear();
    prediction.resize(static_cast<size_t>(newSize));
    if (newSize > 0) Predict(base, map, prediction.size(), prediction.data(), moved);
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  std::string().swap(prediction);
  return false;
}

}  // namespace

std::vector<CodeBlock> PredictedBlocks(const CodeMap& map, uint64_t baseSize) {
  const std::vector<uint64_t> cuts = SectionCuts(map.sections);
  std::vector<CodeBlock> blocks;
  blocks.reserve(map.blocks.size());
  for (size_t i = 0; i < map.blocks.size(); ++i) {
    const CodeBlock& block = map.blocks[i];
    blocks.push_back(block);
    if (i + 1 == map.blocks.size()) break;
    const CodeBlock& next = map.blocks[i + 1];
    const uint64_t newStart = uint64_t{block.newOffset} + block.length;
    const uint64_t oldStart = uint64_t{block.oldOffset} + block.length;
    if (next.newOffset <= newStart || next.oldOffset <= oldStart || next.newOffset - newStart > kLongestFill)
      continue;
    const auto gap = static_cast<uint32_t>(next.newOffset - newStart);
    const auto cut = std::upper_bound(cuts.begin(), cuts.end(), newStart);
    if (oldStart + gap > baseSize || (cut != cuts.end() && *cut < next.newOffset)) continue;
    blocks.push_back(CodeBlock{static_cast<uint32_t>(newStart), static_cast<uint32_t>(oldStart), gap});
  }
  return blocks;
}

bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction) {
  return PredictGuarded(base, map, newSize, prediction, nullptr);
}

bool PredictNewFile(std::string_view base, const CodeMap& map, uint64_t newSize, std::string& prediction,
                    std::vector<MovedReference>& moved) {
  moved.clear();
  return PredictGuarded(base, map, newSize, prediction, &moved);
}

bool PredictNewFile(std::string_view base, const CodeMap& map, char* prediction, size_t newSize) {
  if (newSize == 0) return true;
  try {
    Predict(base, map, newSize, prediction, nullptr);
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return false;
}

}  // namespace files
