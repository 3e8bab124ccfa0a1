#include "download/download_run.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "codecs/object_decoder.h"
#include "digests/crc32.h"
#include "download/object_choice.h"
#include "download/object_decoding.h"
#include "download/partial_download.h"
#include "files/file_system.h"
#include "files/real_folders.h"
#include "net/url_encoding.h"
#include "site/listed_hashes.h"
#include "site/signed_documents.h"

namespace engine {
namespace {

// Bytes the write buffer may hold while writes keep failing.
constexpr size_t kWriteBufferLimit = 2 * kWriteThreshold;
// A delta's base is held in memory while the delta is decoded against it;
// the decoder's window bounds how far back a match may reach anyway.
constexpr uint64_t kLargestBase = uint64_t{1} << files::kMaxWindowLog;
// A received object, and a delta's base, are read in pieces of this size.
constexpr size_t kDecodeReadSize = size_t{64} << 10;

constexpr char kFetchTrace[] = "下载文件:";
constexpr char kPackedTrace[] = "下载压缩文件:";
constexpr char kDeltaTrace[] = "下载差异文件:";
constexpr char kCodeDeltaTrace[] = "下载代码差异文件:";
constexpr char kDeltaBaseTrace[] = " 基准文件:";
constexpr char kDecoderTrace[] = "解压库版本:";
constexpr char kDecodeFailedTrace[] = "解压失败:";
constexpr char kBaseUnreadableTrace[] = "基准文件无法读取:";
constexpr char kBaseChangedTrace[] = "基准文件已改变:";
constexpr char kBaseNoMemoryTrace[] = "基准文件内存不足:";
constexpr char kWrongLengthTrace[] = "应答长度与文件列表不符:";
constexpr char kFolderNotMadeTrace[] = "无法建立目录:";

// A file that grows by appends, held open from its first write to Close, so
// that a scanner is not handed the whole file again after every piece. The
// handle is the run's stoppable one: a stop closes it, and nothing is
// written after it. Where a write lands only in part, what reached the disk
// is measured, so the caller keeps exactly the rest.
class GrowingFile {
 public:
  GrowingFile(files::FileSystem& fs, DownloadControl& control, std::string path, uint64_t onDisk)
      : fs_(fs), control_(control), path_(std::move(path)), onDisk_(onDisk) {}
  ~GrowingFile() { Close(); }
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // Writes data; landed gets how many of its bytes are on disk now. False
  // when not all of them are.
  bool Write(const char* data, size_t size, size_t& landed) {
    landed = 0;
    if (control_.output.Append(fs_, path_, data, size)) {
      onDisk_ += size;
      landed = size;
      return true;
    }
    if (control_.stopRequested) return false;
    // The handle may be broken: a fresh one is opened for the next write,
    // at the length measured now.
    const std::unique_ptr<files::ReadableFile> reader = fs_.OpenForReading(path_);
    uint64_t length = 0;
    if (reader && reader->Size(length) && length >= onDisk_ && length - onDisk_ <= size) {
      landed = static_cast<size_t>(length - onDisk_);
      onDisk_ = length;
    }
    return false;
  }
  void Close() { control_.output.Close(); }

 private:
  files::FileSystem& fs_;
  DownloadControl& control_;
  const std::string path_;
  uint64_t onDisk_;
};

// How a file, or one attempt at it, ended. kNoMemory: an object could not
// be decoded in the memory there is; the attempt goes on with the next form.
enum class Outcome { kFetched, kFailed, kStopped, kNoMemory };

// Why a delta's base is not used.
enum class BaseRead { kRead, kUnreadable, kChanged, kNoMemory };

// One run over the list. The stop flag is checked before every call into a
// port and before every notification: once the watchdog has set it, nothing
// more is asked of the server, the disk or the window, and the staging file
// and the buffer are released on the way out.
class Run {
 public:
  Run(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
      DownloadNotifier& notify, DownloadControl& control)
      : job_(job), http_(http), fs_(fs), clock_(clock), notify_(notify), control_(control),
        stagingFolder_(job.programFolder + kStagingFolderName), touch_([this] { Touch(); }),
        stopped_([this] { return Stopped(); }) {
    // Room for the write threshold plus the read that crosses it; allocated
    // once, whatever the size of the files.
    buffer_.reserve(kWriteThreshold + kReadSize);
  }

