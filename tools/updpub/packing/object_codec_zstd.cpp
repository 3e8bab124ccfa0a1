#include <zstd.h>

#include <algorithm>
#include <memory>

#include "updpub/packing/object_codec.h"

namespace updpub {
namespace {

// zstd's smallest window (ZSTD_WINDOWLOG_MIN, declared only for static linking).
constexpr int kMinWindowLog = 10;
// A residual's matches lie mostly at the prediction's same place, a whole
// file back: the match finder's binary tree (the strategy of this level and
// above) must reach that far, where level 19's reaches 8 MiB. Its table
// takes four bytes an entry, two entries a position: capped so.
constexpr int kTreeLevel = 13;
constexpr int kMostResidualChainLog = 26;

struct CCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
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

bool Encode(std::string_view plain, std::string_view base, int level, bool checksum, bool residual, std::string& out,
            std::string& error) {
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
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum ? 1 : 0), error))
    return false;
  if (!base.empty()) {
    if (Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), error) ||
        Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLogFor(base.size() + plain.size())), error) ||
        Failed(ZSTD_CCtx_refPrefix(c, base.data(), base.size()), error))
      return false;
    const int chainLog = std::min(WindowLogFor(base.size() + plain.size()), kMostResidualChainLog);
    if (residual && level >= kTreeLevel && Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_chainLog, chainLog), error))
      return false;
  }
  out.resize(ZSTD_compressBound(plain.size()));
  const size_t written = ZSTD_compress2(c, out.data(), out.size(), plain.data(), plain.size());
  if (Failed(written, error)) return false;
  out.resize(written);
  return true;
}

}  // namespace

bool EncodeObject(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error) {
  return Encode(plain, base, level, true, false, out, error);
}

bool EncodeResidual(std::string_view plain, std::string_view prediction, int level, std::string& out,
                    std::string& error) {
  return Encode(plain, prediction, level, false, true, out, error);
}

}  // namespace updpub
