// Code deltas beside zstd's delta, measured in one run on pairs of files.
//
//   code_delta_bench OLD NEW [OLD NEW ...]   sizes and times per pair
//   code_delta_bench --decode OLD OBJECT SIZE code|delta
//                                            one decode, then its peak memory
//   code_delta_bench --code OLD NEW          the code delta alone: its size, the
//                                            time to make it, what it predicts
//   code_delta_bench --decode-times OLD NEW CODE_DELTA DELTA
//                                            the decode times of two objects
//                                            made of NEW (as in the list)
//
// Per pair: the plain size, the packed object, the delta and the code delta
// (both as updpub makes them, level 19), the time to make each and the time
// to decode each with the updater's decoders (best of five), and how much of
// the new file's references the prediction gets exactly (prediction_hits.h).
// Times are the process's CPU time: on a shared machine wall time measures
// the neighbours.
// Built for Windows, --decode-times measures Update.exe's own 32-bit build
// of the decoders under Wine, whose thread and process times tick at 10 ms,
// too coarse for decodes of a few: there the best of the wall times stands
// in for them.
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <ctime>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/code_delta_decoder.h"
#include "codecs/object_decoder.h"
#include "digests/crc32.h"
#include "files/file_system.h"
#include "prediction_hits.h"
#include "updpub/packing/code_delta_encoder.h"
#include "updpub/packing/object_codec.h"

namespace {

// Seconds of this process's CPU time (see above for Windows).
double Now() {
#ifdef _WIN32
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}
constexpr int kLevel = 19;
constexpr int kRounds = 5;
// Wall times need more rounds for their best to be the decode's own.
constexpr int kWallRounds = 15;
constexpr size_t kPiece = 64 * 1024;

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Counts what it is given and checks it against the expected bytes.
class CheckingSink : public files::WritableFile {
 public:
  explicit CheckingSink(const std::string* expected) : expected_(expected) {}
  bool Write(const void* data, size_t size) override {
    if (expected_ && (at_ + size > expected_->size() || expected_->compare(at_, size, static_cast<const char*>(data), size) != 0))
      same_ = false;
    at_ += size;
    return true;
  }
  void Close() override {}
  bool Same() const { return same_ && (!expected_ || at_ == expected_->size()); }

 private:
  const std::string* expected_;
  size_t at_ = 0;
  bool same_ = true;
};

bool Decode(const std::string& object, const std::string& base, uint32_t baseCrc, uint64_t size, bool code,
            const std::string* expected) {
  CheckingSink sink(expected);
  std::unique_ptr<files::StreamDecoder> decoder;
  if (code) {
    decoder = std::make_unique<files::CodeDeltaDecoder>(sink, size, base, baseCrc);
  } else {
    decoder = std::make_unique<files::ObjectDecoder>(sink, size, base);
  }
  for (size_t at = 0; at < object.size(); at += kPiece)
    if (!decoder->Feed(object.data() + at, std::min(kPiece, object.size() - at))) break;
  return decoder->Finish() == files::DecodeStatus::kOk && sink.Same();
}

double Best(const std::function<void()>& run, int rounds = kRounds) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double start = Now();
    run();
    best = std::min(best, Now() - start);
  }
  return best;
}

// The decode times of both objects of one file, after checking that both
// give it; false when one does not.
bool TimeDecodes(const std::string& code, const std::string& delta, const std::string& base, const std::string& plain,
                 int rounds, double& codeTime, double& deltaTime) {
  // The updater has the base's CRC-32 from reading it (for either kind of
  // delta) and hands it to the code delta's decoder: it is computed before
  // the clock starts.
  const uint32_t baseCrc = files::Crc32Update(0, base.data(), base.size());
  if (!Decode(code, base, baseCrc, plain.size(), true, &plain) ||
      !Decode(delta, base, baseCrc, plain.size(), false, &plain))
    return false;
  deltaTime = Best([&] { Decode(delta, base, baseCrc, plain.size(), false, nullptr); }, rounds);
  codeTime = Best([&] { Decode(code, base, baseCrc, plain.size(), true, nullptr); }, rounds);
  return true;
}

void PrintDecodes(double deltaTime, double codeTime) {
  std::printf("  decode: delta %.3f s  code delta %.3f s (%.2fx; target <= 2x)\n", deltaTime, codeTime,
              codeTime / deltaTime);
}

