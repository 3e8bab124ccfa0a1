#pragma once
// One download run: every file of the download list fetched into the staging
// folder, with the attempt rule and the notifications in their fixed order.
// Written against small ports so that the order and the timing can be driven
// by a fake clock and a fake server; the Windows worker wires WinINet, the
// kernel and the window.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "download/resume_rules.h"
#include "download/stoppable_file.h"
#include "site/file_list.h"

namespace files {
class FileSystem;
}

namespace engine {

// The record a progress notification points to. The window copies its 16
// bytes while it handles the notification.
struct TransferProgress {
  int32_t Received = 0;
  int32_t Total = 0;
  uint32_t StartTick = 0;
  int32_t ElapsedMs = 0;
};
static_assert(sizeof(TransferProgress) == 16, "the notification carries 16 bytes");

inline constexpr size_t kReadSize = 2048;
// Received bytes are written in pieces of this size, or of what came in
// during kWriteIntervalMs, whichever is less, to a file that stays open while
// it grows: a transfer that breaks off (a stall, a closed wizard, a killed
// process) loses no more than that, since the next attempt continues from
// what was written. A stalled read never returns to write what is held, so
// the piece is small against the files of a few MiB that break most.
inline constexpr size_t kWriteThreshold = size_t{32} << 10;
inline constexpr uint32_t kWriteIntervalMs = 1000;
inline constexpr int kAttemptsPerFile = 5;
// The last attempts of a file always go to the plain file, however many
// compressed forms stand before it: a mirror that lacks them still serves it.
inline constexpr int kPlainFileAttempts = 2;
inline constexpr uint32_t kPauseBeforeTryAgainMs = 2000;
inline constexpr uint32_t kPauseAfterTryAgainMs = 3000;
// A read that brings nothing before the announced length waits this long
// before the next, so a stalled transfer does not spin a core.
inline constexpr uint32_t kEmptyReadPauseMs = 50;

// The HTTP side of a run (net::HttpClient on Windows).
class HttpSource {
 public:
  virtual ~HttpSource() = default;
  // Opens url (closing the request opened before), asking only for the rest
  // from range.from on when that is above 0 (see engine/resume_rules.h).
  virtual HttpAnswer Open(const std::string& url, const RangeRequest& range) = 0;
  // Up to size bytes of the open request's body; 0 at its end, on failure or
  // with no request open.
  virtual size_t Read(void* buffer, size_t size) = 0;
  // Ends the open request, so that nothing more of an answer left unread
  // keeps arriving while the run pauses or goes on elsewhere.
  virtual void Close() = 0;
};

using base::Clock;

// The worker's reports, in the names of the window messages they become.
class DownloadNotifier {
 public:
  virtual ~DownloadNotifier() = default;
  virtual void FileStart(int index) = 0;  // 1-based position in the list
  virtual void Progress(int index, const TransferProgress& progress) = 0;
  // An attempt continues kept bytes: progress.Received is where it starts,
  // so the window counts the speed from there.
  virtual void Resumed(int index, const TransferProgress& progress) = 0;
  virtual void FileEnd(int index, bool success) = 0;
  virtual void TryAgain(int attempt) = 0;
  virtual void Complete(bool success) = 0;
  virtual void Trace(std::string_view text) = 0;
};

// How a run ended. Exactly one side claims the end: the worker its
// completion or failure, the watchdog the time-out. Only the side that
// claimed it reports it; the other reports nothing, so the window never sees
// two ends of one run, nor a late end of a run that Retry has replaced.
enum class RunEnd { kRunning, kCompleted, kFailed, kTimedOut };

// Shared by the worker and its watchdog.
struct DownloadControl {
  std::atomic<uint32_t> lastActivityTick{0};
  // Set by the watchdog; the worker leaves at its next step and reports
  // nothing more.
  std::atomic<bool> stopRequested{false};
  std::atomic<RunEnd> end{RunEnd::kRunning};
  // The file the worker writes received and decoded bytes to.
  StoppableFile output;

  // The watchdog's stop: the flag, and the worker's file closed now, so that
  // a worker still blocked in a read holds nothing a later attempt or the
  // placing pass needs.
  void RequestStop() {
    stopRequested = true;
    output.Stop();
  }

  // True for the one caller that ends the run.
  bool ClaimEnd(RunEnd how) {
    RunEnd running = RunEnd::kRunning;
    return end.compare_exchange_strong(running, how);
  }
};

struct DownloadJob {
  std::vector<FileEntry> files;  // the download list
  std::string serverAddr;        // Addr of the chosen server
  std::string version;           // the server's version folder
  bool utf8Urls = false;
  std::string programFolder;     // ends in "\"
  // A signed list: a staged file must also match its SHA-256.
  bool requireSha256 = false;
};

inline constexpr char kStagingLinkTrace[] = "更新目录是链接，已拒绝下载:";

// Runs the whole list. Ends with Complete(success) when it claims the end of
// the run, or without any further notification once control.stopRequested is
// seen or the watchdog has claimed the end. A staging folder that is a link
// is refused (a trace and Complete(false)) before anything is fetched: every
// file would be written wherever it points. Names outside the program folder
// or inside the staging folder are skipped with a trace.
// Every object is received into its partial file (engine/partial_download.h)
// and becomes the staged file only once it is whole and yields the listed
// hashes; a transfer that broke off is continued from its kept bytes.
// Compressed forms take the first attempts, one form each, down the order,
// so none is asked for twice in a run; the plain file takes the rest, at
// least the last kPlainFileAttempts. An answer whose
// length differs from the size the list gives for the object is refused
// before its body is read, and a compressed form whose first bytes name
// another size or too large a window fails as soon as they arrive. A
// compressed form is decoded in mapped files (download/decode_space.h); one
// whose files cannot be mapped, or a delta whose base cannot be read or no
// longer has its listed CRC-32, is passed over for the next form without a
// request; an object that cannot be decoded in the memory there is passes
// to the next form in the same attempt. An object's received bytes go once
// its file is staged. Reading, decoding and hashing count as activity for
// the watchdog.
void RunDownload(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
                 DownloadNotifier& notify, DownloadControl& control);

}  // namespace engine
