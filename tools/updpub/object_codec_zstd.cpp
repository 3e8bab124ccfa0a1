#include <zstd.h>

#include <vector>

#include "updpub/object_codec.h"

namespace updpub {
namespace {

// zstd's smallest window (ZSTD_WINDOWLOG_MIN, declared only for static linking).
constexpr int kMinWindowLog = 10;

struct CCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The smallest window log that covers `bytes`.
int WindowLogFor(size_t bytes) {
  int log = kMinWindowLog;
  while (log < kMaxDeltaWindowLog && (size_t{1} << log) < bytes) ++log;
  return log;
}

bool Failed(size_t code, std::string& error) {
  if (!ZSTD_isError(code)) return false;
  error = std::string("zstd: ") + ZSTD_getErrorName(code);
  return true;
}

}  // namespace

bool EncodeObject(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error) {
  if (!base.empty() && base.size() + plain.size() > kMaxDeltaWindowBytes) {
    error = "the file and its base together exceed the window a 32-bit updater can decode with";
    return false;
  }
  const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
  if (!context) {
    error = "zstd: out of memory";
    return false;
  }
  ZSTD_CCtx* c = context.get();
  if (Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), error) ||
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), error) ||
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), error))
    return false;
  if (!base.empty()) {
    if (Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), error) ||
        Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLogFor(base.size() + plain.size())), error) ||
        Failed(ZSTD_CCtx_refPrefix(c, base.data(), base.size()), error))
      return false;
  }
  out.resize(ZSTD_compressBound(plain.size()));
  const size_t written = ZSTD_compress2(c, out.data(), out.size(), plain.data(), plain.size());
  if (Failed(written, error)) return false;
  out.resize(written);
  return true;
}

struct ObjectDecoder::State {
  std::unique_ptr<ZSTD_DCtx, DCtxFree> context{ZSTD_createDCtx()};
  Sink sink;
  std::vector<char> output = std::vector<char>(ZSTD_DStreamOutSize());
  size_t pending = 1;  // ZSTD_decompressStream's last hint: 0 once a frame is complete
  bool frameEnded = false;
  std::string error;
};

ObjectDecoder::ObjectDecoder(std::string_view base, Sink sink) : state_(std::make_unique<State>()) {
  state_->sink = std::move(sink);
  ZSTD_DCtx* d = state_->context.get();
  if (!d) {
    state_->error = "zstd: out of memory";
    return;
  }
  if (!Failed(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, kMaxDeltaWindowLog), state_->error) && !base.empty())
    Failed(ZSTD_DCtx_refPrefix(d, base.data(), base.size()), state_->error);
}

ObjectDecoder::~ObjectDecoder() = default;

bool ObjectDecoder::Feed(const char* data, size_t size) {
  State& s = *state_;
  if (!s.error.empty()) return false;
  ZSTD_inBuffer in{data, size, 0};
  while (in.pos < in.size) {
    // One object is one frame; bytes after it would be another.
    if (s.frameEnded) {
      s.error = "data after the end of the frame";
      return false;
    }
    ZSTD_outBuffer out{s.output.data(), s.output.size(), 0};
    s.pending = ZSTD_decompressStream(s.context.get(), &out, &in);
    if (Failed(s.pending, s.error)) return false;
    if (out.pos > 0) s.sink(s.output.data(), out.pos);
    if (s.pending == 0) s.frameEnded = true;
  }
  return true;
}

bool ObjectDecoder::Finish(std::string& error) {
  State& s = *state_;
  // Output still held inside the decoder is drained before the end is judged.
  while (s.error.empty() && !s.frameEnded) {
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer out{s.output.data(), s.output.size(), 0};
    s.pending = ZSTD_decompressStream(s.context.get(), &out, &in);
    if (Failed(s.pending, s.error)) break;
    if (out.pos > 0) s.sink(s.output.data(), out.pos);
    if (s.pending == 0) s.frameEnded = true;
    if (out.pos == 0 && !s.frameEnded) s.error = "the frame is cut short";
  }
  error = s.error;
  return s.error.empty();
}

}  // namespace updpub
