#include "download/receive_object.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "codecs/object_decoder.h"
#include "download/growing_file.h"
#include "download/object_decoding.h"

namespace engine {
namespace {

constexpr char kDecodeFailedTrace[] = "解压失败:";
constexpr char kWrongLengthTrace[] = "应答长度与文件列表不符:";

struct Kept {
  RangeRequest range;  // from 0: nothing worth continuing
  int32_t total = 0;
};

// The partial file's length, -1 when it cannot be read.
int64_t KeptLength(RunState& run, const std::string& path) {
  const std::unique_ptr<files::ReadableFile> file = run.fs.OpenForReading(path);
  uint64_t size = 0;
  if (!file || !file->Size(size)) return -1;
  return static_cast<int64_t>(size);
}

// The kept bytes of this object, when their record names this very
// transfer, the size the list gives, and they are no longer than that.
Kept KeptBytes(RunState& run, const FileEntry& file, const std::string& url, const PartialPaths& partial,
               int64_t listed) {
  std::string text;
  if (!run.fs.ReadWhole(partial.record, kPartialRecordLimit, text)) return {};
  const std::optional<PartialRecord> record = ParsePartialRecord(text);
  if (!record || record->url != url || record->hash != file.Hash) return {};
  if (listed > 0 && record->total != listed) return {};
  const int64_t length = KeptLength(run, partial.data);
  if (length <= 0 || length > record->total) return {};
  return {{static_cast<int32_t>(length), record->validator}, record->total};
}

// The first bytes of a kept object, so that its head is checked whole
// however the transfer was cut.
void KeptHead(RunState& run, const std::string& path, int32_t kept) {
  const std::unique_ptr<files::ReadableFile> in = run.fs.OpenForReading(path);
  char head[kHeadMax];
  size_t got = 0;
  const size_t wanted = std::min(sizeof(head), static_cast<size_t>(kept));
  if (in && in->Read(head, wanted, got)) run.head.assign(head, got);
}

// Drops what was kept: the record first, so that bytes never stand beside
// a record they do not belong to. The partial file is emptied and closed
// again at once; the transfer opens it for its appends.
bool StartWhole(RunState& run, const PartialPaths& partial) {
  run.fs.RemoveFile(partial.record);  // often there is none
  return run.fs.OpenForAppend(partial.data, true) != nullptr;
}

// A whole answer that names a validator may be continued later: its record
// is written before any of its bytes.
void Remember(RunState& run, const FileEntry& file, const std::string& url, const HttpAnswer& answer,
              const PartialPaths& partial) {
  if (answer.status != kStatusOk || answer.validator.empty() || answer.length <= 0) return;
  const std::string text = FormatPartialRecord({url, file.Hash, answer.validator, answer.length});
  const std::unique_ptr<files::WritableFile> record = run.fs.CreateForWriting(partial.record);
  if (record && !record->Write(text.data(), text.size())) {
    record->Close();
    run.fs.RemoveFile(partial.record);
  }
}

// Reads until the announced length has arrived or a stop is requested,
// never more than it. Only the watchdog ends a stalled transfer: an empty
// read waits a little and tries again. False when a compressed form's
// first bytes show it is not the listed object.
bool Transfer(RunState& run, int index, const ObjectToTry& object, uint64_t plainSize, GrowingFile& out) {
  TransferProgress& progress = run.progress;
  std::vector<char>& buffer = run.buffer;
  run.lastWriteTick = run.clock.Now();
  bool headChecked = object.kind == ObjectKind::kPlain;
  while (progress.Received < progress.Total) {
    const size_t used = buffer.size();
    const size_t want = std::min(kReadSize, static_cast<size_t>(progress.Total - progress.Received));
    buffer.resize(used + want);
    size_t got = std::min(run.http.Read(buffer.data() + used, want), want);
    buffer.resize(used + got);

    const uint32_t now = run.clock.Now();
    if (got > 0) run.control.lastActivityTick = now;
    progress.Received += static_cast<int32_t>(got);
    if (!headChecked && got > 0) {
      const size_t room = kHeadMax - std::min(run.head.size(), kHeadMax);
      run.head.append(buffer.data() + used, std::min(got, room));
      const files::HeadCheck check = CheckHead(object.kind, run.head.data(), run.head.size(), plainSize);
      if (check.status != files::DecodeStatus::kOk) {
        run.notify.Trace(kDecodeFailedTrace + std::string(files::DecodeStatusName(check.status)));
        buffer.clear();
        return false;
      }
      headChecked = check.complete;
    }
    // A failed write keeps the bytes and is tried again after the next read;
    // a disk that keeps refusing ends the attempt before the buffer could
    // exhaust a 32-bit address space.
    if (!Spill(run, out, now - run.lastWriteTick >= kWriteIntervalMs)) return true;
    progress.ElapsedMs = static_cast<int32_t>(now - progress.StartTick);
    if (got > 0) {
      run.notify.Progress(index, progress);
    } else if (!run.Pause(kEmptyReadPauseMs)) {
      return true;
    }
  }
  return true;
}

}  // namespace

Outcome ReceiveObject(RunState& run, int index, const FileEntry& file, const ObjectToTry& object,
                      const std::string& url, const PartialPaths& partial) {
  TransferProgress& progress = run.progress;
  // The size the list gives bounds every answer; 0 where it gives none.
  const int64_t listed = object.size <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                             ? static_cast<int64_t>(object.size)
                             : -1;
  const Kept kept = KeptBytes(run, file, url, partial, listed);
  run.head.clear();
  if (object.kind != ObjectKind::kPlain && kept.range.from > 0) KeptHead(run, partial.data, kept.range.from);
  if (kept.range.from > 0 && kept.range.from == kept.total) {
    // Whole already: the run that received it ended before placing it.
    progress.Received = progress.Total = kept.total;
    run.notify.Resumed(index, progress);
    return Outcome::kFetched;
  }
  if (kept.range.from == 0 && !StartWhole(run, partial)) return Outcome::kFailed;
  HttpAnswer answer = run.http.Open(url, kept.range);
  const ResumeDecision decision = DecideResume(kept.range, kept.total, answer);
  if (decision == ResumeDecision::kRefused) return Outcome::kFailed;
  int32_t from = 0;
  if (decision == ResumeDecision::kContinue) {
    from = kept.range.from;
    progress.Received = kept.range.from;
    progress.Total = kept.total;
    run.notify.Resumed(index, progress);
  } else {
    // The kept bytes go; the whole object comes from this answer or, when
    // it is of no use, from one more request.
    run.head.clear();
    if (kept.range.from > 0 && !StartWhole(run, partial)) return Outcome::kFailed;
    if (decision == ResumeDecision::kAskWhole) answer = run.http.Open(url, RangeRequest{});
    if (answer.length < 0) return Outcome::kFailed;
    if (listed > 0 && answer.length != listed) {
      run.notify.Trace(kWrongLengthTrace + std::to_string(answer.length) + "/" + std::to_string(listed));
      return Outcome::kFailed;
    }
    progress.Total = answer.length;
    Remember(run, file, url, answer, partial);
  }
  GrowingFile out(run, partial.data, static_cast<uint64_t>(from));
  const bool headOk = Transfer(run, index, object, file.Size.value_or(0), out);
  FlushBuffer(run, out);
  out.Close();
  if (!headOk) {
    // Not the listed object: nothing of it is worth continuing.
    run.fs.RemoveFile(partial.record);
    run.fs.RemoveFile(partial.data);
    return Outcome::kFailed;
  }
  // Short when a refusing disk ended the transfer: what was written stays
  // for the next attempt.
  return progress.Received == progress.Total && KeptLength(run, partial.data) == progress.Total
             ? Outcome::kFetched
             : Outcome::kFailed;
}

}  // namespace engine
