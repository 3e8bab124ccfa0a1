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
constexpr size_t kBridge = 16;
constexpr size_t kBridgeEqual = 12;
constexpr uint32_t kEmpty = UINT32_MAX;

uint32_t WindowHash(const unsigned char* bytes) {
  uint32_t hash = 0;
  for (size_t i = 0; i < kWindow; ++i) hash = hash * kHashFactor + bytes[i];
  return hash;
}

class Matcher {
 public:
  Matcher(std::string_view older, std::string_view newer)
      : old_(reinterpret_cast<const unsigned char*>(older.data())), oldSize_(older.size()),
        new_(reinterpret_cast<const unsigned char*>(newer.data())), newSize_(newer.size()) {
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

  // The first window of each hash wins: the same old bytes for the same
  // new bytes, whichever order the table filled in.
  void Index() {
    const size_t windows = (oldSize_ - kWindow) / kStep + 1;
    bits_ = kFewestTableBits;
    while (bits_ < kMostTableBits && (size_t{1} << bits_) < windows * 2) ++bits_;
    table_.assign(size_t{1} << bits_, kEmpty);
    for (size_t at = 0; at + kWindow <= oldSize_; at += kStep) {
      uint32_t& slot = table_[Bucket(WindowHash(old_ + at))];
      if (slot == kEmpty) slot = static_cast<uint32_t>(at);
    }
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
      const uint32_t candidate = table_[Bucket(hash)];
      if (candidate == kEmpty || !Equal(at, candidate)) return false;
      oldAt = candidate;
    }
    size_t start = at;
    while (start > newEnd_ && oldAt > 0 && new_[start - 1] == old_[oldAt - 1]) {
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

  // The block's length: equal bytes, across short runs of changed ones.
  size_t Extend(size_t newAt, size_t oldAt) const {
    const size_t most = std::min(newSize_ - newAt, oldSize_ - oldAt);
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
  uint32_t outFactor_ = 1;
  unsigned bits_ = kFewestTableBits;
  std::vector<uint32_t> table_;
  std::vector<files::CodeBlock> blocks_;
  int64_t distance_ = 0;
  size_t newEnd_ = 0;
};

}  // namespace

std::vector<files::CodeBlock> MatchBlocks(std::string_view older, std::string_view newer) {
  return Matcher(older, newer).Run();
}

}  // namespace updpub
