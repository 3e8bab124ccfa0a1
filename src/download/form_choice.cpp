#include "download/form_choice.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codecs/object_decoder.h"
#include "codecs/segmented_delta.h"
#include "digests/crc32.h"
#include "download/partial_download.h"
#include "net/url_encoding.h"
#include "site/listed_hashes.h"

namespace engine {
namespace {

// A match reaches back no further than the decoder's window, so no larger
// base is of use.
constexpr uint64_t kLargestBase = uint64_t{1} << files::kMaxWindowLog;
// A delta in segments' base is read for its CRC-32 this much at a time.
constexpr uint64_t kCrcRegion = uint64_t{64} << 20;

constexpr char kPackedTrace[] = "下载压缩文件:";
constexpr char kDeltaTrace[] = "下载差异文件:";
constexpr char kCodeDeltaTrace[] = "下载代码差异文件:";
constexpr char kSegmentedDeltaTrace[] = "下载分段差异文件:";
constexpr char kDeltaBaseTrace[] = " 基准文件:";
constexpr char kDecoderTrace[] = "解压库版本:";
constexpr char kBaseUnreadableTrace[] = "基准文件无法读取:";
constexpr char kBaseChangedTrace[] = "基准文件已改变:";
constexpr char kNotMappedTrace[] = "无法映射文件:";
constexpr char kStreamedTrace[] = "无法映射解压文件，逐段写入:";

// Why a delta's base is not used.
enum class BaseRead { kRead, kUnreadable, kChanged };

std::string CrcText(uint32_t crc) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(crc >> shift) & 0xF];
  return text;
}

// The CRC-32 of bytes in view, in pieces, each one activity; nullopt once a
// stop is requested.
std::optional<uint32_t> CrcInPieces(RunState& run, std::string_view bytes, uint32_t crc) {
  for (size_t at = 0; at < bytes.size(); at += kDecodeReadSize) {
    if (run.Stopped()) return std::nullopt;
    crc = files::Crc32Update(crc, bytes.data() + at, std::min(kDecodeReadSize, bytes.size() - at));
    run.Touch();
  }
  return crc;
}

// The base, mapped, its CRC-32 computed over the view in pieces, each one
// activity, and compared with the CRC the delta was made against: the file
// may have changed since the difference step read it.
BaseRead MapBase(RunState& run, const ObjectToTry& object) {
  DecodeSpace& space = run.space;
  space.base = run.fs.MapForReading(run.job.programFolder + object.baseName);
  if (!space.base || space.base->Size() > kLargestBase) return BaseRead::kUnreadable;
  const std::optional<uint32_t> crc = CrcInPieces(run, space.Base(), 0);
  if (!crc) return BaseRead::kUnreadable;
  space.baseCrc = *crc;
  return SignatureMatches(CrcText(*crc), object.baseCrc) ? BaseRead::kRead : BaseRead::kChanged;
}

// A delta in segments' base, opened for mapping and its CRC-32 computed
// over one region in view at a time, so that no size needs more address
// space than a region's.
BaseRead OpenBaseInRegions(RunState& run, const ObjectToTry& object) {
  DecodeSpace& space = run.space;
  space.baseFile = run.fs.OpenMappable(run.job.programFolder + object.baseName);
  if (!space.baseFile) return BaseRead::kUnreadable;
  uint32_t crc = 0;
  for (uint64_t at = 0; at < space.baseFile->Size(); at += kCrcRegion) {
    const std::unique_ptr<files::MappedFile> region = space.baseFile->MapRegion(at, kCrcRegion);
    if (!region) return BaseRead::kUnreadable;
    const std::optional<uint32_t> next =
        CrcInPieces(run, std::string_view(region->Data(), static_cast<size_t>(region->Size())), crc);
    if (!next) return BaseRead::kUnreadable;
    crc = *next;
  }
  space.baseCrc = crc;
  return SignatureMatches(CrcText(crc), object.baseCrc) ? BaseRead::kRead : BaseRead::kChanged;
}

// The decoded file created at its size for mapping, and the largest
// segment's regions mapped once and let go: whether the address space
// holds them is known before the request.
bool OpenOutputInRegions(RunState& run, const FileEntry& file, const ObjectToTry& object) {
  DecodeSpace& space = run.space;
  const uint64_t size = file.Size.value_or(0);
  space.outputPath = PartialPathsOf(run.stagingFolder, FormUrl(run, object)).data + kPartialDecodedSuffix;
  space.outputFile = run.fs.CreateMappable(space.outputPath, size);
  std::string_view baseView;
  char* outputView = nullptr;
  const files::Region largestBase{0, files::kMaxSegment + 2 * files::kMaxReach};
  const files::Region largestOutput{0, std::min(size, files::kMaxSegment)};
  const bool fits = space.outputFile && space.MapSegment(largestBase, largestOutput, baseView, outputView);
  space.segmentBase.reset();
  space.segmentOutput.reset();
  if (!fits) run.notify.Trace(kNotMappedTrace + space.outputPath);
  return fits;
}

