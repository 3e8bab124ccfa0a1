#include "download/form_choice.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "codecs/object_decoder.h"
#include "digests/crc32.h"
#include "net/url_encoding.h"
#include "site/listed_hashes.h"

namespace engine {
namespace {

// A delta's base is held in memory while the delta is decoded against it;
// the decoder's window bounds how far back a match may reach anyway.
constexpr uint64_t kLargestBase = uint64_t{1} << files::kMaxWindowLog;

constexpr char kPackedTrace[] = "下载压缩文件:";
constexpr char kDeltaTrace[] = "下载差异文件:";
constexpr char kCodeDeltaTrace[] = "下载代码差异文件:";
constexpr char kDeltaBaseTrace[] = " 基准文件:";
constexpr char kDecoderTrace[] = "解压库版本:";
constexpr char kBaseUnreadableTrace[] = "基准文件无法读取:";
constexpr char kBaseChangedTrace[] = "基准文件已改变:";
constexpr char kBaseNoMemoryTrace[] = "基准文件内存不足:";

// Why a delta's base is not used.
enum class BaseRead { kRead, kUnreadable, kChanged, kNoMemory };

std::string CrcText(uint32_t crc) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(crc >> shift) & 0xF];
  return text;
}

// The base, read in pieces, each one activity, and compared with the CRC
// the delta was made against: the file may have changed since the
// difference step read it.
BaseRead ReadBase(RunState& run, const ObjectToTry& object) {
  run.ReleaseBase();
  const std::unique_ptr<files::ReadableFile> in = run.fs.OpenForReading(run.job.programFolder + object.baseName);
  uint64_t size = 0;
  if (!in || !in->Size(size) || size > kLargestBase) return BaseRead::kUnreadable;
  try {
    run.reference.reserve(static_cast<size_t>(size));
    uint32_t crc = 0;
    for (;;) {
      size_t got = 0;
      if (!in->Read(run.wire.data(), run.wire.size(), got)) {
        run.ReleaseBase();
        return BaseRead::kUnreadable;
      }
      if (got == 0) break;
      run.Touch();
      if (run.reference.size() + got > kLargestBase) {
        run.ReleaseBase();
        return BaseRead::kUnreadable;
      }
      run.reference.append(run.wire.data(), got);
      crc = files::Crc32Update(crc, run.wire.data(), got);
    }
    run.referenceCrc = crc;
    if (SignatureMatches(CrcText(crc), object.baseCrc)) return BaseRead::kRead;
  } catch (const std::bad_alloc&) {
    run.ReleaseBase();
    return BaseRead::kNoMemory;
  }
  run.ReleaseBase();
  return BaseRead::kChanged;
}

// For a compressed form: the trace, and for a delta its base read into
// memory. False, with a trace, when the base is of no use.
bool PrepareForm(RunState& run, const ObjectToTry& object) {
  if (!run.decoderTraced) {
    run.notify.Trace(kDecoderTrace + std::string(files::DecoderVersion()));
    run.decoderTraced = true;
  }
  const std::string address = net::FileUrl(run.job.serverAddr, run.job.version, object.name);
  if (object.kind == ObjectKind::kPacked) {
    run.notify.Trace(kPackedTrace + address);
    return true;
  }
  run.notify.Trace((object.kind == ObjectKind::kCodeDelta ? kCodeDeltaTrace : kDeltaTrace) + address +
                   kDeltaBaseTrace + object.baseName);
  const BaseRead read = ReadBase(run, object);
  if (read == BaseRead::kRead) return true;
  run.notify.Trace((read == BaseRead::kChanged    ? kBaseChangedTrace
                    : read == BaseRead::kNoMemory ? kBaseNoMemoryTrace
                                                  : kBaseUnreadableTrace) +
                   object.baseName);
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

const ObjectToTry& TakeForm(RunState& run, const std::vector<ObjectToTry>& forms, size_t& next, int attempt) {
  for (;;) {
    const ObjectToTry* form = NextForm(forms, next, attempt);
    if (!form) return forms.back();
    if (PrepareForm(run, *form)) return *form;
  }
}

}  // namespace engine
