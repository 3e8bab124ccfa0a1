#include "engine/download_run.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "engine/signed_documents.h"
#include "files/file_system.h"
#include "net/url_encoding.h"

namespace engine {
namespace {

// Bytes the write buffer may hold while writes keep failing.
constexpr size_t kWriteBufferLimit = 2 * kWriteThreshold;

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
    if (Stopped()) return false;
    fs_.MakeFolders(stagingFolder_);  // a failure shows, attempt by attempt, when a file is created
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
    notify_.Trace("下载文件:" + url);
    const std::string encoded = net::EncodeUrl(url, job_.utf8Urls);
    const std::string staging = stagingFolder_ + file.Name;

    if (Stopped()) return Outcome::kStopped;
    // Staged by an earlier run that did not get to apply it.
    if (StagedMatches(staging, file)) return EndFile(index, true);
    if (Stopped()) return Outcome::kStopped;
    fs_.MakeFolders(FolderOfEntry(stagingFolder_, file.Name));  // a failure shows when the file is created

    Outcome outcome = Outcome::kFailed;
    for (int attempt = 1; attempt <= kAttemptsPerFile && outcome == Outcome::kFailed; ++attempt)
      outcome = Attempt(index, file, attempt, encoded, staging);
    return outcome;
  }

  Outcome Attempt(int index, const FileEntry& file, int attempt, const std::string& url,
                  const std::string& staging) {
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
    // Created empty and closed again at once; the received bytes are
    // appended piece by piece. A worker blocked in a read that the system
    // cannot break thus holds no file that a retry must create anew.
    if (!fs_.CreateForWriting(staging)) return EndFile(index, false);
    if (Stopped()) return Outcome::kStopped;
    progress_.Total = http_.Open(url);
    if (progress_.Total < 0) return EndFile(index, false);
    StagingFile out{fs_, staging};
    Transfer(index, out);

    if (Stopped()) return Outcome::kStopped;
    Flush(out);  // a short file shows in its signature
    if (Stopped()) return Outcome::kStopped;
    return EndFile(index, StagedMatches(staging, file));
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

      if (got > 0) control_.lastActivityTick = clock_.Now();
      progress_.Received += static_cast<int32_t>(got);
      // A failed write keeps the bytes and is tried again after the next read;
      // a disk that keeps refusing ends the attempt before the buffer could
      // exhaust a 32-bit address space. The signature check then fails it.
      if (buffer_.size() >= kWriteThreshold) {
        if (out.Write(buffer_.data(), buffer_.size())) {
          buffer_.clear();
        } else if (buffer_.size() >= kWriteBufferLimit) {
          return;
        }
      }
      progress_.ElapsedMs = static_cast<int32_t>(clock_.Now() - progress_.StartTick);
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
  std::vector<char> buffer_;  // received bytes not yet written
  TransferProgress progress_;
};

}  // namespace

void RunDownload(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
                 DownloadNotifier& notify, DownloadControl& control) {
  Run(job, http, fs, clock, notify, control).AllFiles();
}

}  // namespace engine
