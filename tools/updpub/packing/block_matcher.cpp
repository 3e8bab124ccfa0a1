#include "updpub/packing/block_matcher.h"

#include <algorithm>
#include <cstring>

namespace updpub {
namespace {

// The hashed window, and the step between the old file's indexed windows:
// any common run of kWindow + kStep bytes holds an indexed window.
constexpr size_t kWindow = 32;
constexpr size_t kStep = 16;
constexpr uint32_t kHashFactor = 0x01000193;
constexpr uint32_t kBucketMix = 0x9E3779B1;
constexpr unsigned kMostTableBits = 24;
constexpr unsigned kFewestTableBits = 10;
// A mismatch ends a block unless at least kBridgeEqual of the next
// kBridge bytes match again: the old bytes across a changed byte or two
// predict the new ones better than the zeros outside every block.
constexpr size_t kBridge = 32;
constexpr size_t kBridgeEqual = 24;
constexpr uint32_t kEmpty = UINT32_MAX;
// Code repeats itself: a window's hash leads to several old places, of which
// this many (the earliest) are weighed by how far each match goes.
constexpr size_t kMostCandidates = 16;

uint32_t WindowHash(const unsigned char* bytes) {
  uint32_t hash = 0;
  for (size_t i = 0; i < kWindow; ++i) hash = hash * kHashFactor + bytes[i];
  return hash;
}

class Matcher {
 public:
  Matcher(std::string_view older, std::string_view newer, const std::vector<uint32_t>& olderCuts,
          const std::vector<uint32_t>& newerCuts)
      : old_(reinterpret_cast<const unsigned char*>(older.data())), oldSize_(older.size()),
        new_(reinterpret_cast<const unsigned char*>(newer.data())), newSize_(newer.size()), oldCuts_(olderCuts),
        newCuts_(newerCuts) {
    // kHashFactor^(kWindow-1), to take the leaving byte out of the hash.
    outFactor_ = 1;
    for (size_t i = 1; i < kWindow; ++i) outFactor_ *= kHashFactor;
  }

  std::vector<files::CodeBlock> Run() {
    if (oldSize_ < kWindow || newSize_ < kWindow) return {};
    Index();
    size_t at = 0;
    uint32_t hash = WindowHash(new_);
    while (at + kWindow <= newSize_) {
      size_t end = 0;
      if (TryAt(at, hash, end)) {
        at = end;
        if (at + kWindow <= newSize_) hash = WindowHash(new_ + at);
        continue;
      }
      if (at + kWindow < newSize_) hash = (hash - new_[at] * outFactor_) * kHashFactor + new_[at + kWindow];
      ++at;
    }
    return std::move(blocks_);
  }

 private:
  size_t Bucket(uint32_t hash) const { return (hash * kBucketMix) >> (32 - bits_); }

  // Each bucket chains its windows in file order, so the candidates and
  // their order do not depend on anything but the bytes.
  void Index() {
    const size_t windows = (oldSize_ - kWindow) / kStep + 1;
    bits_ = kFewestTableBits;
    while (bits_ < kMostTableBits && (size_t{1} << bits_) < windows * 2) ++bits_;
    table_.assign(size_t{1} << bits_, kEmpty);
    next_.assign(windows, kEmpty);
    std::vector<uint32_t> last(table_.size(), kEmpty);
    for (size_t window = 0; window < windows; ++window) {
      const size_t bucket = Bucket(WindowHash(old_ + window * kStep));
      if (table_[bucket] == kEmpty) {
        table_[bucket] = static_cast<uint32_t>(window);
      } else {
        next_[last[bucket]] = static_cast<uint32_t>(window);
      }
      last[bucket] = static_cast<uint32_t>(window);
    }
  }

  // How far a match's distance is from the last block's.
  uint64_t Away(size_t newAt, size_t oldAt) const {
    const int64_t distance = static_cast<int64_t>(oldAt) - static_cast<int64_t>(newAt);
    return static_cast<uint64_t>(distance > distance_ ? distance - distance_ : distance_ - distance);
  }

  bool Equal(size_t newAt, size_t oldAt) const {
    return oldAt + kWindow <= oldSize_ && std::memcmp(new_ + newAt, old_ + oldAt, kWindow) == 0;
  }

