#include "engine/download_worker_win.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/start_worker_win.h"
#include "base/trace.h"
#include "base/unique_handle_win.h"
#include "download/download_run.h"
#include "download/stall_watchdog.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "files/file_system_win.h"
#include "net/http_client_win.h"
#include "site/signing.h"

namespace engine {
namespace {

constexpr char kStartTrace[] = "线程_下载工作 启动";
constexpr char kEndTrace[] = "线程_下载工作 结束";
constexpr char kWaitTrace[] = "等待已停止的下载线程结束";
constexpr DWORD kStopWaitMs = 2000;
// Beyond the requests' own bound, for the worker to leave once its read ends.
constexpr DWORD kEndAfterTimeoutMs = 5000;

// Every download worker started and not yet seen to end: one that the
// watchdog gave up on may still be blocked in a read.
std::mutex g_workersMutex;
std::vector<base::UniqueKernelHandle> g_workers;

void Track(HANDLE worker) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), worker, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0)) return;
  std::lock_guard<std::mutex> lock(g_workersMutex);
  g_workers.emplace_back(copy);
}

// Everything one run shares between its worker and its watchdog. Each thread
// holds a reference; the last one to end frees it.
struct RunState {
  HWND window = nullptr;
  DownloadJob job;
  DownloadControl control;
  net::HttpClient http;  // opened on creation; the watchdog may Cancel it
  base::UniqueKernelHandle stopEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  base::UniqueKernelHandle worker;
};

using SharedRun = std::shared_ptr<RunState>;

// A thread's argument: a heap copy of the reference, taken over by the thread.
SharedRun TakeRun(LPVOID argument) {
  std::unique_ptr<SharedRun> owned(static_cast<SharedRun*>(argument));
  return *owned;
}

class HttpClientSource : public HttpSource {
 public:
  explicit HttpClientSource(net::HttpClient& http) : http_(http) {}
  HttpAnswer Open(const std::string& url, const RangeRequest& range) override {
    std::string opened = url;
    net::AnswerHeaders headers;
    HttpAnswer answer;
    answer.length = http_.Open(opened, RangeHeaders(range), headers);
    answer.status = headers.status;
    answer.contentRange = headers.contentRange;
    answer.validator = ValidatorOf(headers.etag, headers.lastModified);
    return answer;
  }
  size_t Read(void* buffer, size_t size) override { return http_.Read(buffer, size); }
  void Close() override { http_.CloseRequest(); }

 private:
  net::HttpClient& http_;
};

// The worker's pauses end early once the watchdog asks it to stop.
class WorkerClock : public Clock {
 public:
  explicit WorkerClock(HANDLE stopEvent) : stopEvent_(stopEvent) {}
  uint32_t Now() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { WaitForSingleObject(stopEvent_, ms); }

 private:
  HANDLE stopEvent_;
};

class SystemClock : public Clock {
 public:
  uint32_t Now() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

class WindowNotifier : public DownloadNotifier {
 public:
  explicit WindowNotifier(HWND window) : window_(window) {}
  void FileStart(int index) override { NotifyDownloadFileStart(window_, index); }
  void Progress(int index, const TransferProgress& progress) override {
    NotifyDownloadProgress(window_, index, progress);
  }
  void Resumed(int index, const TransferProgress& progress) override {
    NotifyDownloadResumed(window_, index, progress);
  }
  void FileEnd(int index, bool success) override { NotifyDownloadFileEnd(window_, index, success); }
  void TryAgain(int attempt) override { NotifyDownLoadTryAgain(window_, attempt); }
  void Complete(bool success) override { NotifyDownloadComplete(window_, success); }
  void Trace(std::string_view text) override { base::Trace(text); }

