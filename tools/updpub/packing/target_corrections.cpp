#include "updpub/packing/target_corrections.h"

#include <algorithm>
#include <cstdint>

namespace updpub {
namespace {

// A correction costs a few bytes of the map: it must make at least this
// many more references exact than the blocks do.
constexpr uint32_t kLeastWon = 1;
constexpr uint32_t kRel32Width = 4;

uint64_t ReadLittle(std::string_view bytes, uint64_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return value;
}

// Where the new file's operand at the reference's place points.
bool NewTargetOf(std::string_view plain, files::SectionFinder& finder, uint64_t imageBase,
                 const files::MovedReference& ref, uint32_t& target) {
  const unsigned width = files::OperandWidth(ref.kind);
  if (uint64_t{ref.newOffset} + width > plain.size()) return false;
  const uint64_t value = ReadLittle(plain, ref.newOffset, width);
  if (ref.kind == files::ReferenceKind::kRelative32) {
    uint32_t rva = 0;
    if (!finder.RvaOf(ref.newOffset, rva)) return false;
    target = static_cast<uint32_t>(rva + kRel32Width + value);
    return true;
  }
  const uint64_t relative = value - imageBase;
  if (ref.kind == files::ReferenceKind::kAbsolute32) {
    target = static_cast<uint32_t>(relative);
    return true;
  }
  if (relative > UINT32_MAX) return false;
  target = static_cast<uint32_t>(relative);
  return true;
}

struct Vote {
  uint32_t oldTarget;
  uint32_t newTarget;  // the new file's
  bool exact;          // the prediction gave it
  bool operator<(const Vote& o) const {
    return oldTarget != o.oldTarget ? oldTarget < o.oldTarget : newTarget < o.newTarget;
  }
};

}  // namespace

std::vector<files::TargetCorrection> ChooseCorrections(std::string_view plain, const files::PeLayout& layout,
                                                       const std::vector<files::MovedReference>& moved) {
  files::SectionFinder finder(layout);
  // The map takes no correction to an address past the new file's sections.
  uint64_t imageEnd = 0;
  for (const files::PeSection& s : layout.sections)
    imageEnd = std::max<uint64_t>(imageEnd, uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.rawSize));
  std::vector<Vote> votes;
  votes.reserve(moved.size());
  for (const files::MovedReference& ref : moved) {
    uint32_t target = 0;
    if (NewTargetOf(plain, finder, layout.imageBase, ref, target) && target < imageEnd)
      votes.push_back(Vote{ref.oldTarget, target, ref.moved && ref.newTarget == target});
  }
  std::sort(votes.begin(), votes.end());
  struct Chosen {
    files::TargetCorrection correction;
    uint64_t won;
  };
  std::vector<Chosen> chosen;
  for (size_t first = 0; first < votes.size();) {
    size_t end = first;
    uint64_t exact = 0;
    uint64_t most = 0;
    uint32_t best = 0;
    // Runs of the same new target within the old target's votes; of equal
    // runs the lowest address wins.
    while (end < votes.size() && votes[end].oldTarget == votes[first].oldTarget) {
      size_t run = end;
      while (run < votes.size() && votes[run].oldTarget == votes[first].oldTarget &&
             votes[run].newTarget == votes[end].newTarget)
        exact += votes[run++].exact;
      if (run - end > most) {
        most = run - end;
        best = votes[end].newTarget;
      }
      end = run;
    }
    if (most >= exact + kLeastWon) chosen.push_back(Chosen{{votes[first].oldTarget, best}, most - exact});
    first = end;
  }
  const size_t room = static_cast<size_t>(plain.size() / files::kNewBytesPerCorrection);
  if (chosen.size() > room) {
    std::stable_sort(chosen.begin(), chosen.end(), [](const Chosen& a, const Chosen& b) { return a.won > b.won; });
    chosen.resize(room);
    std::sort(chosen.begin(), chosen.end(),
              [](const Chosen& a, const Chosen& b) { return a.correction.oldTarget < b.correction.oldTarget; });
  }
  std::vector<files::TargetCorrection> corrections;
  corrections.reserve(chosen.size());
  for (const Chosen& c : chosen) corrections.push_back(c.correction);
  return corrections;
}

}  // namespace updpub