// A file of the new file's size beside the partial one, mapped; false, with
// a trace, when it cannot be. An empty file needs no mapping.
bool MapScratch(RunState& run, uint64_t size, const std::string& path, std::unique_ptr<files::MappedFile>& view,
                bool traced) {
  if (size == 0) return true;
  view = run.fs.CreateMapped(path, size);
  if (view) return true;
  if (traced) run.notify.Trace(kNotMappedTrace + path);
  return false;
}

// The decoded file's room and a code delta's prediction's, mapped before the
// request so that a form the address space cannot hold costs none. A packed
// object whose output cannot be mapped is decoded through a sink instead,
// as long as its window allows.
bool MapOutput(RunState& run, const FileEntry& file, const ObjectToTry& object) {
  DecodeSpace& space = run.space;
  const uint64_t size = file.Size.value_or(0);
  const std::string partial = PartialPathsOf(run.stagingFolder, FormUrl(run, object)).data;
  space.outputPath = partial + kPartialDecodedSuffix;
  const bool packed = object.kind == ObjectKind::kPacked;
  if (!MapScratch(run, size, space.outputPath, space.output, !packed)) {
    if (!packed) return false;
    run.notify.Trace(kStreamedTrace + space.outputPath);
  }
  if (object.kind != ObjectKind::kCodeDelta) return true;
  space.predictionPath = partial + kPartialPredictionSuffix;
  return MapScratch(run, size, space.predictionPath, space.prediction, true);
}

// For a compressed form: the trace, and its files mapped. False, with a
// trace, when they cannot be or a delta's base is of no use.
bool PrepareForm(RunState& run, const FileEntry& file, const ObjectToTry& object) {
  run.ReleaseSpace();
  if (!run.decoderTraced) {
    run.notify.Trace(kDecoderTrace + std::string(files::DecoderVersion()));
    run.decoderTraced = true;
  }
  const std::string address = net::FileUrl(run.job.serverAddr, run.job.version, object.name);
  if (object.kind == ObjectKind::kPacked) {
    run.notify.Trace(kPackedTrace + address);
    return MapOutput(run, file, object);
  }
  const bool segmented = object.kind == ObjectKind::kSegmentedDelta;
  run.notify.Trace((object.kind == ObjectKind::kCodeDelta ? kCodeDeltaTrace
                    : segmented                           ? kSegmentedDeltaTrace
                                                          : kDeltaTrace) +
                   address + kDeltaBaseTrace + object.baseName);
  const BaseRead read = segmented ? OpenBaseInRegions(run, object) : MapBase(run, object);
  if (read == BaseRead::kRead) {
    if (segmented ? OpenOutputInRegions(run, file, object) : MapOutput(run, file, object)) return true;
  } else {
    run.notify.Trace((read == BaseRead::kChanged ? kBaseChangedTrace : kBaseUnreadableTrace) + object.baseName);
  }
  run.ReleaseSpace();
  return false;
}

// The compressed form this attempt may take, moving `next` past it, or null
// for the plain file (always the last of forms). Each form is asked for
// once in a run, so one the mirror lacks costs one request.
const ObjectToTry* NextForm(const std::vector<ObjectToTry>& forms, size_t& next, int attempt) {
  if (attempt > kAttemptsPerFile - kPlainFileAttempts || next + 1 >= forms.size()) return nullptr;
  return &forms[next++];
}

}  // namespace

std::vector<ObjectToTry> FormsFor(RunState& run, const FileEntry& file) {
  const InstalledSignature signatureOf = [&run](const std::string& name) {
    return run.fs.Signature(run.job.programFolder + name, run.touch);
  };
  return ObjectsToTry(file, file.LocalSignature, signatureOf);
}

const ObjectToTry& TakeForm(RunState& run, const FileEntry& file, const std::vector<ObjectToTry>& forms,
                            size_t& next, int attempt) {
  for (;;) {
    const ObjectToTry* form = NextForm(forms, next, attempt);
    if (!form) return forms.back();
    if (PrepareForm(run, file, *form)) return *form;
  }
}

std::string FormUrl(const RunState& run, const ObjectToTry& form) {
  return net::EncodeUrl(net::FileUrl(run.job.serverAddr, run.job.version, form.name), run.job.utf8Urls);
}

}  // namespace engine
