#include "engine/download_run.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "engine/object_choice.h"
#include "engine/object_decoding.h"
#include "engine/partial_download.h"
#include "engine/signed_documents.h"
#include "files/file_system.h"
#include "files/object_decoder.h"
#include "net/url_encoding.h"

namespace engine {
namespace {

// Bytes the write buffer may hold while writes keep failing.
constexpr size_t kWriteBufferLimit = 2 * kWriteThreshold;
// A delta's base is held in memory while the delta is decoded against it;
// the decoder's window bounds how far back a match may reach anyway.
constexpr uint64_t kLargestBase = uint64_t{1} << files::kMaxWindowLog;
// A received object is read back for decoding in pieces of this size.
constexpr size_t kDecodeReadSize = size_t{64} << 10;

constexpr char kFetchTrace[] = "下载文件:";
constexpr char kPackedTrace[] = "下载压缩文件:";
// The plain file keeps at least the last two attempts.
static_assert(kMostObjectsBeforePlain + 2 <= static_cast<size_t>(kAttemptsPerFile));

constexpr char kDeltaTrace[] = "下载差异文件:";
constexpr char kCodeDeltaTrace[] = "下载代码差异文件:";
constexpr char kDeltaBaseTrace[] = " 基准文件:";
constexpr char kDecoderTrace[] = "解压库版本:";
constexpr char kDecodeFailedTrace[] = "解压失败:";
constexpr char kBaseUnreadableTrace[] = "基准文件无法读取:";

// The staging file of an attempt, opened only for the moment of a write.
struct StagingFile {
  files::FileSystem& fs;
  const std::string& path;

