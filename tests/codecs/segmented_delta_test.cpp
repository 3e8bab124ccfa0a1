// A large file's delta in segments: decoded segment by segment with only
// that segment's regions in view, and refused whole where its header or a
// frame lies.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codecs/segmented_delta.h"

namespace {

using files::DecodeStatus;

constexpr files::SegmentLayout kLayout{files::kMinSegment, uint64_t{256} << 10};

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string Frame(std::string_view content, std::string_view reference) {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, 23);
  ZSTD_CCtx_refPrefix(context.get(), reference.data(), reference.size());
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const size_t size = ZSTD_compress2(context.get(), frame.data(), frame.size(), content.data(), content.size());
  EXPECT_FALSE(ZSTD_isError(size));
  frame.resize(ZSTD_isError(size) ? 0 : size);
  return frame;
}

struct Encoded {
  std::vector<uint32_t> sizes;
  std::string frames;
  std::string Object(const files::SegmentLayout& layout = kLayout) const {
    return files::SegmentedHeader(layout, sizes) + frames;
  }
};

Encoded Encode(const std::string& plain, const std::string& base) {
  Encoded encoded;
  for (uint64_t k = 0; k < files::SegmentCount(kLayout, plain.size()); ++k) {
    const files::Region out = files::SegmentOutput(kLayout, plain.size(), k);
    const files::Region in = files::SegmentBase(kLayout, base.size(), k);
    const std::string frame = Frame(std::string_view(plain).substr(out.offset, out.length),
                                    std::string_view(base).substr(in.offset, in.length));
    encoded.sizes.push_back(static_cast<uint32_t>(frame.size()));
    encoded.frames += frame;
  }
  return encoded;
}

// The regions asked for, served from whole strings; what was in view at most.
class Views : public files::SegmentViews {
 public:
  Views(const std::string& base, uint64_t size) : base_(base), output(size, '\0') {}
  uint64_t BaseSize() const override { return base_.size(); }
  bool MapSegment(files::Region base, files::Region out, std::string_view& baseView, char*& outputView) override {
    if (fail) return false;
    EXPECT_LE(base.offset + base.length, base_.size());
    EXPECT_LE(out.offset + out.length, output.size());
    mostInView = std::max(mostInView, base.length + out.length);
    baseView = std::string_view(base_).substr(base.offset, base.length);
    outputView = output.data() + out.offset;
    return true;
  }
  const std::string& base_;
  std::string output;
  uint64_t mostInView = 0;
  bool fail = false;
};

DecodeStatus Decode(const std::string& object, Views& views, uint64_t size, size_t piece) {
  files::SegmentedDeltaDecoder decoder(views, size);
  for (size_t at = 0; at < object.size(); at += piece)
    if (!decoder.Feed(object.data() + at, std::min(piece, object.size() - at))) break;
  return decoder.Finish();
}

// A base with a block moved by more than a segment and bytes changed: every
// segment finds its bytes within its reach.
struct Pair {
  std::string base = Noise((uint64_t{3} << 20) + 1234, 1);
  std::string plain;
  Pair() {
    plain = base;
    std::rotate(plain.begin() + 100, plain.begin() + 200, plain.begin() + 100000);
    for (size_t at = 5000; at < plain.size(); at += 300000) plain[at] ^= 0x5A;
    plain += Noise(40000, 2);
  }
};

TEST(SegmentedDeltaTest, DecodesSegmentBySegmentInAnyPieceSizeWithOneSegmentInView) {
  const Pair pair;
  const Encoded encoded = Encode(pair.plain, pair.base);
  ASSERT_EQ(encoded.sizes.size(), 4u);
  const std::string object = encoded.Object();
  EXPECT_LT(object.size(), pair.plain.size() / 20);  // the base was of use
  for (const size_t piece : {size_t{1}, size_t{7}, size_t{4096}, object.size()}) {
    Views views(pair.base, pair.plain.size());
    ASSERT_EQ(Decode(object, views, pair.plain.size(), piece), DecodeStatus::kOk) << piece;
    EXPECT_TRUE(views.output == pair.plain) << piece;
    EXPECT_LE(views.mostInView, kLayout.segment * 2 + kLayout.reach * 2);
    EXPECT_TRUE(files::CheckSegmentedHead(object.data(), std::min(piece, object.size()), pair.plain.size()).status ==
                DecodeStatus::kOk);
  }
}