  void AllFiles() {
    const Outcome outcome = StagingFolderReady() ? EveryFile() : Outcome::kFailed;
    if (outcome == Outcome::kStopped || Stopped()) return;
    const bool success = outcome == Outcome::kFetched;
    if (!control_.ClaimEnd(success ? RunEnd::kCompleted : RunEnd::kFailed)) return;
    notify_.Complete(success);
  }

 private:
  // Stopped by the watchdog, or its time-out claimed before the stop is set.
  bool Stopped() const { return control_.stopRequested.load() || control_.end.load() == RunEnd::kTimedOut; }

  // Local work that goes on (a read, a decoded piece, a hashed piece) is
  // activity as much as bytes that arrive: the watchdog ends only a transfer
  // that brings nothing.
  void Touch() { control_.lastActivityTick = clock_.Now(); }

  // The staging folder as a real folder of its own, never written through a
  // link that stands in its place.
  bool StagingFolderReady() {
    if (Stopped()) return false;
    if (fs_.IsLink(stagingFolder_)) {
      if (!Stopped()) notify_.Trace(kStagingLinkTrace + stagingFolder_);
      return false;
    }
    // The folders below it are the updater's own: a link there is removed,
    // and one that stays, like a folder that cannot be made, ends the run.
    if (Stopped()) return false;
    fs_.MakeFolders(stagingFolder_);
    if (files::MakeRealFolders(fs_, stagingFolder_, stagingFolder_ + kPartialFolder, stopped_)) return true;
    if (!Stopped()) notify_.Trace(kFolderNotMadeTrace + stagingFolder_ + kPartialFolder);
    return false;
  }

  Outcome EveryFile() {
    for (size_t i = 0; i < job_.files.size(); ++i) {
      const Outcome outcome = OneFile(static_cast<int>(i) + 1, job_.files[i]);
      if (outcome != Outcome::kFetched) return outcome;  // later files are not tried
    }
    return Outcome::kFetched;
  }

  Outcome OneFile(int index, const FileEntry& file) {
    if (Stopped()) return Outcome::kStopped;
    if (!IsPlaceableName(file.Name)) {
      // The list reader leaves these out; a job is never trusted to have.
      notify_.Trace((IsInStagingFolder(file.Name) ? kInStagingFolderTrace : kLeavingFolderTrace) + file.Name);
      return Outcome::kFetched;
    }
    notify_.FileStart(index);
    const std::string url = net::FileUrl(job_.serverAddr, job_.version, file.Name);
    if (Stopped()) return Outcome::kStopped;
    notify_.Trace(kFetchTrace + url);
    const std::string staging = stagingFolder_ + file.Name;

    // A staged copy is read, and a new one written, only in folders of the
    // updater's own making, never through a link.
    const std::string folder = FolderOfEntry(stagingFolder_, file.Name);
    if (!files::MakeRealFolders(fs_, stagingFolder_, folder, stopped_)) {
      if (Stopped()) return Outcome::kStopped;
      notify_.Trace(kFolderNotMadeTrace + folder);
      return EndFile(index, false);
    }
    if (Stopped()) return Outcome::kStopped;
    // Staged by an earlier run that did not get to apply it.
    if (StagedMatches(staging, file)) return EndFile(index, true);

    if (Stopped()) return Outcome::kStopped;
    const std::vector<ObjectToTry> objects = ObjectsFor(file);
    size_t next = 0;  // the next form down the order
    Outcome outcome = Outcome::kFailed;
    for (int attempt = 1; attempt <= kAttemptsPerFile && outcome == Outcome::kFailed; ++attempt) {
      outcome = Attempt(index, file, attempt, objects, next, staging);
    }
    return outcome;
  }

  // The file's own installed signature comes from the difference step; only
  // a renamed base, which the list no longer names, is read here.
  std::vector<ObjectToTry> ObjectsFor(const FileEntry& file) {
    const InstalledSignature signatureOf = [this](const std::string& name) {
      return Stopped() ? std::string() : fs_.Signature(job_.programFolder + name, touch_);
    };
    return ObjectsToTry(file, file.LocalSignature, signatureOf);
  }

