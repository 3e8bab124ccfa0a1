#include "codecs/code_delta_decoder.h"

#include <zstd.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "codecs/code_delta.h"
#include "digests/crc32.h"

namespace files {

CodeDeltaDecoder::CodeDeltaDecoder(WritableFile& sink, uint64_t expectedSize, std::string_view base,
                                   std::optional<uint32_t> baseCrc)
    : sink_(&sink),
      output_(nullptr),
      space_(nullptr),
      expected_(expectedSize),
      base_(base),
      baseCrc_(baseCrc),
      headWanted_(kCodeDeltaHeaderSize) {}

CodeDeltaDecoder::CodeDeltaDecoder(char* output, uint64_t expectedSize, std::string_view base,
                                   std::optional<uint32_t> baseCrc, PredictionSpace* space)
    : sink_(nullptr),
      output_(output),
      space_(space),
      expected_(expectedSize),
      base_(base),
      baseCrc_(baseCrc),
      headWanted_(kCodeDeltaHeaderSize) {}

CodeDeltaDecoder::~CodeDeltaDecoder() = default;

bool CodeDeltaDecoder::Fail(DecodeStatus status) {
  status_ = status;
  return false;
}

// The header, once whole: false when it cannot be a code delta for this
// file and base.
bool CodeDeltaDecoder::ReadHead() {
  CodeDeltaHeader header;
  if (!ReadCodeDeltaHeader(head_, header)) return Fail(DecodeStatus::kCorrupt);
  if (header.newSize != expected_)
    return Fail(header.newSize > expected_ ? DecodeStatus::kTooLarge : DecodeStatus::kTooShort);
  // Another base, or a file no 32-bit offset reaches.
  if (header.baseSize != base_.size() || header.newSize > UINT32_MAX || header.baseSize > UINT32_MAX ||
      header.baseCrc != (baseCrc_ ? *baseCrc_ : Crc32Update(0, base_.data(), base_.size())))
    return Fail(DecodeStatus::kCorrupt);
  // The map is bounded by what a file of this size can use, so that a
  // hostile header cannot make the decoder hold more.
  const uint64_t largest = LargestCodeMap(header.newSize);
  if (header.mapRawBytes > largest || header.mapBytes > ZSTD_COMPRESSBOUND(largest))
    return Fail(DecodeStatus::kTooLarge);
  headWanted_ = kCodeDeltaHeaderSize + header.mapBytes;
  headerRead_ = true;
  return true;
}

bool CodeDeltaDecoder::StartResidual() {
  CodeDeltaHeader header;
  ReadCodeDeltaHeader(head_, header);
  const std::string_view packedMap = std::string_view(head_).substr(kCodeDeltaHeaderSize);
  if (ZSTD_getFrameContentSize(packedMap.data(), packedMap.size()) != header.mapRawBytes ||
      ZSTD_findFrameCompressedSize(packedMap.data(), packedMap.size()) != packedMap.size())
    return Fail(DecodeStatus::kCorrupt);
  // The map, the prediction and the base's references take memory in
  // proportion to the files: running out, or a size that no container of
  // this process can take, fails this object, never the caller.
  try {
    std::string raw(header.mapRawBytes, '\0');
    CodeMap map;
    const size_t got = ZSTD_decompress(raw.data(), raw.size(), packedMap.data(), packedMap.size());
    if (ZSTD_isError(got) || got != raw.size() || !ReadCodeMap(raw, header.newSize, header.baseSize, map))
      return Fail(DecodeStatus::kCorrupt);
    std::string().swap(raw);
    std::string().swap(head_);
    if (!Predict(map, header.newSize)) return NoMemory();
    residual_ = sink_ ? std::make_unique<ObjectDecoder>(*sink_, expected_, predicted_)
                      : std::make_unique<ObjectDecoder>(output_, expected_, predicted_);
  } catch (const std::bad_alloc&) {
    return NoMemory();
  } catch (const std::length_error&) {
    return NoMemory();
  }
  return true;
}

bool CodeDeltaDecoder::Predict(const CodeMap& map, uint64_t newSize) {
  if (newSize == 0) return true;
  // The prediction writes every byte of its room: the heap's is taken as it
  // comes, not cleared first.
  char* room = nullptr;
  if (space_) {
    room = space_->Obtain(newSize);
  } else {
    // ReadHead bounds the size by 32 bits.
    prediction_.reset(new (std::nothrow) char[static_cast<size_t>(newSize)]);
    room = prediction_.get();
  }
  if (!room || !PredictNewFile(base_, map, room, static_cast<size_t>(newSize))) return false;
  predicted_ = std::string_view(room, static_cast<size_t>(newSize));
  return true;
}

bool CodeDeltaDecoder::NoMemory() {
  prediction_.reset();
  return Fail(DecodeStatus::kNoMemory);
}

bool CodeDeltaDecoder::Feed(const void* data, size_t size) {
  if (status_ != DecodeStatus::kOk) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (!residual_) {
    const size_t taken = std::min(size, headWanted_ - head_.size());
    try {
      head_.append(bytes, taken);
    } catch (const std::bad_alloc&) {
      return NoMemory();
    } catch (const std::length_error&) {
      return NoMemory();
    }
    bytes += taken;
    size -= taken;
    if (head_.size() < headWanted_) return true;
    if (!headerRead_) {
      if (!ReadHead()) return false;
      continue;
    }
    if (!StartResidual()) return false;
  }
  if (size == 0) return true;
  if (!residual_->Feed(bytes, size)) return Fail(residual_->Finish());
  return true;
}

DecodeStatus CodeDeltaDecoder::Finish() {
  if (status_ != DecodeStatus::kOk) return status_;
  if (!residual_) return DecodeStatus::kTruncated;
  return residual_->Finish();
}

}  // namespace files
