#include "codecs/object_decoder.h"

// For the frame header reader; the library is linked statically from a
// fixed source, so its experimental part cannot drift.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>

#include "files/file_system.h"

namespace files {

namespace {

DecodeStatus StatusOfError(size_t result) {
  switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_frameParameter_windowTooLarge:
      return DecodeStatus::kWindowTooLarge;
    case ZSTD_error_memory_allocation:
      return DecodeStatus::kNoMemory;
    default:
      return DecodeStatus::kCorrupt;
  }
}

}  // namespace

static_assert(ZSTD_FRAMEHEADERSIZE_MAX <= 18, "kHeaderMax holds every frame header");

void ObjectDecoder::ContextFree::operator()(ZSTD_DCtx_s* context) const { ZSTD_freeDCtx(context); }

ObjectDecoder::ObjectDecoder(WritableFile& sink, uint64_t expectedSize, std::string_view reference)
    : sink_(&sink), output_(nullptr), expected_(expectedSize), context_(ZSTD_createDCtx()) {
  Start(reference);
}

// An empty file still needs an address the library can be given, where it
// writes nothing.
ObjectDecoder::ObjectDecoder(char* output, uint64_t expectedSize, std::string_view reference)
    : sink_(nullptr),
      output_(output ? output : reinterpret_cast<char*>(header_.data())),
      expected_(expectedSize),
      context_(ZSTD_createDCtx()) {
  Start(reference);
}

void ObjectDecoder::Start(std::string_view reference) {
  if (!context_) {
    status_ = DecodeStatus::kNoMemory;
    return;
  }
  // Bounds the window the library would allocate; Feed checks the header
  // against the same limit in any case. Into memory of the whole file the
  // library decodes in place and allocates no window.
  size_t result = ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax,
                                         sink_ ? kMaxStreamWindowLog : kMaxWindowLog);
  if (!ZSTD_isError(result) && !sink_) result = ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_stableOutBuffer, 1);
  // The library keeps a pointer to the reference, not a copy.
  if (!ZSTD_isError(result) && !reference.empty()) {
    result = ZSTD_DCtx_refPrefix(context_.get(), reference.data(), reference.size());
  }
  if (ZSTD_isError(result)) {
    status_ = StatusOfError(result);
    return;
  }
  if (sink_) out_.resize(ZSTD_DStreamOutSize());
}

ObjectDecoder::~ObjectDecoder() = default;

bool ObjectDecoder::Fail(DecodeStatus status) {
  status_ = status;
  return false;
}

// The header is checked here before the library sees the piece that
// completes it, so nothing of a frame that fails here is decoded.
bool ObjectDecoder::CheckHeader(const unsigned char* data, size_t size) {
  const size_t taken = std::min(size, header_.size() - headerSize_);
  std::copy(data, data + taken, header_.begin() + headerSize_);
  headerSize_ += taken;
  const HeadCheck check = CheckObjectHead(header_.data(), headerSize_, expected_);
  if (check.status != DecodeStatus::kOk) return Fail(check.status);
  headerChecked_ = check.complete;
  // A window a sink would need its own buffer for, beyond what this process
  // finds reliably: the memory is not there, though the frame may be sound.
  ZSTD_frameHeader header;
  if (sink_ && headerChecked_ && ZSTD_getFrameHeader(&header, header_.data(), headerSize_) == 0 &&
      header.windowSize > (uint64_t{1} << kMaxStreamWindowLog))
    return Fail(DecodeStatus::kNoMemory);
  return true;
}

HeadCheck CheckObjectHead(const void* data, size_t size, uint64_t expectedSize) {
  ZSTD_frameHeader header;
  const size_t result = ZSTD_getFrameHeader(&header, data, std::min(size, kObjectHeadMax));
  if (ZSTD_isError(result)) return {true, StatusOfError(result)};
  if (result > 0) return {};  // more of the header to come
  // A skippable frame is no object; the library would go on to whatever
  // follows it.
  if (header.frameType != ZSTD_frame) return {true, DecodeStatus::kCorrupt};
  if (header.windowSize > (uint64_t{1} << kMaxWindowLog)) return {true, DecodeStatus::kWindowTooLarge};
  // A frame that names another size is not this file. The library does not
  // check the size it names after an empty last block.
  if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && header.frameContentSize != expectedSize) {
    return {true, header.frameContentSize > expectedSize ? DecodeStatus::kTooLarge : DecodeStatus::kTooShort};
  }
  return {true, DecodeStatus::kOk};
}