  std::string EncodedUrl(const ObjectToTry& object) const {
    return net::EncodeUrl(net::FileUrl(job_.serverAddr, job_.version, object.name), job_.utf8Urls);
  }

  // The compressed form this attempt takes, moving `next` past it, or null
  // for the plain file (always the last of objects): once the forms are used
  // up, and always in the plain file's own last attempts. Each form is asked
  // for once in a run, so one the mirror lacks costs one request.
  static const ObjectToTry* NextForm(const std::vector<ObjectToTry>& objects, size_t& next, int attempt) {
    if (attempt > kAttemptsPerFile - kPlainFileAttempts || next + 1 >= objects.size()) return nullptr;
    return &objects[next++];
  }

  Outcome Attempt(int index, const FileEntry& file, int attempt, const std::vector<ObjectToTry>& objects,
                  size_t& next, const std::string& staging) {
    // The start tick is taken before the pauses, so a retry's elapsed time
    // includes them.
    progress_ = TransferProgress{};
    progress_.StartTick = clock_.Now();
    if (attempt >= 2) {
      if (!Pause(kPauseBeforeTryAgainMs)) return Outcome::kStopped;
      notify_.TryAgain(attempt);
      if (!Pause(kPauseAfterTryAgainMs)) return Outcome::kStopped;
    }
    return NextObject(index, file, attempt, objects, next, staging);
  }

  // The attempt's object: the next form down the order, or the plain file.
  // One that cannot be decoded in the memory there is is passed over for
  // the next in the same attempt, as a base that does not fit is; the plain
  // file, never decoded, ends that at the latest.
  Outcome NextObject(int index, const FileEntry& file, int attempt, const std::vector<ObjectToTry>& objects,
                     size_t& next, const std::string& staging) {
    // Nothing of an earlier attempt's bytes may precede this one's.
    buffer_.clear();
    progress_.Received = progress_.Total = 0;

    // A delta whose base is of no use is passed over without a request.
    const ObjectToTry* object = nullptr;
    for (;;) {
      if (Stopped()) return Outcome::kStopped;
      object = NextForm(objects, next, attempt);
      if (!object || PrepareObject(*object)) break;
      if (Stopped()) return Outcome::kStopped;
    }
    const ObjectToTry& taken = object ? *object : objects.back();

    if (Stopped()) return Outcome::kStopped;
    const std::string url = EncodedUrl(taken);
    const PartialPaths partial = PartialPathsOf(stagingFolder_, url);
    const Outcome received = Receive(index, file, taken, url, partial);
    http_.Close();  // an answer refused unread must not go on arriving
    if (received == Outcome::kStopped) return received;
    if (received != Outcome::kFetched) {
      ReleaseBase();
      return EndFile(index, false);
    }
    const Outcome placed = Place(index, file, taken, partial, staging);
    if (placed == Outcome::kNoMemory) return NextObject(index, file, attempt, objects, next, staging);
    return placed;
  }

  // For a compressed form: the trace, and for a delta its base read into
  // memory. False, with a trace, when the base is of no use.
  bool PrepareObject(const ObjectToTry& object) {
    if (!decoderTraced_) {
      notify_.Trace(kDecoderTrace + std::string(files::DecoderVersion()));
      decoderTraced_ = true;
    }
    const std::string address = net::FileUrl(job_.serverAddr, job_.version, object.name);
    if (Stopped()) return false;
    if (object.kind == ObjectKind::kPacked) {
      notify_.Trace(kPackedTrace + address);
      return true;
    }
    notify_.Trace((object.kind == ObjectKind::kCodeDelta ? kCodeDeltaTrace : kDeltaTrace) + address +
                  kDeltaBaseTrace + object.baseName);
    const BaseRead read = ReadBase(object);
    if (read == BaseRead::kRead || Stopped()) return read == BaseRead::kRead;
    notify_.Trace((read == BaseRead::kChanged    ? kBaseChangedTrace
                   : read == BaseRead::kNoMemory ? kBaseNoMemoryTrace
                                                 : kBaseUnreadableTrace) +
                  object.baseName);
    return false;
  }

