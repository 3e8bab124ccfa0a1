#pragma once
// One changed file as it travels: a zstd frame holding the file on its own
// ("packed"), or holding it against an older file as a reference prefix
// ("delta"). Decoded piece by piece as the frame is read, straight into the
// staging file, with the memory it may take bounded whatever the frame says.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

struct ZSTD_DCtx_s;

namespace files {

class WritableFile;

// The largest window a frame may ask for: 2^27 bytes (128 MiB). The window
// is one contiguous buffer; a 32-bit process with 2 GiB of fragmented address
// space finds that much reliably, beside the reference file held in memory
// and the rest of the updater. It is also the default limit of the library's
// own tools, so frames they write without an explicit larger window fit.
inline constexpr int kMaxWindowLog = 30;

// The most bytes CheckObjectHead ever needs: the largest frame header.
inline constexpr size_t kObjectHeadMax = 18;

enum class DecodeStatus {
  kOk,
  kCorrupt,         // not one valid frame, or not against this reference
  kTooLarge,        // more output than the expected size, or a larger size named
  kWindowTooLarge,  // the frame asks for a window beyond kMaxWindowLog
  kTruncated,       // the input ended inside the frame
  kTrailingData,    // bytes after the end of the frame
  kTooShort,        // the frame ended before the expected size, or names a smaller one
  kSinkFailed,      // the sink refused a write
  kNoMemory,
};

// An object's decoder, fed the object piece by piece as it is read.
class StreamDecoder {
 public:
  virtual ~StreamDecoder() = default;
  // The next piece of the object. False once decoding has failed; later
  // pieces are then ignored and Finish reports why.
  virtual bool Feed(const void* data, size_t size) = 0;
  // After the last piece: kOk only when exactly one whole object came in and
  // exactly the expected size came out of it.
  virtual DecodeStatus Finish() = 0;
};

class ObjectDecoder : public StreamDecoder {
 public:
  // Decodes into sink, which must outlive the decoder, exactly expectedSize
  // bytes. reference is the older file's content for a delta (empty for a
  // packed object); the caller keeps it alive and unchanged until Finish.
  ObjectDecoder(WritableFile& sink, uint64_t expectedSize, std::string_view reference = {});
  ~ObjectDecoder() override;
  ObjectDecoder(const ObjectDecoder&) = delete;
  ObjectDecoder& operator=(const ObjectDecoder&) = delete;

  bool Feed(const void* data, size_t size) override;
  DecodeStatus Finish() override;

  uint64_t Produced() const { return produced_; }

 private:
  struct ContextFree {
    void operator()(ZSTD_DCtx_s* context) const;
  };

  bool Fail(DecodeStatus status);
  bool CheckHeader(const unsigned char* data, size_t size);
  bool Stream(const unsigned char* data, size_t size);

  // The largest frame header, kept until it is whole.
  static constexpr size_t kHeaderMax = kObjectHeadMax;

  WritableFile& sink_;
  const uint64_t expected_;
  std::unique_ptr<ZSTD_DCtx_s, ContextFree> context_;
  std::vector<unsigned char> out_;
  std::array<unsigned char, kHeaderMax> header_{};
  size_t headerSize_ = 0;
  bool headerChecked_ = false;
  bool started_ = false;
  uint64_t produced_ = 0;
  bool frameEnded_ = false;
  DecodeStatus status_ = DecodeStatus::kOk;
};

// The first bytes of an object as they arrive, checked the way the decoder
// checks its frame header: another content size named than expectedSize, a
// window beyond kMaxWindowLog or no frame at all fail at once. `complete`
// stays false, with kOk, while more bytes are needed to tell.
struct HeadCheck {
  bool complete = false;
  DecodeStatus status = DecodeStatus::kOk;
};
HeadCheck CheckObjectHead(const void* data, size_t size, uint64_t expectedSize);

// The decoding library's version, e.g. "1.5.4", for the trace.
std::string_view DecoderVersion();

// A short English name of a status for traces and test messages.
const char* DecodeStatusName(DecodeStatus status);

}  // namespace files