bool ObjectDecoder::Feed(const void* data, size_t size) {
  if (status_ != DecodeStatus::kOk) return false;
  if (size == 0) return true;
  if (frameEnded_) return Fail(DecodeStatus::kTrailingData);
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (!headerChecked_ && !CheckHeader(bytes, size)) return false;
  // The library decodes a frame that it is handed whole in one pass, which
  // checks blocks differently from its streaming (an empty compressed block
  // is refused there, passed over when streamed) and ignores the window
  // limit. Its first byte alone keeps it streaming, so the outcome does not
  // depend on how the frame was cut into pieces.
  if (!started_) {
    started_ = true;
    if (!Stream(bytes, 1)) return false;
    ++bytes;
    --size;
  }
  return Stream(bytes, size);
}

bool ObjectDecoder::Stream(const unsigned char* data, size_t size) {
  ZSTD_inBuffer in{data, size, 0};
  if (!sink_) return StreamInPlace(in);
  // The library holds back the frame's last byte until all its output has
  // been handed out, so the loop ends with nothing left to flush.
  while (in.pos < in.size) {
    // Room for at most one byte beyond the expected size: enough to tell that
    // the frame holds more, never enough for a bomb to go on.
    const uint64_t left = expected_ - produced_;
    const size_t room = left < out_.size() ? static_cast<size_t>(left) + 1 : out_.size();
    ZSTD_outBuffer out{out_.data(), room, 0};
    const size_t result = ZSTD_decompressStream(context_.get(), &out, &in);
    if (ZSTD_isError(result)) return Fail(StatusOfError(result));
    if (out.pos > left) return Fail(DecodeStatus::kTooLarge);
    if (out.pos > 0 && !sink_->Write(out_.data(), out.pos)) return Fail(DecodeStatus::kSinkFailed);
    produced_ += out.pos;
    if (result == 0) {
      // The frame is complete; the library would take what follows as the
      // start of another one.
      frameEnded_ = true;
      if (in.pos < in.size) return Fail(DecodeStatus::kTrailingData);
    }
  }
  return true;
}

// The output is the same buffer from call to call, as the library wants it
// to be; a block that would go beyond its end is an error there, so the
// output never holds more than the expected size.
bool ObjectDecoder::StreamInPlace(ZSTD_inBuffer& in) {
  while (in.pos < in.size) {
    ZSTD_outBuffer out{output_, static_cast<size_t>(expected_), static_cast<size_t>(produced_)};
    const size_t result = ZSTD_decompressStream(context_.get(), &out, &in);
    produced_ = out.pos;
    if (ZSTD_isError(result)) {
      const ZSTD_ErrorCode code = ZSTD_getErrorCode(result);
      const bool full = code == ZSTD_error_dstSize_tooSmall || code == ZSTD_error_noForwardProgress_destFull;
      return Fail(full ? DecodeStatus::kTooLarge : StatusOfError(result));
    }
    if (result == 0) {
      frameEnded_ = true;
      if (in.pos < in.size) return Fail(DecodeStatus::kTrailingData);
    }
  }
  return true;
}

DecodeStatus ObjectDecoder::Finish() {
  if (status_ == DecodeStatus::kOk && !frameEnded_) status_ = DecodeStatus::kTruncated;
  if (status_ == DecodeStatus::kOk && produced_ != expected_) status_ = DecodeStatus::kTooShort;
  return status_;
}

std::string_view DecoderVersion() { return ZSTD_versionString(); }

const char* DecodeStatusName(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk: return "ok";
    case DecodeStatus::kCorrupt: return "corrupt";
    case DecodeStatus::kTooLarge: return "too large";
    case DecodeStatus::kWindowTooLarge: return "window too large";
    case DecodeStatus::kTruncated: return "truncated";
    case DecodeStatus::kTrailingData: return "trailing data";
    case DecodeStatus::kTooShort: return "too short";
    case DecodeStatus::kSinkFailed: return "sink failed";
    case DecodeStatus::kNoMemory: return "no memory";
  }
  return "unknown";
}

}  // namespace files