  // The base, read in pieces, each one activity, and compared with the CRC
  // the delta was made against: the file may have changed since the
  // difference step read it.
  BaseRead ReadBase(const ObjectToTry& object) {
    ReleaseBase();
    if (Stopped()) return BaseRead::kUnreadable;
    const std::unique_ptr<files::ReadableFile> in = fs_.OpenForReading(job_.programFolder + object.baseName);
    uint64_t size = 0;
    if (!in || !in->Size(size) || size > kLargestBase) return BaseRead::kUnreadable;
    try {
      reference_.reserve(static_cast<size_t>(size));
      uint32_t crc = 0;
      for (;;) {
        size_t got = 0;
        if (Stopped() || !in->Read(wire_.data(), wire_.size(), got)) {
          ReleaseBase();
          return BaseRead::kUnreadable;
        }
        if (got == 0) break;
        Touch();
        if (reference_.size() + got > kLargestBase) {
          ReleaseBase();
          return BaseRead::kUnreadable;
        }
        reference_.append(wire_.data(), got);
        crc = files::Crc32Update(crc, wire_.data(), got);
      }
      referenceCrc_ = crc;
      if (SignatureMatches(CrcText(crc), object.baseCrc)) return BaseRead::kRead;
    } catch (const std::bad_alloc&) {
      ReleaseBase();
      return BaseRead::kNoMemory;
    }
    ReleaseBase();
    return BaseRead::kChanged;
  }

  static std::string CrcText(uint32_t crc) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(crc >> shift) & 0xF];
    return text;
  }

  // Gives the base's memory back, not only its contents: a later base may
  // need the address space.
  void ReleaseBase() { std::string().swap(reference_); }

  // Brings the object's partial file to its whole length: continued from
  // the kept bytes when the server vouches for them, else from byte 0.
  Outcome Receive(int index, const FileEntry& file, const ObjectToTry& object, const std::string& url,
                  const PartialPaths& partial) {
    if (Stopped()) return Outcome::kStopped;
    // The size the list gives bounds every answer; 0 where it gives none.
    const int64_t listed = object.size <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                               ? static_cast<int64_t>(object.size)
                               : -1;
    const Kept kept = KeptBytes(file, url, partial, listed);
    head_.clear();
    if (object.kind != ObjectKind::kPlain && kept.range.from > 0) KeptHead(partial.data, kept.range.from);
    if (kept.range.from > 0 && kept.range.from == kept.total) {
      // Whole already: the run that received it ended before placing it.
      progress_.Received = progress_.Total = kept.total;
      if (Stopped()) return Outcome::kStopped;
      notify_.Resumed(index, progress_);
      return Outcome::kFetched;
    }
    if (kept.range.from == 0 && !StartWhole(partial)) return Outcome::kFailed;
    if (Stopped()) return Outcome::kStopped;
    HttpAnswer answer = http_.Open(url, kept.range);
    if (Stopped()) return Outcome::kStopped;
    const ResumeDecision decision = DecideResume(kept.range, kept.total, answer);
    if (decision == ResumeDecision::kRefused) return Outcome::kFailed;
    int32_t from = 0;
    if (decision == ResumeDecision::kContinue) {
      from = kept.range.from;
      progress_.Received = kept.range.from;
      progress_.Total = kept.total;
      notify_.Resumed(index, progress_);
    } else {
      // The kept bytes go; the whole object comes from this answer or, when
      // it is of no use, from one more request.
      head_.clear();
      if (kept.range.from > 0 && !StartWhole(partial)) return Outcome::kFailed;
      if (Stopped()) return Outcome::kStopped;
      if (decision == ResumeDecision::kAskWhole) answer = http_.Open(url, RangeRequest{});
      if (Stopped()) return Outcome::kStopped;
      if (answer.length < 0) return Outcome::kFailed;
      if (listed > 0 && answer.length != listed) {
        notify_.Trace(kWrongLengthTrace + std::to_string(answer.length) + "/" + std::to_string(listed));
        return Outcome::kFailed;
      }
      progress_.Total = answer.length;
      Remember(file, url, answer, partial);
    }
    if (Stopped()) return Outcome::kStopped;
    GrowingFile out(fs_, control_, partial.data, static_cast<uint64_t>(from));
    const bool headOk = Transfer(index, object, file.Size.value_or(0), out);
    if (Stopped()) return Outcome::kStopped;
    Flush(out);
    out.Close();
    if (!headOk) {
      // Not the listed object: nothing of it is worth continuing.
      if (Stopped()) return Outcome::kStopped;
      fs_.RemoveFile(partial.record);
      if (Stopped()) return Outcome::kStopped;
      fs_.RemoveFile(partial.data);
      return Outcome::kFailed;
    }
    // Short when a refusing disk ended the transfer: what was written stays
    // for the next attempt.
    return progress_.Received == progress_.Total && KeptLength(partial.data) == progress_.Total
               ? Outcome::kFetched
               : Outcome::kFailed;
  }

