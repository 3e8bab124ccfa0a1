#include "prediction_hits.h"

#include <zstd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "codecs/code_delta.h"
#include "codecs/operand_starts.h"
#include "codecs/pe_image.h"

namespace bench {
namespace {

using files::CodeBlock;
using files::Reference;
using files::ReferenceKind;

uint64_t Read(std::string_view bytes, uint64_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return value;
}

// The address an operand's bytes point to, read as the reference's kind.
bool TargetOf(std::string_view bytes, const files::PeLayout& layout, const Reference& ref, uint32_t& target) {
  const unsigned width = files::OperandWidth(ref.kind);
  const uint64_t value = Read(bytes, ref.offset, width);
  if (ref.kind != ReferenceKind::kRelative32) {
    target = static_cast<uint32_t>(value - layout.imageBase);
    return true;
  }
  uint32_t rva = 0;
  if (!layout.RvaOf(ref.offset, rva)) return false;
  target = static_cast<uint32_t>(rva + 4 + value);
  return true;
}

enum Form { kAbsolute, kBranch, kRip, kForms };
const char* const kFormNames[kForms] = {"absolute", "rel32 branch", "RIP-relative"};

Form FormOf(std::string_view bytes, const Reference& ref) {
  if (ref.kind != ReferenceKind::kRelative32) return kAbsolute;
  const auto at = [&](uint32_t back) { return static_cast<unsigned char>(bytes[ref.offset - back]); };
  if (ref.offset >= 1 && (at(1) & files::operand_forms::kCallOrJumpMask) == files::operand_forms::kCall) return kBranch;
  if (ref.offset >= 2 && at(2) == files::operand_forms::kTwoByteEscape &&
      (at(1) & files::operand_forms::kJccMask) == files::operand_forms::kJccFirst)
    return kBranch;
  return kRip;
}

enum Miss { kUnmatched, kNoBaseReference, kTargetInNoBlock, kOtherBlock, kTargetElsewhere, kMisses };
const char* const kMissNames[kMisses] = {
    "operand outside every block", "no base reference at its place", "target in no block (new bytes or none)",
    "target's block held, another chosen", "target's bytes come from elsewhere"};

struct Tally {
  uint64_t all = 0, exact = 0;
  void Add(bool hit) {
    ++all;
    exact += hit;
  }
  double Percent() const { return all ? 100.0 * double(exact) / double(all) : 0; }
};

// The block holding new bytes [offset, offset + width), or null.
const CodeBlock* BlockHolding(const std::vector<CodeBlock>& blocks, uint64_t offset, uint64_t width) {
  auto after = std::upper_bound(blocks.begin(), blocks.end(), offset,
                                [](uint64_t at, const CodeBlock& b) { return at < b.newOffset; });
  if (after == blocks.begin()) return nullptr;
  const CodeBlock& block = *(after - 1);
  return offset + width <= uint64_t{block.newOffset} + block.length ? &block : nullptr;
}

bool ReadMap(std::string_view base, std::string_view plain, std::string_view object, files::CodeMap& map,
             files::CodeDeltaHeader& header) {
  if (!files::ReadCodeDeltaHeader(object, header) || object.size() < files::kCodeDeltaHeaderSize + header.mapBytes)
    return false;
  std::string raw(header.mapRawBytes, '\0');
  const size_t got =
      ZSTD_decompress(raw.data(), raw.size(), object.data() + files::kCodeDeltaHeaderSize, header.mapBytes);
  return !ZSTD_isError(got) && got == raw.size() && files::ReadCodeMap(raw, plain.size(), base.size(), map);
}

// The addresses a relocation table's HIGHLOW and DIR64 entries name, sorted.
std::vector<uint32_t> TableEntries(std::string_view bytes, uint64_t at, uint64_t size) {
  constexpr uint32_t kHeader = 8, kHighLow = 3, kDir64 = 10;
  std::vector<uint32_t> entries;
  const uint64_t end = std::min<uint64_t>(at + size, bytes.size());
  while (at + kHeader <= end) {
    const auto page = static_cast<uint32_t>(Read(bytes, at, 4));
    const uint64_t blockSize = Read(bytes, at + 4, 4);
    if (blockSize < kHeader || blockSize > end - at) break;
    for (uint64_t entry = at + kHeader; entry + 2 <= at + blockSize; entry += 2) {
      const auto value = static_cast<uint32_t>(Read(bytes, entry, 2));
      if (value >> 12 == kHighLow || value >> 12 == kDir64) entries.push_back(page + (value & 0xFFF));
    }
    at += blockSize;
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace

void PrintPredictionHits(std::string_view base, std::string_view plain, std::string_view object) {
  files::CodeMap map;
  files::CodeDeltaHeader header;
  files::PeLayout oldLayout, newLayout;
  std::string prediction;
  if (!ReadMap(base, plain, object, map, header) || !files::ReadPeLayout(base, oldLayout) ||
      !files::ReadPeLayout(plain, newLayout) || !files::PredictNewFile(base, map, plain.size(), prediction))
    return;
  const std::vector<Reference> oldRefs = files::FindReferences(base, oldLayout);
  const std::vector<CodeBlock> blocks = files::PredictedBlocks(map, base.size());
  const std::vector<Reference> newRefs = files::FindReferences(plain, newLayout);

  Tally bySection[2][kForms] = {};  // [code?][form]
  uint64_t misses[kMisses] = {};
  uint64_t missed = 0;
  // (old target, new target, predicted exactly) of each reference repeated
  // from the base: what a correction per old target would win.
  std::vector<std::tuple<uint32_t, uint32_t, bool>> votes;
  for (const Reference& ref : newRefs) {
    const uint32_t width = files::OperandWidth(ref.kind);
    const bool hit = plain.compare(ref.offset, width, prediction, ref.offset, width) == 0;
    uint32_t rva = 0;
    const int section = newLayout.RvaOf(ref.offset, rva) ? newLayout.SectionOf(rva) : -1;
    const bool code = section >= 0 && newLayout.sections[section].executable;
    bySection[code][FormOf(plain, ref)].Add(hit);
    const CodeBlock* block = BlockHolding(blocks, ref.offset, width);
    if (!block) {
      ++misses[kUnmatched], ++missed;
      continue;
    }
    const uint32_t oldAt = block->oldOffset + (ref.offset - block->newOffset);
    const auto old = std::lower_bound(oldRefs.begin(), oldRefs.end(), oldAt,
                                      [](const Reference& r, uint32_t at) { return r.offset < at; });
    const bool repeated = old != oldRefs.end() && old->offset == oldAt && old->kind == ref.kind;
    uint32_t newTarget = 0;
    const bool known = TargetOf(plain, newLayout, ref, newTarget);
    if (repeated && known) votes.emplace_back(old->target, newTarget, hit);
    if (hit) continue;
    ++missed;
    uint32_t targetAt = 0;
    const CodeBlock* targetBlock =
        known && newLayout.OffsetOf(newTarget, targetAt) ? BlockHolding(blocks, targetAt, 1) : nullptr;
    uint32_t oldTargetAt = 0;
    if (!repeated) {
      ++misses[kNoBaseReference];
    } else if (!targetBlock) {
      ++misses[kTargetInNoBlock];
    } else if (oldLayout.OffsetOf(old->target, oldTargetAt) &&
               targetBlock->oldOffset + (targetAt - targetBlock->newOffset) == oldTargetAt) {
      ++misses[kOtherBlock];
    } else {
      ++misses[kTargetElsewhere];
    }
  }

  std::sort(votes.begin(), votes.end());
  uint64_t corrections = 0, won = 0;
  for (size_t i = 0; i < votes.size();) {
    size_t end = i;
    uint64_t hits = 0, best = 0;
    while (end < votes.size() && std::get<0>(votes[end]) == std::get<0>(votes[i])) {
      size_t same = end;
      while (same < votes.size() && std::get<0>(votes[same]) == std::get<0>(votes[i]) &&
             std::get<1>(votes[same]) == std::get<1>(votes[end])) {
        hits += std::get<2>(votes[same]);
        ++same;
      }
      best = std::max<uint64_t>(best, same - end);
      end = same;
    }
    if (best > hits) ++corrections, won += best - hits;
    i = end;
  }

  // The relocation table: its bytes where they stand, and its entries
  // wherever the prediction has them (one entry more or less shifts the
  // bytes after it, which zstd finds at a distance).
  uint64_t tableBytes = 0, tableExact = 0, entriesFound = 0;
  std::vector<uint32_t> entries;
  uint32_t tableAt = 0;
  if (newLayout.relocationSize > 0 && newLayout.OffsetOf(newLayout.relocationRva, tableAt)) {
    tableBytes = std::min<uint64_t>(newLayout.relocationSize, plain.size() - tableAt);
    for (uint64_t i = 0; i < tableBytes; ++i) tableExact += plain[tableAt + i] == prediction[tableAt + i];
    entries = TableEntries(plain, tableAt, tableBytes);
    const std::vector<uint32_t> predicted = TableEntries(prediction, tableAt, tableBytes);
    std::vector<uint32_t> common;
    std::set_intersection(entries.begin(), entries.end(), predicted.begin(), predicted.end(), std::back_inserter(common));
    entriesFound = common.size();
  }

  Tally all;
  for (const auto& forms : bySection)
    for (const Tally& t : forms) all.all += t.all, all.exact += t.exact;
  uint64_t covered = 0, filled = 0;
  for (const CodeBlock& block : blocks) covered += block.length;
  for (const CodeBlock& block : map.blocks) filled -= block.length;
  filled += covered;
  std::printf("  map: %u bytes compressed, %zu blocks and %zu gaps filled covering %.1f%% of the new file (gaps %.1f%%),"
              " %zu target corrections\n",
              header.mapBytes, map.blocks.size(), blocks.size() - map.blocks.size(),
              100.0 * double(covered) / double(plain.size()), 100.0 * double(filled) / double(plain.size()),
              map.corrections.size());
  std::printf("  references predicted exactly: %.1f%% of %" PRIu64 "\n", all.Percent(), all.all);
  const char* const kinds[2] = {"data", "code"};
  for (int code = 1; code >= 0; --code)
    for (int form = 0; form < kForms; ++form)
      if (bySection[code][form].all)
        std::printf("    %-4s %-12s %5.1f%% of %" PRIu64 "\n", kinds[code], kFormNames[form],
                    bySection[code][form].Percent(), bySection[code][form].all);
  if (tableBytes)
    std::printf("    relocation table: bytes in place %.1f%% of %" PRIu64 ", entries %.1f%% of %zu\n",
                100.0 * double(tableExact) / double(tableBytes), tableBytes,
                entries.empty() ? 0 : 100.0 * double(entriesFound) / double(entries.size()), entries.size());
  std::printf("  misses (%" PRIu64 "):", missed);
  for (int m = 0; m < kMisses; ++m)
    std::printf("%s %s %.1f%%", m ? "," : "", kMissNames[m], missed ? 100.0 * double(misses[m]) / double(missed) : 0);
  std::printf("\n  a correction per base target where the map's guess loses the vote: %" PRIu64
              " corrections, %" PRIu64 " more exact (%.1f%% of the references)\n",
              corrections, won, all.all ? 100.0 * double(won) / double(all.all) : 0);
}

}  // namespace bench
