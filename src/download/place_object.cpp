#include "download/place_object.h"

#include <memory>
#include <new>
#include <stdexcept>

#include "codecs/object_decoder.h"
#include "download/growing_file.h"
#include "download/object_decoding.h"
#include "site/listed_hashes.h"

namespace engine {
namespace {

constexpr char kDecodeFailedTrace[] = "解压失败:";

// Decoded bytes join the received ones on their way to the staging file.
class DecodedSink : public files::WritableFile {
 public:
  DecodedSink(RunState& run, GrowingFile& out) : run_(run), out_(out) {}
  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    run_.buffer.insert(run_.buffer.end(), bytes, bytes + size);
    return Spill(run_, out_);
  }
  void Close() override {}

 private:
  RunState& run_;
  GrowingFile& out_;
};

// The object from `in`, piece by piece, through its decoder.
files::DecodeStatus Feed(RunState& run, files::ReadableFile& in, files::StreamDecoder& decoder) {
  for (;;) {
    size_t got = 0;
    if (!in.Read(run.wire.data(), run.wire.size(), got)) return files::DecodeStatus::kTruncated;
    run.Touch();
    if (got == 0 || !decoder.Feed(run.wire.data(), got)) break;
  }
  return decoder.Finish();
}

// Whatever allocates or sizes memory on the way, in a decoder or in the
// buffer, fails this object alone, as a base that does not fit does.
template <typename Step>
files::DecodeStatus WithinMemory(Step step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return files::DecodeStatus::kNoMemory;
  } catch (const std::length_error&) {
    return files::DecodeStatus::kNoMemory;
  }
}

// The received object, read back piece by piece, through its decoder into
// the file at `to`: straight into its mapping where it has one, else
// through the run's buffer. An object's reader has the listed plain size,
// which the list reader guarantees wherever it keeps an object.
files::DecodeStatus Decode(RunState& run, const FileEntry& file, ObjectKind kind, const std::string& from,
                           const std::string& to) {
  const std::unique_ptr<files::ReadableFile> in = run.fs.OpenForReading(from);
  if (!in) return files::DecodeStatus::kTruncated;
  DecodeSpace& space = run.space;
  const uint64_t size = file.Size.value_or(0);
  if (space.Output() || kind == ObjectKind::kSegmentedDelta) {
    const files::DecodeStatus status = WithinMemory([&] {
      const std::unique_ptr<files::StreamDecoder> decoder = DecoderInto(kind, size, space);
      return Feed(run, *in, *decoder);
    });
    space.CloseOutput();
    return run.Stopped() ? files::DecodeStatus::kSinkFailed : status;
  }
  if (!run.fs.OpenForAppend(to, true)) return files::DecodeStatus::kSinkFailed;
  GrowingFile out(run, to, 0);
  DecodedSink sink(run, out);
  const files::DecodeStatus status = WithinMemory([&] {
    const std::unique_ptr<files::StreamDecoder> decoder = DecoderFor(kind, sink, size, space.Base(), space.baseCrc);
    return Feed(run, *in, *decoder);
  });
  if (run.Stopped()) return files::DecodeStatus::kSinkFailed;
  FlushBuffer(run, out);  // a short file shows in its signature
  return status;
}

}  // namespace

bool StagedMatches(RunState& run, const std::string& path, const FileEntry& file) {
  if (run.job.requireSha256) return DigestMatches(run.fs.Digest(path, run.touch), file);
  return SignatureMatches(run.fs.Signature(path, run.touch), file.Hash);
}

Outcome PlaceObject(RunState& run, int index, const FileEntry& file, const ObjectToTry& object,
                    const PartialPaths& partial, const std::string& staging) {
  bool placed = false;
  bool noMemory = false;
  if (object.kind == ObjectKind::kPlain) {
    placed = StagedMatches(run, partial.data, file) && run.fs.MoveOnto(partial.data, staging);
  } else {
    // Decoded beside the partial file and renamed onto the staging path only
    // once it matches: a decode that fails or is cut short by a stop or a
    // killed process never leaves a file there that is not the one listed.
    const std::string decoded = partial.data + kPartialDecodedSuffix;
    const files::DecodeStatus status = Decode(run, file, object.kind, partial.data, decoded);
    if (status != files::DecodeStatus::kOk) {
      noMemory = status == files::DecodeStatus::kNoMemory;
      run.notify.Trace(kDecodeFailedTrace + std::string(files::DecodeStatusName(status)));
    } else {
      placed = StagedMatches(run, decoded, file) && run.fs.MoveOnto(decoded, staging);
    }
    if (!placed) run.fs.RemoveFile(decoded);
  }
  run.ReleaseSpace();
  run.fs.RemoveFile(partial.record);
  // A plain file's bytes were renamed onto the staging path; an object's are
  // used up once its file is staged.
  if (!placed || object.kind != ObjectKind::kPlain) run.fs.RemoveFile(partial.data);
  if (noMemory && !run.Stopped()) return Outcome::kNoMemory;
  return run.EndFile(index, placed);
}

}  // namespace engine