  struct Kept {
    RangeRequest range;  // from 0: nothing worth continuing
    int32_t total = 0;
  };

  // The kept bytes of this object, when their record names this very
  // transfer, the size the list gives, and they are no longer than that.
  Kept KeptBytes(const FileEntry& file, const std::string& url, const PartialPaths& partial, int64_t listed) {
    std::string text;
    if (!fs_.ReadWhole(partial.record, kPartialRecordLimit, text)) return {};
    const std::optional<PartialRecord> record = ParsePartialRecord(text);
    if (!record || record->url != url || record->hash != file.Hash) return {};
    if (listed > 0 && record->total != listed) return {};
    if (Stopped()) return {};
    const int64_t length = KeptLength(partial.data);
    if (length <= 0 || length > record->total) return {};
    return {{static_cast<int32_t>(length), record->validator}, record->total};
  }

  // The first bytes of a kept object, so that its head is checked whole
  // however the transfer was cut.
  void KeptHead(const std::string& path, int32_t kept) {
    if (Stopped()) return;
    const std::unique_ptr<files::ReadableFile> in = fs_.OpenForReading(path);
    char head[kHeadMax];
    size_t got = 0;
    const size_t wanted = std::min(sizeof(head), static_cast<size_t>(kept));
    if (in && in->Read(head, wanted, got)) head_.assign(head, got);
  }

  // The partial file's length, -1 when it cannot be read.
  int64_t KeptLength(const std::string& path) {
    const std::unique_ptr<files::ReadableFile> file = fs_.OpenForReading(path);
    uint64_t size = 0;
    if (!file || !file->Size(size)) return -1;
    return static_cast<int64_t>(size);
  }

  // Drops what was kept: the record first, so that bytes never stand beside
  // a record they do not belong to. The partial file is emptied and closed
  // again at once; the transfer opens it for its appends.
  bool StartWhole(const PartialPaths& partial) {
    fs_.RemoveFile(partial.record);  // often there is none
    if (Stopped()) return false;
    return fs_.OpenForAppend(partial.data, true) != nullptr;
  }

  // A whole answer that names a validator may be continued later: its record
  // is written before any of its bytes.
  void Remember(const FileEntry& file, const std::string& url, const HttpAnswer& answer,
                const PartialPaths& partial) {
    if (answer.status != kStatusOk || answer.validator.empty() || answer.length <= 0) return;
    const std::string text = FormatPartialRecord({url, file.Hash, answer.validator, answer.length});
    const std::unique_ptr<files::WritableFile> record = fs_.CreateForWriting(partial.record);
    if (record && !record->Write(text.data(), text.size())) {
      record->Close();
      fs_.RemoveFile(partial.record);
    }
  }