  // A block from new offset `at`: first at the last block's distance, else
  // where the table points. `end` is where the next search starts.
  bool TryAt(size_t at, uint32_t hash, size_t& end) {
    const int64_t continued = static_cast<int64_t>(at) + distance_;
    size_t oldAt = 0;
    if (continued >= 0 && Equal(at, static_cast<size_t>(continued))) {
      oldAt = static_cast<size_t>(continued);
    } else {
      // The candidate whose match goes furthest; of equals the one nearest
      // the last block's distance, then the first.
      size_t best = 0;
      uint64_t bestAway = 0;
      bool found = false;
      uint32_t window = table_[Bucket(hash)];
      for (size_t tried = 0; window != kEmpty && tried < kMostCandidates; window = next_[window], ++tried) {
        const size_t candidate = size_t{window} * kStep;
        if (!Equal(at, candidate)) continue;
        const size_t length = Extend(at, candidate);
        const uint64_t away = Away(at, candidate);
        if (!found || length > best || (length == best && away < bestAway)) {
          best = length;
          bestAway = away;
          oldAt = candidate;
          found = true;
        }
      }
      if (!found) return false;
    }
    size_t start = at;
    const size_t newFloor = std::max(newEnd_, CutAtOrBefore(newCuts_, at));
    const size_t oldFloor = CutAtOrBefore(oldCuts_, oldAt);
    while (start > newFloor && oldAt > oldFloor && new_[start - 1] == old_[oldAt - 1]) {
      --start;
      --oldAt;
    }
    const size_t length = Extend(start, oldAt);
    if (length < kShortestBlock) return false;
    blocks_.push_back(files::CodeBlock{static_cast<uint32_t>(start), static_cast<uint32_t>(oldAt),
                                       static_cast<uint32_t>(length)});
    distance_ = static_cast<int64_t>(oldAt) - static_cast<int64_t>(start);
    newEnd_ = start + length;
    end = newEnd_;
    return true;
  }

  // The last cut at or before `at` (0 without one), and the first after it.
  static size_t CutAtOrBefore(const std::vector<uint32_t>& cuts, size_t at) {
    const auto after = std::upper_bound(cuts.begin(), cuts.end(), at);
    return after == cuts.begin() ? 0 : *(after - 1);
  }
  static size_t CutAfter(const std::vector<uint32_t>& cuts, size_t at, size_t size) {
    const auto after = std::upper_bound(cuts.begin(), cuts.end(), at);
    return after == cuts.end() ? size : std::min<size_t>(*after, size);
  }

  // The block's length: equal bytes, across short runs of changed ones, up
  // to the next cut in either file.
  size_t Extend(size_t newAt, size_t oldAt) const {
    const size_t most = std::min(CutAfter(newCuts_, newAt, newSize_) - newAt, CutAfter(oldCuts_, oldAt, oldSize_) - oldAt);
    const unsigned char* a = new_ + newAt;
    const unsigned char* b = old_ + oldAt;
    size_t length = 0;
    size_t lastEqual = 0;
    while (length < most) {
      if (a[length] == b[length]) {
        lastEqual = ++length;
        continue;
      }
      const size_t ahead = std::min(kBridge, most - length);
      size_t equal = 0;
      for (size_t i = 0; i < ahead; ++i) equal += a[length + i] == b[length + i];
      if (equal < kBridgeEqual) break;
      ++length;
    }
    return lastEqual;
  }

  const unsigned char* old_;
  size_t oldSize_;
  const unsigned char* new_;
  size_t newSize_;
  const std::vector<uint32_t>& oldCuts_;
  const std::vector<uint32_t>& newCuts_;
  uint32_t outFactor_ = 1;
  unsigned bits_ = kFewestTableBits;
  std::vector<uint32_t> table_;  // bucket -> first old window (offset / kStep)
  std::vector<uint32_t> next_;   // old window -> the next of its bucket
  std::vector<files::CodeBlock> blocks_;
  int64_t distance_ = 0;
  size_t newEnd_ = 0;
};

}  // namespace

std::vector<files::CodeBlock> MatchBlocks(std::string_view older, std::string_view newer,
                                          const std::vector<uint32_t>& olderCuts,
                                          const std::vector<uint32_t>& newerCuts) {
  return Matcher(older, newer, olderCuts, newerCuts).Run();
}

}  // namespace updpub
