// The estimate of the encoder's tables and the stable input buffer are in
// the library's experimental part, which every build here exports.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>

#include "updpub/packing/object_codec.h"

namespace updpub {
namespace {

// zstd's smallest window (ZSTD_WINDOWLOG_MIN).
constexpr int kMinWindowLog = 10;
// Long-distance matching keeps 8-byte entries, one per 2^7 bytes of window
// (the library's defaults).
constexpr int kLongMatchRateLog = 7;
constexpr uint64_t kLongMatchEntryBytes = 8;
// How much input the encoder is given at a time, between reports.
constexpr size_t kProgressSlice = size_t{8} << 20;
// A residual's matches lie mostly at the prediction's same place, a whole
// file back: the match finder's binary tree (the strategy of this level and
// above) must reach that far, where level 19's reaches 8 MiB. Its table
// takes four bytes an entry, two entries a position: capped so.
constexpr int kTreeLevel = 13;
constexpr int kMostResidualChainLog = 26;

// The chain log a residual's encoder takes at `level` with `windowLog`, or 0
// for the level's own.
int ResidualChainLog(int level, int windowLog) {
  return level >= kTreeLevel ? std::min(windowLog, kMostResidualChainLog) : 0;
}

struct CCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct ParamsFree {
  void operator()(ZSTD_CCtx_params* params) const { ZSTD_freeCCtxParams(params); }
};

bool Failed(size_t code, std::string& error) {
  if (!ZSTD_isError(code)) return false;
  error = std::string("zstd: ") + ZSTD_getErrorName(code);
  return true;
}

bool Encode(std::string_view plain, std::string_view base, int level, bool checksum, bool residual, std::string& out,
            std::string& error, const EncodeProgress& progress) {
  if (!base.empty() && (plain.size() > kLargestDeltaFile || base.size() > kLargestDeltaFile)) {
    error = "the file or its base is over " + std::to_string(kLargestDeltaFile >> 20) +
            " MiB, beyond the window the updater decodes with";
    return false;
  }
  const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
  if (!context) {
    error = "zstd: out of memory";
    return false;
  }
  ZSTD_CCtx* c = context.get();
  // The input stays where it is: the library keeps no copy of a window's worth.
  if (Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), error) ||
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), error) ||
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum ? 1 : 0), error) ||
      Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_stableInBuffer, 1), error) ||
      Failed(ZSTD_CCtx_setPledgedSrcSize(c, plain.size()), error))
    return false;
  if (!base.empty()) {
    if (Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), error) ||
        Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, DeltaWindowLog(plain.size(), base.size())), error) ||
        Failed(ZSTD_CCtx_refPrefix(c, base.data(), base.size()), error))
      return false;
    const int chainLog = ResidualChainLog(level, DeltaWindowLog(plain.size(), base.size()));
    if (residual && chainLog > 0 && Failed(ZSTD_CCtx_setParameter(c, ZSTD_c_chainLog, chainLog), error))
      return false;
  }
  // The input is handed over a slice at a time and the object taken in
  // pieces: the object takes what it is, not the bound of what it could be,
  // and the caller hears how far the input has got.
  out.clear();
  std::string piece(ZSTD_CStreamOutSize(), '\0');
  ZSTD_inBuffer in{plain.data(), 0, 0};
  for (size_t left = 1; left != 0;) {
    if (in.pos == in.size) in.size = std::min(plain.size(), in.size + kProgressSlice);
    const bool last = in.size == plain.size();
    ZSTD_outBuffer outBuffer{piece.data(), piece.size(), 0};
    left = ZSTD_compressStream2(c, &outBuffer, &in, last ? ZSTD_e_end : ZSTD_e_continue);
    if (Failed(left, error)) return false;
    out.append(piece.data(), outBuffer.pos);
    if (progress) progress(in.pos);
    if (!last) left = 1;
  }
  out.shrink_to_fit();
  return true;
}

}  // namespace

int DeltaWindowLog(uint64_t plain, uint64_t base) {
  int log = kMinWindowLog;
  while (log < kMaxDeltaWindowLog && (uint64_t{1} << log) < base + plain) ++log;
  return log;
}

bool EncodeObject(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error,
                  const EncodeProgress& progress) {
  return Encode(plain, base, level, true, false, out, error, progress);
}

bool EncodeResidual(std::string_view plain, std::string_view prediction, int level, std::string& out,
                    std::string& error, const EncodeProgress& progress) {
  return Encode(plain, prediction, level, false, true, out, error, progress);
}

uint64_t EncoderTableBytes(int level, int windowLog, bool residual) {
  const std::unique_ptr<ZSTD_CCtx_params, ParamsFree> params(ZSTD_createCCtxParams());
  if (!params || ZSTD_isError(ZSTD_CCtxParams_init(params.get(), level))) return 0;
  uint64_t longMatching = 0;
  if (windowLog > 0) {
    // Long-distance matching is counted here: the library's estimate takes
    // its table's size from parameters it fills in only when compressing.
    ZSTD_CCtxParams_setParameter(params.get(), ZSTD_c_windowLog, windowLog);
    const int chainLog = ResidualChainLog(level, windowLog);
    if (residual && chainLog > 0) ZSTD_CCtxParams_setParameter(params.get(), ZSTD_c_chainLog, chainLog);
    longMatching = (uint64_t{1} << (windowLog - kLongMatchRateLog)) * kLongMatchEntryBytes;
  }
  const size_t tables = ZSTD_estimateCCtxSize_usingCCtxParams(params.get());
  return ZSTD_isError(tables) ? 0 : tables + longMatching;
}

}  // namespace updpub