  // The whole object becomes the staged file: a plain file by a rename once
  // it matches, an object by decoding it into the staging file. Either way
  // the partial file goes: it is used up, or it yields the wrong file and
  // must not be continued. kNoMemory, without FileEnd, when the object
  // could not be decoded in the memory there is.
  Outcome Place(int index, const FileEntry& file, const ObjectToTry& object, const PartialPaths& partial,
                const std::string& staging) {
    if (Stopped()) return Outcome::kStopped;
    bool placed = false;
    bool noMemory = false;
    if (object.kind == ObjectKind::kPlain) {
      placed = StagedMatches(partial.data, file);
      if (Stopped()) return Outcome::kStopped;
      placed = placed && fs_.MoveOnto(partial.data, staging);
    } else {
      // Decoded beside the partial file and renamed onto the staging path
      // only once it matches: a decode that fails or is cut short by a stop
      // or a killed process never leaves a file there that is not the one
      // listed.
      const std::string decoded = partial.data + kPartialDecodedSuffix;
      const files::DecodeStatus status = Decode(file, object.kind, partial.data, decoded);
      ReleaseBase();
      if (Stopped()) return Outcome::kStopped;
      if (status != files::DecodeStatus::kOk) {
        noMemory = status == files::DecodeStatus::kNoMemory;
        notify_.Trace(kDecodeFailedTrace + std::string(files::DecodeStatusName(status)));
      } else {
        placed = StagedMatches(decoded, file);
        if (Stopped()) return Outcome::kStopped;
        placed = placed && fs_.MoveOnto(decoded, staging);
      }
      if (!placed && !Stopped()) fs_.RemoveFile(decoded);
    }
    ReleaseBase();
    if (Stopped()) return Outcome::kStopped;
    fs_.RemoveFile(partial.record);
    if (Stopped()) return Outcome::kStopped;
    // A plain file's bytes were renamed onto the staging path; an object's
    // are used up once its file is staged.
    if (!placed || object.kind != ObjectKind::kPlain) fs_.RemoveFile(partial.data);
    if (noMemory) return Outcome::kNoMemory;
    return EndFile(index, placed);
  }

  // The received object, read back piece by piece, through its decoder into
  // the staging file.
  files::DecodeStatus Decode(const FileEntry& file, ObjectKind kind, const std::string& from,
                             const std::string& staging) {
    const std::unique_ptr<files::ReadableFile> in = fs_.OpenForReading(from);
    if (!in) return files::DecodeStatus::kTruncated;
    if (Stopped() || !fs_.OpenForAppend(staging, true)) return files::DecodeStatus::kSinkFailed;
    GrowingFile out(fs_, control_, staging, 0);
    DecodedSink sink(*this, out);
    files::DecodeStatus status = files::DecodeStatus::kOk;
    // Whatever allocates or sizes memory on the way, in a decoder or in the
    // buffer, fails this object alone, as a base that does not fit does.
    try {
      status = Feed(file, kind, *in, sink);
    } catch (const std::bad_alloc&) {
      status = files::DecodeStatus::kNoMemory;
    } catch (const std::length_error&) {
      status = files::DecodeStatus::kNoMemory;
    }
    if (Stopped()) return files::DecodeStatus::kSinkFailed;
    Flush(out);  // a short file shows in its signature
    return status;
  }

  // The object from `in`, piece by piece, through its decoder into sink.
  files::DecodeStatus Feed(const FileEntry& file, ObjectKind kind, files::ReadableFile& in,
                           files::WritableFile& sink) {
    // An object's reader has the listed plain size, which the list reader
    // guarantees wherever it keeps an object.
    const std::unique_ptr<files::StreamDecoder> decoder =
        DecoderFor(kind, sink, file.Size.value_or(0), reference_, referenceCrc_);
    for (;;) {
      size_t got = 0;
      if (Stopped()) return files::DecodeStatus::kSinkFailed;
      if (!in.Read(wire_.data(), wire_.size(), got)) return files::DecodeStatus::kTruncated;
      Touch();
      if (got == 0 || !decoder->Feed(wire_.data(), got)) break;
    }
    return decoder->Finish();
  }

  // Decoded bytes join the received ones on their way to the staging file.
  class DecodedSink : public files::WritableFile {
   public:
    DecodedSink(Run& run, GrowingFile& out) : run_(run), out_(out) {}
    bool Write(const void* data, size_t size) override {
      const auto* bytes = static_cast<const char*>(data);
      run_.buffer_.insert(run_.buffer_.end(), bytes, bytes + size);
      return run_.Spill(out_);
    }
    void Close() override {}

   private:
    Run& run_;
    GrowingFile& out_;
  };