 private:
  HWND window_;
};

class WorkerThread : public WatchedWorker {
 public:
  explicit WorkerThread(RunState& run) : run_(run) {}
  bool Running() override { return WaitForSingleObject(run_.worker.get(), 0) == WAIT_TIMEOUT; }
  void RequestStop() override {
    run_.control.RequestStop();
    SetEvent(run_.stopEvent.get());
    run_.http.Cancel();
  }
  // Closing its handles does not break a read that Wine's WinINet has
  // blocked in, so the wait is bounded. Such a worker no longer holds its
  // file (the stop closed it), its read ends within the requests' time-out,
  // and it reports nothing once it returns, so the time-out can be reported
  // and a retry start at once.
  void WaitUntilEnded() override { WaitForSingleObject(run_.worker.get(), kStopWaitMs); }

 private:
  RunState& run_;
};

DWORD WINAPI DownloadThread(LPVOID argument) {
  const SharedRun run = TakeRun(argument);
  try {
    base::Trace(kStartTrace);
    HttpClientSource source(run->http);
    files::WindowsFileSystem fs;
    WorkerClock clock(run->stopEvent.get());
    WindowNotifier notifier(run->window);
    RunDownload(run->job, source, fs, clock, notifier, run->control);
  } catch (...) {
    // Out of memory. The watchdog reports only a stall, so the run must end
    // with its own failure report for the window to offer the retry.
    if (run->control.ClaimEnd(RunEnd::kFailed)) NotifyDownloadComplete(run->window, false);
  }
  run->http.Release();
  base::Trace(kEndTrace);
  return 0;
}

DWORD WINAPI StallWatchdog(LPVOID argument) {
  const SharedRun run = TakeRun(argument);
  try {
    SystemClock clock;
    WorkerThread worker(*run);
    WatchForStall(run->control, clock, worker,
                  [&run] { NotifyDownLoadTimeOut(run->window, run->worker.get()); });
  } catch (...) {
    // Nothing here allocates after the start; nothing to report.
  }
  return 0;
}

bool StartThread(LPTHREAD_START_ROUTINE function, const SharedRun& run, base::UniqueKernelHandle* kept) {
  auto argument = std::make_unique<SharedRun>(run);
  if (!base::StartWorker(function, argument.get(), kept)) return false;
  argument.release();  // the thread owns it now
  return true;
}

}  // namespace

bool StartDownloadRun(HWND window, std::vector<FileEntry> files) {
  auto run = std::make_shared<RunState>();
  const Session& session = CurrentSession();
  run->window = window;
  run->job.files = std::move(files);
  if (session.SelectedServer >= 1 && session.SelectedServer <= session.Config.ServerCount) {
    run->job.serverAddr = session.Config.Servers[session.SelectedServer - 1].Addr;
  }
  run->job.version = session.Config.Version;
  run->job.utf8Urls = session.Config.UTF8Encode;
  run->job.programFolder = session.ProgramFolder;
  run->job.requireSha256 = SigningVerifier() != nullptr;
  // The watchdog starts only after the worker's handle is stored, and the
  // worker reads the handle never, so no one sees it half-written.
  base::UniqueKernelHandle worker;
  if (!StartThread(DownloadThread, run, &worker)) return false;
  Track(worker.get());
  run->worker = std::move(worker);
  StartThread(StallWatchdog, run, nullptr);
  return true;
}

void WaitForDownloadWorkers() {
  std::vector<base::UniqueKernelHandle> workers;
  {
    std::lock_guard<std::mutex> lock(g_workersMutex);
    workers.swap(g_workers);
  }
  const DWORD bound = net::RequestTimeoutMs() + kEndAfterTimeoutMs;
  const DWORD start = GetTickCount();
  std::vector<base::UniqueKernelHandle> running;
  bool traced = false;
  for (base::UniqueKernelHandle& worker : workers) {
    if (WaitForSingleObject(worker.get(), 0) == WAIT_OBJECT_0) continue;
    if (!traced) base::Trace(kWaitTrace);
    traced = true;
    const DWORD waited = GetTickCount() - start;
    if (WaitForSingleObject(worker.get(), waited < bound ? bound - waited : 0) != WAIT_OBJECT_0) {
      running.push_back(std::move(worker));
    }
  }
  std::lock_guard<std::mutex> lock(g_workersMutex);
  for (base::UniqueKernelHandle& worker : running) g_workers.push_back(std::move(worker));
}

}  // namespace engine