  bool Write(const char* data, size_t size) {
    const std::unique_ptr<files::WritableFile> file = fs.OpenForAppend(path);
    return file && file->Write(data, size);
  }
};

// How a file, or one attempt at it, ended.
enum class Outcome { kFetched, kFailed, kStopped };

// One run over the list. The stop flag is checked before every call into a
// port and before every notification: once the watchdog has set it, nothing
// more is asked of the server, the disk or the window, and the staging file
// and the buffer are released on the way out.
class Run {
 public:
  Run(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
      DownloadNotifier& notify, DownloadControl& control)
      : job_(job), http_(http), fs_(fs), clock_(clock), notify_(notify), control_(control),
        stagingFolder_(job.programFolder + kStagingFolderName) {
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

  // The staging folder as a real folder of its own, never written through a
  // link that stands in its place.
  bool StagingFolderReady() {
    if (Stopped()) return false;
    if (fs_.IsLink(stagingFolder_)) {
      if (!Stopped()) notify_.Trace(kStagingLinkTrace + stagingFolder_);
      return false;
    }
    // One level at a time, so that a stop is seen between them. A failure
    // shows, attempt by attempt, when a file is created.
    for (const std::string& folder :
         {stagingFolder_, stagingFolder_ + kStagingFolderName, stagingFolder_ + kPartialFolder,
          stagingFolder_ + kPartialRecordFolder}) {
      if (Stopped()) return false;
      fs_.MakeFolders(folder);
    }
    return true;
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
    const std::string encoded = net::EncodeUrl(url, job_.utf8Urls);
    const std::string staging = stagingFolder_ + file.Name;

    if (Stopped()) return Outcome::kStopped;
    // Staged by an earlier run that did not get to apply it.
    if (StagedMatches(staging, file)) return EndFile(index, true);
    if (Stopped()) return Outcome::kStopped;
    fs_.MakeFolders(FolderOfEntry(stagingFolder_, file.Name));  // a failure shows when the file is created

    if (Stopped()) return Outcome::kStopped;
    const std::vector<ObjectToTry> objects = ObjectsFor(file);
    // Each failed attempt moves one object down the order; the plain file,
    // last, takes every attempt left.
    Outcome outcome = Outcome::kFailed;
    for (int attempt = 1; attempt <= kAttemptsPerFile && outcome == Outcome::kFailed; ++attempt) {
      const ObjectToTry& object = objects[std::min<size_t>(attempt - 1, objects.size() - 1)];
      outcome = Attempt(index, file, attempt, object, encoded, staging);
    }
    return outcome;
  }

  // The file's own installed signature comes from the difference step; only
  // a renamed base, which the list no longer names, is read here.
  std::vector<ObjectToTry> ObjectsFor(const FileEntry& file) {
    const InstalledSignature signatureOf = [this](const std::string& name) {
      return Stopped() ? std::string() : fs_.Signature(job_.programFolder + name);
    };
    return ObjectsToTry(file, file.LocalSignature, signatureOf);
  }

  // The address of an object, and for a delta its base read into memory.
  // False, with a trace, when the base cannot be read.
  bool PrepareObject(const ObjectToTry& object, std::string& url) {
    if (!decoderTraced_) {
      notify_.Trace(kDecoderTrace + std::string(files::DecoderVersion()));
      decoderTraced_ = true;
    }
    const std::string address = net::FileUrl(job_.serverAddr, job_.version, object.name);
    url = net::EncodeUrl(address, job_.utf8Urls);
    if (object.kind == ObjectKind::kPacked) {
      notify_.Trace(kPackedTrace + address);
      return true;
    }
    notify_.Trace((object.kind == ObjectKind::kCodeDelta ? kCodeDeltaTrace : kDeltaTrace) + address +
                  kDeltaBaseTrace + object.baseName);
    if (Stopped()) return false;
    if (fs_.ReadWhole(job_.programFolder + object.baseName, kLargestBase, reference_)) return true;
    if (!Stopped()) notify_.Trace(kBaseUnreadableTrace + object.baseName);
    return false;
  }

  Outcome Attempt(int index, const FileEntry& file, int attempt, const ObjectToTry& object,
                  const std::string& plainUrl, const std::string& staging) {
    // The start tick is taken before the pauses, so a retry's elapsed time
    // includes them.
    progress_ = TransferProgress{};
    progress_.StartTick = clock_.Now();
    if (attempt >= 2) {
      if (!Pause(kPauseBeforeTryAgainMs)) return Outcome::kStopped;
      notify_.TryAgain(attempt);
      if (!Pause(kPauseAfterTryAgainMs)) return Outcome::kStopped;
    }

    if (Stopped()) return Outcome::kStopped;
    std::string url = plainUrl;
    reference_.clear();
    if (object.kind != ObjectKind::kPlain && !PrepareObject(object, url)) return EndFile(index, false);
    if (Stopped()) return Outcome::kStopped;
    const PartialPaths partial = PartialPathsOf(stagingFolder_, object.name);
    fs_.MakeFolders(FolderOfEntry(stagingFolder_ + kPartialFolder, object.name));
    if (Stopped()) return Outcome::kStopped;
    fs_.MakeFolders(FolderOfEntry(stagingFolder_ + kPartialRecordFolder, object.name));

    const Outcome received = Receive(index, file, url, partial);
    if (received != Outcome::kFetched) return received == Outcome::kStopped ? received : EndFile(index, false);
    return Place(index, file, object, partial, staging);
  }

  // Brings the object's partial file to its whole length: continued from
  // the kept bytes when the server vouches for them, else from byte 0.
  Outcome Receive(int index, const FileEntry& file, const std::string& url, const PartialPaths& partial) {
    if (Stopped()) return Outcome::kStopped;
    const Kept kept = KeptBytes(file, url, partial);
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
    if (decision == ResumeDecision::kContinue) {
      progress_.Received = kept.range.from;
      progress_.Total = kept.total;
      notify_.Resumed(index, progress_);
    } else {
      // The kept bytes go; the whole object comes from this answer or, when
      // it is of no use, from one more request.
      if (kept.range.from > 0 && !StartWhole(partial)) return Outcome::kFailed;
      if (Stopped()) return Outcome::kStopped;
      if (decision == ResumeDecision::kAskWhole) answer = http_.Open(url, RangeRequest{});
      if (Stopped()) return Outcome::kStopped;
      if (answer.length < 0) return Outcome::kFailed;
      progress_.Total = answer.length;
      Remember(file, url, answer, partial);
    }
    StagingFile out{fs_, partial.data};
    Transfer(index, out);
    if (Stopped()) return Outcome::kStopped;
    Flush(out);
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
  // transfer and they are no longer than the object.
  Kept KeptBytes(const FileEntry& file, const std::string& url, const PartialPaths& partial) {
    std::string text;
    if (!fs_.ReadWhole(partial.record, kPartialRecordLimit, text)) return {};
    const std::optional<PartialRecord> record = ParsePartialRecord(text);
    if (!record || record->url != url || record->hash != file.Hash) return {};
    if (Stopped()) return {};
    const int64_t length = KeptLength(partial.data);
    if (length <= 0 || length > record->total) return {};
    return {{static_cast<int32_t>(length), record->validator}, record->total};
  }

  // The partial file's length, -1 when it cannot be read.
  int64_t KeptLength(const std::string& path) {
    const std::unique_ptr<files::ReadableFile> file = fs_.OpenForReading(path);
    uint64_t size = 0;
    if (!file || !file->Size(size)) return -1;
    return static_cast<int64_t>(size);
  }

  // Drops what was kept: the record first, so that bytes never stand beside
  // a record they do not belong to. The partial file is created empty and
  // closed again at once; received bytes are appended piece by piece, so a
  // worker blocked in a read that the system cannot break holds no file
  // that a retry must create anew.
  bool StartWhole(const PartialPaths& partial) {
    fs_.RemoveFile(partial.record);  // often there is none
    if (Stopped()) return false;
    return fs_.CreateForWriting(partial.data) != nullptr;
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
  // must not be continued.
  Outcome Place(int index, const FileEntry& file, const ObjectToTry& object, const PartialPaths& partial,
                const std::string& staging) {
    if (Stopped()) return Outcome::kStopped;
    bool placed = false;
    if (object.kind == ObjectKind::kPlain) {
      placed = StagedMatches(partial.data, file);
      if (Stopped()) return Outcome::kStopped;
      placed = placed && fs_.MoveOnto(partial.data, staging);
    } else {
      const files::DecodeStatus status = Decode(file, object.kind, partial.data, staging);
      if (Stopped()) return Outcome::kStopped;
      if (status != files::DecodeStatus::kOk) {
        notify_.Trace(kDecodeFailedTrace + std::string(files::DecodeStatusName(status)));
      } else {
        placed = StagedMatches(staging, file);
      }
    }
    reference_.clear();
    if (Stopped()) return Outcome::kStopped;
    fs_.RemoveFile(partial.record);
    if (Stopped()) return Outcome::kStopped;
    if (!placed) fs_.RemoveFile(partial.data);
    return EndFile(index, placed);
  }

  // The received object, read back piece by piece, through its decoder into
  // the staging file.
  files::DecodeStatus Decode(const FileEntry& file, ObjectKind kind, const std::string& from,
                             const std::string& staging) {
    const std::unique_ptr<files::ReadableFile> in = fs_.OpenForReading(from);
    if (!in) return files::DecodeStatus::kTruncated;
    if (Stopped() || !fs_.CreateForWriting(staging)) return files::DecodeStatus::kSinkFailed;
    StagingFile out{fs_, staging};
    DecodedSink sink(*this, out);
    // An object's reader has the listed plain size, which the list reader
    // guarantees wherever it keeps an object.
    const std::unique_ptr<files::StreamDecoder> decoder = DecoderFor(kind, sink, file.Size.value_or(0), reference_);
    for (;;) {
      size_t got = 0;
      if (Stopped()) return files::DecodeStatus::kSinkFailed;
      if (!in->Read(wire_.data(), wire_.size(), got)) return files::DecodeStatus::kTruncated;
      if (got == 0 || !decoder->Feed(wire_.data(), got)) break;
    }
    const files::DecodeStatus status = decoder->Finish();
    if (Stopped()) return files::DecodeStatus::kSinkFailed;
    Flush(out);  // a short file shows in its signature
    return status;
  }

  // Decoded bytes join the received ones on their way to the staging file.
  class DecodedSink : public files::WritableFile {
   public:
    DecodedSink(Run& run, StagingFile& out) : run_(run), out_(out) {}
    bool Write(const void* data, size_t size) override {
      const auto* bytes = static_cast<const char*>(data);
      run_.buffer_.insert(run_.buffer_.end(), bytes, bytes + size);
      return run_.Spill(out_);
    }
    void Close() override {}

   private:
    Run& run_;
    StagingFile& out_;
  };

  // Writes the buffer once it holds the threshold, or anything at all when
  // `due`. A failed write keeps the bytes to try again with the next; false
  // once a disk that keeps refusing has filled the buffer to its limit.
  bool Spill(StagingFile& out, bool due = false) {
    if (buffer_.size() < kWriteThreshold && !(due && !buffer_.empty())) return true;
    // Nothing more reaches the disk; a decoder told so stops producing.
    if (Stopped()) return false;
    lastWriteTick_ = clock_.Now();
    if (out.Write(buffer_.data(), buffer_.size())) {
      buffer_.clear();
      return true;
    }
    return buffer_.size() < kWriteBufferLimit;
  }

  // With a signed list both hashes come from one reading of the file; an
  // unsigned one is checked by its CRC alone, as it always was.
  bool StagedMatches(const std::string& staging, const FileEntry& file) {
    if (job_.requireSha256) return DigestMatches(fs_.Digest(staging), file);
    return SignatureMatches(fs_.Signature(staging), file.Hash);
  }

  // Reads until the announced length has arrived or a stop is requested.
  // Only the watchdog ends a stalled transfer: an empty read waits a little
  // and tries again.
  void Transfer(int index, StagingFile& out) {
    lastWriteTick_ = clock_.Now();
    while (progress_.Received < progress_.Total) {
      if (Stopped()) return;
      const size_t used = buffer_.size();
      buffer_.resize(used + kReadSize);
      size_t got = http_.Read(buffer_.data() + used, kReadSize);
      // Never count more than was asked for, nor past what the 32-bit record
      // holds (a server sending more than it announced near 2 GiB).
      const auto room =
          static_cast<size_t>(std::numeric_limits<int32_t>::max() - progress_.Received);
      got = std::min({got, kReadSize, room});
      buffer_.resize(used + got);
      if (Stopped()) return;

      const uint32_t now = clock_.Now();
      if (got > 0) control_.lastActivityTick = now;
      progress_.Received += static_cast<int32_t>(got);
      // A failed write keeps the bytes and is tried again after the next read;
      // a disk that keeps refusing ends the attempt before the buffer could
      // exhaust a 32-bit address space.
      if (!Spill(out, now - lastWriteTick_ >= kWriteIntervalMs)) return;
      progress_.ElapsedMs = static_cast<int32_t>(now - progress_.StartTick);
      if (got > 0) {
        if (Stopped()) return;
        notify_.Progress(index, progress_);
      } else if (!Pause(kEmptyReadPauseMs)) {
        return;
      }
    }
  }

  void Flush(StagingFile& out) {
    if (!buffer_.empty()) out.Write(buffer_.data(), buffer_.size());
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
  std::vector<char> buffer_;  // received (or decoded) bytes not yet written
  std::vector<char> wire_ = std::vector<char>(kDecodeReadSize);  // an object's bytes read back
  std::string reference_;     // a delta's base while it is decoded
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