  // Writes the buffer once it holds the threshold, or anything at all when
  // `due`. What a failed write left unwritten stays to be tried again with
  // the next; false once a disk that keeps refusing has filled the buffer to
  // its limit.
  bool Spill(GrowingFile& out, bool due = false) {
    if (buffer_.size() < kWriteThreshold && !(due && !buffer_.empty())) return true;
    // Nothing more reaches the disk; a decoder told so stops producing.
    if (Stopped()) return false;
    lastWriteTick_ = clock_.Now();
    size_t landed = 0;
    const bool whole = out.Write(buffer_.data(), buffer_.size(), landed);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(landed));
    return whole || buffer_.size() < kWriteBufferLimit;
  }

  // With a signed list both hashes come from one reading of the file; an
  // unsigned one is checked by its CRC alone, as it always was.
  bool StagedMatches(const std::string& staging, const FileEntry& file) {
    if (job_.requireSha256) return DigestMatches(fs_.Digest(staging, touch_), file);
    return SignatureMatches(fs_.Signature(staging, touch_), file.Hash);
  }

  // Reads until the announced length has arrived or a stop is requested,
  // never more than it. Only the watchdog ends a stalled transfer: an empty
  // read waits a little and tries again. False when a compressed form's
  // first bytes show it is not the listed object.
  bool Transfer(int index, const ObjectToTry& object, uint64_t plainSize, GrowingFile& out) {
    lastWriteTick_ = clock_.Now();
    const bool checkHead = object.kind != ObjectKind::kPlain;
    bool headChecked = !checkHead;
    while (progress_.Received < progress_.Total) {
      if (Stopped()) return true;
      const size_t used = buffer_.size();
      const size_t want = std::min(kReadSize, static_cast<size_t>(progress_.Total - progress_.Received));
      buffer_.resize(used + want);
      size_t got = std::min(http_.Read(buffer_.data() + used, want), want);
      buffer_.resize(used + got);
      if (Stopped()) return true;

      const uint32_t now = clock_.Now();
      if (got > 0) control_.lastActivityTick = now;
      progress_.Received += static_cast<int32_t>(got);
      if (!headChecked && got > 0) {
        const size_t room = kHeadMax - std::min(head_.size(), kHeadMax);
        head_.append(buffer_.data() + used, std::min(got, room));
        const files::HeadCheck check = CheckHead(object.kind, head_.data(), head_.size(), plainSize);
        if (check.status != files::DecodeStatus::kOk) {
          if (Stopped()) return true;
          notify_.Trace(kDecodeFailedTrace + std::string(files::DecodeStatusName(check.status)));
          buffer_.clear();
          return false;
        }
        headChecked = check.complete;
      }
      // A failed write keeps the bytes and is tried again after the next read;
      // a disk that keeps refusing ends the attempt before the buffer could
      // exhaust a 32-bit address space.
      if (!Spill(out, now - lastWriteTick_ >= kWriteIntervalMs)) return true;
      progress_.ElapsedMs = static_cast<int32_t>(now - progress_.StartTick);
      if (got > 0) {
        if (Stopped()) return true;
        notify_.Progress(index, progress_);
      } else if (!Pause(kEmptyReadPauseMs)) {
        return true;
      }
    }
    return true;
  }

  void Flush(GrowingFile& out) {
    size_t landed = 0;
    if (!buffer_.empty()) out.Write(buffer_.data(), buffer_.size(), landed);
    buffer_.clear();
  }

  // False when a stop was requested before or during the pause.
  bool Pause(uint32_t ms) {
    if (Stopped()) return false;
    clock_.Sleep(ms);
    return !Stopped();
  }

  Outcome EndFile(int index, bool success) {
    if (Stopped()) return Outcome::kStopped;
    notify_.FileEnd(index, success);
    return success ? Outcome::kFetched : Outcome::kFailed;
  }

  const DownloadJob& job_;
  HttpSource& http_;
  files::FileSystem& fs_;
  Clock& clock_;
  DownloadNotifier& notify_;
  DownloadControl& control_;
  const std::string stagingFolder_;
  const files::ReadActivity touch_;
  const std::function<bool()> stopped_;
  std::vector<char> buffer_;  // received (or decoded) bytes not yet written
  std::vector<char> wire_ = std::vector<char>(kDecodeReadSize);  // an object's bytes read back
  std::string reference_;     // a delta's base while it is decoded
  uint32_t referenceCrc_ = 0;  // and its CRC-32, as read
  std::string head_;          // an object's first bytes until its head is checked
  bool decoderTraced_ = false;
  uint32_t lastWriteTick_ = 0;
  TransferProgress progress_;
};

}  // namespace

void RunDownload(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
                 DownloadNotifier& notify, DownloadControl& control) {
  Run(job, http, fs, clock, notify, control).AllFiles();
}

}  // namespace engine