TEST(SegmentedDeltaTest, HostileOrDamagedObjectsAreRefused) {
  const Pair pair;
  const Encoded good = Encode(pair.plain, pair.base);
  const uint64_t size = pair.plain.size();
  const auto with = [&](const std::function<void(std::string&)>& damage) {
    std::string object = good.Object();
    damage(object);
    return object;
  };
  const auto header = [&](files::SegmentLayout layout, std::vector<uint32_t> sizes) {
    return files::SegmentedHeader(layout, sizes) + good.frames;
  };
  std::vector<uint32_t> longer = good.sizes;
  ++longer[0];
  std::vector<uint32_t> shorter = good.sizes;
  --shorter[0];
  std::vector<uint32_t> zero = good.sizes;
  zero[2] = 0;
  struct Row {
    const char* what;
    std::string object;
    DecodeStatus status;
  };
  const std::vector<Row> rows = {
      {"another magic", with([](std::string& o) { o[0] = 'X'; }), DecodeStatus::kCorrupt},
      {"segments below the least", header({files::kMinSegment - 1, 0}, good.sizes), DecodeStatus::kCorrupt},
      {"segments beyond the most", header({files::kMaxSegment + 1, 0}, good.sizes), DecodeStatus::kCorrupt},
      {"a reach beyond the most", header({kLayout.segment, files::kMaxReach + 1}, good.sizes), DecodeStatus::kCorrupt},
      {"a segment fewer", header(kLayout, {good.sizes.begin(), good.sizes.end() - 1}), DecodeStatus::kTooShort},
      {"a segment more", header(kLayout, [&] { auto s = good.sizes; s.push_back(9); return s; }()),
       DecodeStatus::kTooLarge},
      {"a frame of no bytes", header(kLayout, zero), DecodeStatus::kCorrupt},
      {"a frame one byte longer", header(kLayout, longer), DecodeStatus::kTrailingData},
      {"a frame one byte shorter", header(kLayout, shorter), DecodeStatus::kTruncated},
      {"cut inside the header", good.Object().substr(0, 20), DecodeStatus::kTruncated},
      {"cut inside the last frame", with([](std::string& o) { o.pop_back(); }), DecodeStatus::kTruncated},
      {"a byte after the last frame", with([](std::string& o) { o += 'x'; }), DecodeStatus::kTrailingData},
      {"a frame's byte changed", with([&](std::string& o) { o[o.size() - good.sizes.back() / 2] ^= 1; }),
       DecodeStatus::kCorrupt},
  };
  for (const Row& row : rows) {
    Views views(pair.base, size);
    const DecodeStatus status = Decode(row.object, views, size, 4096);
    EXPECT_EQ(files::DecodeStatusName(status), files::DecodeStatusName(row.status)) << row.what;
    // The head check refuses what the decoder refuses on the same bytes.
    const files::HeadCheck head = files::CheckSegmentedHead(row.object.data(), files::kSegmentedHeaderSize, size);
    if (head.status != DecodeStatus::kOk) {
      EXPECT_EQ(head.status, row.status) << row.what;
    }
  }

  Views unmappable(pair.base, size);
  unmappable.fail = true;
  EXPECT_EQ(Decode(good.Object(), unmappable, size, 4096), DecodeStatus::kNoMemory);
  // Against another base the frames' checksums fail.
  const std::string other = Noise(pair.base.size(), 3);
  Views wrongBase(other, size);
  EXPECT_NE(Decode(good.Object(), wrongBase, size, 4096), DecodeStatus::kOk);
}

}  // namespace
