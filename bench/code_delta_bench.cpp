// Code deltas beside zstd's delta, measured in one run on pairs of files.
//
//   code_delta_bench OLD NEW [OLD NEW ...]   sizes and times per pair
//   code_delta_bench --decode OLD OBJECT SIZE code|delta
//                                            one decode, then its peak memory
//
// Per pair: the plain size, the packed object, the delta and the code delta
// (both as updpub makes them, level 19), the time to make each and the time
// to decode each with the updater's decoders (best of three). Times are the
// process's CPU time: on a shared machine wall time measures the neighbours.
#include <sys/resource.h>

#include <ctime>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "files/code_delta_decoder.h"
#include "files/crc32.h"
#include "files/file_system.h"
#include "files/object_decoder.h"
#include "updpub/packing/code_delta_encoder.h"
#include "updpub/packing/object_codec.h"

namespace {

// CPU time of this process.
struct Clock {
  using time_point = std::clock_t;
  static time_point now() { return std::clock(); }
};
constexpr int kLevel = 19;
constexpr int kRounds = 5;
constexpr size_t kPiece = 64 * 1024;

double Seconds(std::clock_t ticks) { return static_cast<double>(ticks) / CLOCKS_PER_SEC; }

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

// The updater has the base's CRC-32 from reading it (for either kind of
// delta) and hands it to the code delta's decoder: it is computed before the
// clock starts.
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

double Best(const std::function<void()>& run) {
  double best = 1e30;
  for (int i = 0; i < kRounds; ++i) {
    const Clock::time_point start = Clock::now();
    run();
    best = std::min(best, Seconds(Clock::now() - start));
  }
  return best;
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
  Clock::time_point start = Clock::now();
  if (!updpub::EncodeObject(plain, base, kLevel, delta, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  f.deltaMake = Seconds(Clock::now() - start);
  start = Clock::now();
  if (!updpub::EncodeCodeDelta(plain, base, kLevel, code, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  f.codeMake = Seconds(Clock::now() - start);
  f.packed = packed.size();
  f.delta = delta.size();
  f.code = code.size();
  const uint32_t baseCrc = files::Crc32Update(0, base.data(), base.size());
  if (!Decode(code, base, baseCrc, plain.size(), true, &plain) ||
      !Decode(delta, base, baseCrc, plain.size(), false, &plain)) {
    std::fprintf(stderr, "%s: a decode differs from the file\n", newPath);
    return 1;
  }
  f.deltaDecode = Best([&] { Decode(delta, base, baseCrc, plain.size(), false, nullptr); });
  f.codeDecode = Best([&] { Decode(code, base, baseCrc, plain.size(), true, nullptr); });
  std::printf("%s\n  plain %" PRIu64 "  packed %" PRIu64 "  delta %" PRIu64 "  code delta %" PRIu64
              "  code/delta %.3f\n  make: delta %.2f s  code delta %.2f s (%.2fx)\n"
              "  decode: delta %.3f s  code delta %.3f s (%.2fx; target <= 2x)\n",
              newPath, f.plain, f.packed, f.delta, f.code, double(f.code) / double(f.delta), f.deltaMake, f.codeMake,
              f.codeMake / f.deltaMake, f.deltaDecode, f.codeDecode, f.codeDecode / f.deltaDecode);
  total.plain += f.plain;
  total.packed += f.packed;
  total.delta += f.delta;
  total.code += std::min(f.code, f.delta);
  return 0;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
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
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: code_delta_bench OLD NEW [OLD NEW ...] | --decode OLD OBJECT SIZE code|delta\n");
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