struct Figures {
  uint64_t plain = 0, packed = 0, delta = 0, code = 0;
  double deltaMake = 0, codeMake = 0, deltaDecode = 0, codeDecode = 0;
};

int RunPair(const char* oldPath, const char* newPath, Figures& total) {
  const std::string base = ReadAll(oldPath);
  const std::string plain = ReadAll(newPath);
  std::string packed, delta, code, error;
  Figures f;
  f.plain = plain.size();
  if (!updpub::EncodeObject(plain, {}, kLevel, packed, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  double start = Now();
  if (!updpub::EncodeObject(plain, base, kLevel, delta, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  f.deltaMake = Now() - start;
  start = Now();
  if (!updpub::EncodeCodeDelta(plain, base, kLevel, code, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  f.codeMake = Now() - start;
  f.packed = packed.size();
  f.delta = delta.size();
  f.code = code.size();
  if (!TimeDecodes(code, delta, base, plain, kRounds, f.codeDecode, f.deltaDecode)) {
    std::fprintf(stderr, "%s: a decode differs from the file\n", newPath);
    return 1;
  }
  std::printf("%s\n  plain %" PRIu64 "  packed %" PRIu64 "  delta %" PRIu64 "  code delta %" PRIu64
              "  code/delta %.3f\n  make: delta %.2f s  code delta %.2f s (%.2fx)\n",
              newPath, f.plain, f.packed, f.delta, f.code, double(f.code) / double(f.delta), f.deltaMake, f.codeMake,
              f.codeMake / f.deltaMake);
  PrintDecodes(f.deltaDecode, f.codeDecode);
  bench::PrintPredictionHits(base, plain, code);
  total.plain += f.plain;
  total.packed += f.packed;
  total.delta += f.delta;
  total.code += std::min(f.code, f.delta);
  return 0;
}

#ifndef _WIN32
long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--decode-times") {
    double codeTime = 0, deltaTime = 0;
    if (!TimeDecodes(ReadAll(argv[4]), ReadAll(argv[5]), ReadAll(argv[2]), ReadAll(argv[3]), kWallRounds, codeTime,
                     deltaTime)) {
      std::fprintf(stderr, "%s: a decode differs from the file\n", argv[3]);
      return 1;
    }
    PrintDecodes(deltaTime, codeTime);
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--code") {
    const std::string base = ReadAll(argv[2]);
    const std::string plain = ReadAll(argv[3]);
    std::string code, error;
    const double start = Now();
    if (!updpub::EncodeCodeDelta(plain, base, kLevel, code, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    std::printf("%s\n  code delta %zu  make %.2f s\n", argv[3], code.size(), Now() - start);
    bench::PrintPredictionHits(base, plain, code);
    return 0;
  }
#ifndef _WIN32  // the peak memory is measured natively
  if (argc == 6 && std::string(argv[1]) == "--decode") {
    const std::string base = ReadAll(argv[2]);
    const std::string object = ReadAll(argv[3]);
    const uint64_t size = std::strtoull(argv[4], nullptr, 10);
    const long before = PeakKilobytes();
    const bool ok = Decode(object, base, files::Crc32Update(0, base.data(), base.size()), size,
                           std::string(argv[5]) == "code", nullptr);
    std::printf("decode %s: %s, peak %ld KiB (%ld KiB before decoding: base and object read)\n", argv[5],
                ok ? "ok" : "FAILED", PeakKilobytes(), before);
    return ok ? 0 : 1;
  }
#endif
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: code_delta_bench OLD NEW [OLD NEW ...] | --code OLD NEW |"
                 " --decode OLD OBJECT SIZE code|delta | --decode-times OLD NEW CODE_DELTA DELTA\n");
    return 2;
  }
  Figures total;
  for (int i = 1; i + 1 < argc; i += 2)
    if (RunPair(argv[i], argv[i + 1], total) != 0) return 1;
  std::printf("total: plain %" PRIu64 "  packed %" PRIu64 "  delta %" PRIu64 "  fetched (smaller kept) %" PRIu64
              "  fetched/delta %.3f\n",
              total.plain, total.packed, total.delta, total.code, double(total.code) / double(total.delta));
  return 0;
}
