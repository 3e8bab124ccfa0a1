// Download throughput over WinINet from a local nginx: bare read loops, the
// design's floor (one synchronous message per 2 KiB read to a window on
// another thread), the real Update.exe, and curl. Windows build only, run
// under Wine by its driver, which generates the files, starts nginx and stops
// it again:
//
//   bench/run_download_bench [rounds]          (build folder: $BUILD_DIR, default build/windows)
//
// By hand, with a server that serves the layout the driver writes:
//
//   wine build/windows/bench/download_bench.exe --base http://127.0.0.1:PORT
//        [--rounds N] [--curl /usr/bin/curl] [--updater Z:\path\Update.exe]
//        [--updater-before Z:\path\Update.exe] [--access-log /host/path]
//        [--server-pid PID] [--breaks-only 1]
//
// One update of a prepared program folder (bench/run_pack_update_bench,
// which installs the older release beside a copy of Update.exe each time):
//
//   wine build/windows/bench/download_bench.exe --program Z:\path\Update.exe
//        --config http://127.0.0.1:PORT/update.xml [--bytes N]
//
// prints "seconds peak-working-set-MiB peak-pagefile-MiB", timed as (c).
//
// Contenders, each round in turn (the order reverses every other round);
// best and median of the rounds are printed:
//   (a) InternetOpenUrl + InternetReadFile in 2 KiB pieces, nothing else;
//   (b) as (a) with one SendMessage per read to a window that another thread
//       pumps, carrying the 16-byte progress record the handler copies;
//   (c) the real Update.exe, driven through the wizard by the end-to-end
//       harness and timed from its download worker's start trace to the
//       finish page; its peak working set is read once the page shows,
//       its private bytes sampled while it runs;
//   (d) as (a) in 1 MiB pieces;
//   (e) curl (a host program) to /dev/null, by its own time_total;
//   (f) as (c) with another Update.exe (--updater-before), to set this
//       build beside an older one.
// With --access-log (nginx's log, "STATUS BYTES PATH" lines), last: the
// updater killed once its partial file holds half of the 256 MiB file, run
// again to the finish page, and the bytes nginx sent for the file in all;
// with --server-pid too, a 6 MiB file stalled at 60 % (nginx frozen by its
// process id) and retried after the watchdog's time-out, with the same count.
// Update.exe also fetches the 32 MiB file each round, so that its peak
// memory can be set beside the peak for the 256 MiB file.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "download/download_run.h"
#include "e2e/harness.h"
#include "e2e/host_files.h"
#include "e2e/wizard_texts.h"

#ifndef UPDATER_EXE_PATH
#define UPDATER_EXE_PATH ""
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultRounds = 3;
constexpr char kLargeSet[] = "s256";  // the driver's folders: /<set>/2.0/bench.bin
constexpr char kSmallSet[] = "s32";
// The large file again, sent by the server at 4 MiB/s: a link the updater
// keeps up with, so that little is in flight at the break.
constexpr char kThrottledSet[] = "s256t";
// A file of a few MiB, the size that breaks most on slow links, at 4 MiB/s.
constexpr char kStallSet[] = "s6t";
constexpr uint64_t kStallBytes = uint64_t{6} << 20;
constexpr char kFileName[] = "bench.bin";
constexpr char kVersion[] = "2.0";
constexpr char kInstalledVersion[] = "1.0";
constexpr wchar_t kAgent[] = L"G.WinInet 1.1";  // the updater's own
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES;
constexpr size_t kSmallRead = 2048;
constexpr size_t kLargeRead = size_t{1} << 20;

using e2e::kContentPage;
using e2e::kFinishPage;
using e2e::kServerPage;
using e2e::kStepTimeoutMs;
constexpr char kDownloadStartTrace[] = "线程_下载工作 启动";
// A download slower than 1 MB/s counts as failed, rather than waiting out the
// updater's retries after a fault.
constexpr double kSlowestBytesPerMs = 1000;
constexpr DWORD kFinishPollMs = 5;
// Wine reports the process's current private bytes as its peak, so the peak
// is sampled during the update: every tenth poll, 50 ms apart.
constexpr int kPollsPerMemorySample = 10;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }
double MiB(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

void CloseInternet(HINTERNET handle) { InternetCloseHandle(handle); }
using UniqueInternet = base::UniqueHandle<HINTERNET, CloseInternet>;

// ---------------------------------------------------------------------------
// (b): the window on another thread and its one message.

// The window of the floor: a message-only window on its own thread whose
// procedure copies the record, as the real progress handler does first.
class PumpingWindow {
 public:
  PumpingWindow() : ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    message_ = RegisterWindowMessageW(L"download_bench_progress");
    thread_ = std::thread(&PumpingWindow::Pump, this);
    WaitForSingleObject(ready_.get(), INFINITE);
  }
  ~PumpingWindow() {
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (thread_.joinable()) thread_.join();
  }
  PumpingWindow(const PumpingWindow&) = delete;
  PumpingWindow& operator=(const PumpingWindow&) = delete;

  HWND window() const { return window_; }
  UINT message() const { return message_; }
  int32_t lastReceived() const { return copied_.Received; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<PumpingWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == self->message_) {
      std::memcpy(&self->copied_, reinterpret_cast<const void*>(lParam), sizeof self->copied_);
      return 1;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
  }

  // The thread's entry: creates the window, tells the constructor, pumps.
  void Pump() noexcept {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"DownloadBenchWindow";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
    if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetEvent(ready_.get());
    if (!window_) return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  }

  base::UniqueKernelHandle ready_;
  std::thread thread_;
  HWND window_ = nullptr;  // written before ready_ is set, read-only after
  UINT message_ = 0;
  // Written by the window's thread while the sender waits in SendMessage.
  engine::TransferProgress copied_;
};

// ---------------------------------------------------------------------------
// (a), (b), (d): one request read to its end.

// Bytes of the body; afterRead runs after each read that brought some.
uint64_t BareDownload(const std::string& url, size_t readSize,
                      const std::function<void(uint64_t total)>& afterRead = nullptr) {
  UniqueInternet session(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, L"", L"", 0));
  if (!session) return 0;
  UniqueInternet request(InternetOpenUrlW(session.get(), base::WideFromGbk(url).c_str(), nullptr, 0,
                                          kOpenUrlFlags, 0));
  if (!request) return 0;
  std::vector<char> buffer(readSize);
  uint64_t total = 0;
  DWORD got = 0;
  while (InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(readSize), &got) && got > 0) {
    total += got;
    if (afterRead) afterRead(total);
  }
  return total;
}

// ---------------------------------------------------------------------------
// (c): the real updater through the wizard.

struct UpdaterRun {
  bool ok = false;
  std::string failure;
  double seconds = 0;
  uint64_t fileBytes = 0;  // what landed in the program folder
  double peakMiB = 0;      // peak working set of the process
  double peakPagefileMiB = 0;
};

const e2e::Control* ButtonWithText(const std::vector<e2e::Control>& controls, std::string_view text) {
  return e2e::FindControl(controls, [&](const e2e::Control& c) {
    return c.page.empty() && c.class_name == "Button" && c.text == text;
  });
}

bool ClickWhenEnabled(HWND mainWindow, std::string_view caption) {
  HWND button = nullptr;
  return e2e::WaitUntil(
             [&] {
               const auto controls = e2e::ReadControls(mainWindow);
               const e2e::Control* found = ButtonWithText(controls, caption);
               if (!found || !found->enabled || !found->visible) return false;
               button = found->hwnd;
               return true;
             },
             kStepTimeoutMs) &&
         e2e::Click(button);
}

bool WaitForPage(HWND mainWindow, std::string_view page) {
  return e2e::WaitUntil([&] { return e2e::VisiblePage(e2e::ReadControls(mainWindow)) == page; },
                        kStepTimeoutMs);
}

HWND PanelOf(HWND mainWindow, std::string_view page) {
  const auto controls = e2e::ReadControls(mainWindow);
  const e2e::Control* panel = e2e::FindControl(
      controls, [&](const e2e::Control& c) { return c.class_name == "ScPanel" && c.text == page; });
  return panel ? panel->hwnd : nullptr;
}

double PeakWorkingSetMiB(DWORD pid, double* peakPagefileMiB = nullptr) {
  base::UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!process || !GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) return -1;
  if (peakPagefileMiB) *peakPagefileMiB = MiB(counters.PeakPagefileUsage);
  return MiB(counters.PeakWorkingSetSize);
}

// The private bytes the process commits now (pagefile usage).
double PagefileMiB(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(process, &counters, sizeof counters) ? MiB(counters.PagefileUsage) : 0;
}

uint64_t FileBytes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(base::WideFromGbk(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// From the start to the content page showing the newer version.
bool ToContentPage(e2e::Updater& updater, HWND* mainWindow) {
  *mainWindow = updater.WaitForMainWindow(kStepTimeoutMs);
  return *mainWindow && WaitForPage(*mainWindow, kServerPage) && ClickWhenEnabled(*mainWindow, e2e::kNext) &&
         WaitForPage(*mainWindow, kContentPage) &&
         e2e::WaitUntil(
             [&] {
               const auto controls = e2e::ReadControls(*mainWindow);
               return e2e::FindByText(controls, "Static", e2e::kNewerVersion) != nullptr;
             },
             kStepTimeoutMs);
}

// A fresh program folder with a copy of the updater (or, with `programExe`,
// the updater already in a prepared folder), started as the main program
// starts it; Next on the server page, Next on the content page, and the
// clock runs from the worker's start trace until the finish page shows.
UpdaterRun RunUpdater(const std::string& updaterExe, const std::string& configUrl, uint64_t expectedBytes,
                      const std::string& programExe = "") {
  UpdaterRun run;
  e2e::ProgramFolder folder;
  e2e::Updater updater;
  if (programExe.empty() && !folder.Create(updaterExe, e2e::ProgramFolder::Where::kTemporary)) {
    run.failure = "cannot copy " + updaterExe;
    return run;
  }
  const std::string exe = programExe.empty() ? folder.exe() : programExe;
  if (!updater.Start(exe, configUrl + " " + kInstalledVersion)) {
    run.failure = "cannot start " + exe;
    return run;
  }
  HWND mainWindow = nullptr;
  if (!ToContentPage(updater, &mainWindow)) {
    run.failure = "the wizard did not reach the content page";
    return run;
  }
  // Found before the download: during it only this panel's visibility is
  // polled, a single cheap call, so the harness takes little from the updater.
  const HWND finishPanel = PanelOf(mainWindow, kFinishPage);
  if (!finishPanel || !ClickWhenEnabled(mainWindow, e2e::kNext) ||
      !updater.WaitForTrace(std::string(e2e::kTracePrefix) + kDownloadStartTrace, kStepTimeoutMs)) {
    run.failure = "the download worker did not start";
    return run;
  }
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::milliseconds(kStepTimeoutMs + static_cast<int64_t>(expectedBytes / kSlowestBytesPerMs));
  base::UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, updater.pid()));
  double sampledPagefileMiB = 0;
  for (int poll = 1; !IsWindowVisible(finishPanel) && updater.running() && Clock::now() < deadline; ++poll) {
    Sleep(kFinishPollMs);
    if (process && poll % kPollsPerMemorySample == 0)
      sampledPagefileMiB = std::max(sampledPagefileMiB, PagefileMiB(process.get()));
  }
  run.seconds = Seconds(Clock::now() - start);
  if (!IsWindowVisible(finishPanel)) {
    run.failure = "the finish page did not show";
    return run;
  }
  run.peakMiB = PeakWorkingSetMiB(updater.pid(), &run.peakPagefileMiB);
  run.peakPagefileMiB = std::max(run.peakPagefileMiB, sampledPagefileMiB);
  if (programExe.empty()) run.fileBytes = FileBytes(folder.path() + kFileName);
  // Finish ends the updater; the harness kills it if it lingers.
  if (ClickWhenEnabled(mainWindow, e2e::kFinish)) updater.WaitForExit(kStepTimeoutMs);
  run.ok = true;
  return run;
}

// ---------------------------------------------------------------------------
// (f): a transfer broken off by a killed process and finished by a second run.

struct BrokenRun {
  bool ok = false;
  std::string failure;
  uint64_t kept = 0;  // the partial file's bytes after the kill
};

// The folder of the partial files; the one of the one plain file is the
// largest file in it (the others are records).
constexpr char kPartialFolder[] = "update\\update\\p\\";

uint64_t LargestPartial(const std::string& folder) {
  return static_cast<uint64_t>(std::max(0LL, e2e::LargestFileIn(folder)));
}
constexpr DWORD kPartialPollMs = 20;
// The kill comes this long after the partial file reached the break, half
// the write interval, so that it does not fall just after a write.
constexpr DWORD kBreakDelayMs = engine::kWriteIntervalMs / 2;

// Starts the updater in a fresh program folder and clicks through to the
// download; false when it does not get there.
bool StartDownload(const std::string& updaterExe, const std::string& configUrl, e2e::ProgramFolder& folder,
                   e2e::Updater& updater, HWND* mainWindow) {
  return folder.Create(updaterExe, e2e::ProgramFolder::Where::kTemporary) &&
         updater.Start(folder.exe(), configUrl + " " + kInstalledVersion) && ToContentPage(updater, mainWindow) &&
         ClickWhenEnabled(*mainWindow, e2e::kNext);
}

// Kills the updater once its partial file holds `breakAt` bytes, then runs
// it again in the same folder until the finish page.
BrokenRun RunBrokenUpdater(const std::string& updaterExe, const std::string& configUrl, uint64_t bytes,
                           uint64_t breakAt) {
  BrokenRun run;
  e2e::ProgramFolder folder;
  e2e::Updater updater;
  HWND mainWindow = nullptr;
  if (!StartDownload(updaterExe, configUrl, folder, updater, &mainWindow)) {
    run.failure = "the first run did not reach the download";
    return run;
  }
  const std::string partials = folder.path() + kPartialFolder;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs + static_cast<int64_t>(bytes / kSlowestBytesPerMs));
  while (LargestPartial(partials) < breakAt && updater.running() && Clock::now() < deadline) Sleep(kPartialPollMs);
  Sleep(kBreakDelayMs);
  updater.Kill();
  updater.WaitForExit(kStepTimeoutMs);
  run.kept = LargestPartial(partials);
  if (run.kept < breakAt || run.kept >= bytes) {
    run.failure = "the partial file held " + std::to_string(run.kept) + " bytes at the kill";
    return run;
  }
  updater.Reset();
  if (!updater.Start(folder.exe(), configUrl + " " + kInstalledVersion) || !ToContentPage(updater, &mainWindow) ||
      !ClickWhenEnabled(mainWindow, e2e::kNext) ||
      !e2e::WaitUntil([&] { return e2e::VisiblePage(e2e::ReadControls(mainWindow)) == kFinishPage; },
                      kStepTimeoutMs + static_cast<int>(bytes / kSlowestBytesPerMs))) {
    run.failure = "the second run did not finish";
    return run;
  }
  if (FileBytes(folder.path() + kFileName) != bytes) {
    run.failure = "the second run left a file of another size";
    return run;
  }
  if (ClickWhenEnabled(mainWindow, e2e::kFinish)) updater.WaitForExit(kStepTimeoutMs);
  run.ok = true;
  return run;
}

// (g): a transfer that stalls at 60 % (nginx frozen), ended by the watchdog,
// and Retry. The freeze and the thaw are host commands (kill -STOP, -CONT).

struct StalledRun {
  bool ok = false;
  std::string failure;
  uint64_t kept = 0;  // the partial file's bytes when Retry was clicked
};

constexpr char kRetryButton[] = "重试(&R)";
constexpr char kCompleteText[] = "更新已完成。";
constexpr char kCloseButton[] = "关闭(&Q)";
constexpr double kStallShare = 0.6;
// The watchdog's limit and a margin for a loaded machine.
constexpr int kStallWaitMs = 30000 + kStepTimeoutMs;

bool SignalServer(int pid, const char* signal) {
  return e2e::RunHostScript("kill -" + std::string(signal) + " " + std::to_string(pid)).status == 0;
}

void DropConnectionsTo(const std::string& base) { e2e::CloseConnectionsToPort(base.substr(base.rfind(':') + 1)); }

bool HasButton(HWND mainWindow, const char* text, bool enabled) {
  for (const e2e::Control& control : e2e::ReadControls(mainWindow))
    if (control.class_name == "Button" && control.text == text && (!enabled || control.enabled)) return true;
  return false;
}

bool HasText(HWND mainWindow, const char* text) {
  for (const e2e::Control& control : e2e::ReadControls(mainWindow))
    if (control.text.find(text) != std::string::npos) return true;
  return false;
}

StalledRun RunStalledUpdater(const std::string& updaterExe, const std::string& base, const std::string& configUrl,
                             uint64_t bytes, int serverPid) {
  StalledRun run;
  e2e::ProgramFolder folder;
  e2e::Updater updater;
  HWND mainWindow = nullptr;
  if (!StartDownload(updaterExe, configUrl, folder, updater, &mainWindow)) {
    run.failure = "the run did not reach the download";
    return run;
  }
  const std::string partials = folder.path() + kPartialFolder;
  const auto breakAt = static_cast<uint64_t>(static_cast<double>(bytes) * kStallShare);
  if (!e2e::WaitUntil([&] { return LargestPartial(partials) >= breakAt; }, kStepTimeoutMs) ||
      !SignalServer(serverPid, "STOP")) {
    run.failure = "the partial file did not reach 60 %";
    return run;
  }
  const bool timedOut = e2e::WaitUntil([&] { return HasButton(mainWindow, kRetryButton, true); }, kStallWaitMs);
  run.kept = LargestPartial(partials);
  if (timedOut) DropConnectionsTo(base);
  SignalServer(serverPid, "CONT");
  if (!timedOut || !ClickWhenEnabled(mainWindow, kRetryButton)) {
    run.failure = timedOut ? "Retry could not be clicked" : "the watchdog did not end the stalled transfer";
    return run;
  }
  if (!e2e::WaitUntil([&] { return HasText(mainWindow, kCompleteText); }, kStepTimeoutMs)) {
    run.failure = "the retry did not complete the update; the window shows:";
    for (const e2e::Control& control : e2e::ReadControls(mainWindow))
      if (control.visible && !control.text.empty()) run.failure += " [" + control.text + "]";
    return run;
  }
  if (FileBytes(folder.path() + kFileName) != bytes) {
    run.failure = "the retry left a file of another size";
    return run;
  }
  if (ClickWhenEnabled(mainWindow, kCloseButton)) updater.WaitForExit(kStepTimeoutMs);
  run.ok = true;
  return run;
}

// Body bytes nginx logged for `path` from line `from` of its access log on
// ("STATUS BYTES PATH" lines); `lines` receives the count of lines read.
uint64_t LoggedBytes(const std::string& log, const std::string& path, size_t from, size_t* lines,
                     std::vector<std::string>* answers = nullptr) {
  std::ifstream in(log);
  std::string status, uri;
  uint64_t sent = 0, total = 0;
  size_t line = 0;
  while (in >> status >> sent >> uri) {
    if (line++ >= from && uri == path) {
      total += sent;
      if (answers) answers->push_back(status + " " + std::to_string(sent));
    }
  }
  *lines = line;
  return total;
}

// ---------------------------------------------------------------------------
// (e): curl, a host program.

// Wine starts a host program without a handle to wait on, so a shell writes
// curl's own figures to a file and renames it into place when done.
bool RunCurl(const std::string& curl, const std::string& url, uint64_t* bytes, double* seconds) {
  static int serial = 0;
  const std::string result = "/tmp/download_bench_curl_" + std::to_string(GetCurrentProcessId()) + "_" +
                             std::to_string(++serial);
  const std::string windowsResult = e2e::WindowsPathOf(result);
  DeleteFileW(base::WideFromGbk(windowsResult).c_str());
  std::string command = e2e::WindowsPathOf("/bin/sh") + " -c \"" + curl +
                        " -s -o /dev/null -w '%{size_download} %{time_total}' '" + url + "' > " + result +
                        ".part && mv " + result + ".part " + result + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  base::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  bool done = false;
  e2e::WaitUntil(
      [&] {
        std::ifstream in(windowsResult);
        done = static_cast<bool>(in >> *bytes >> *seconds);
        return done;
      },
      kStepTimeoutMs);
  DeleteFileW(base::WideFromGbk(windowsResult).c_str());
  return done && *seconds > 0;
}

// ---------------------------------------------------------------------------

struct Contender {
  const char* name;
  std::vector<double> rates;  // MB/s (10^6 bytes per second), one per round
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Best(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

double Rate(uint64_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0; }

std::string FileUrl(const std::string& base, const char* set) {
  return base + "/" + set + "/" + kVersion + "/" + kFileName;
}

std::string ConfigUrl(const std::string& base, const char* set) { return base + "/cfg/" + set + ".xml"; }

}  // namespace

int main(int argc, char** argv) {
  std::string base;
  int rounds = kDefaultRounds;
  std::string curl = "/usr/bin/curl";
  std::string updaterExe = e2e::WindowsPathOf(UPDATER_EXE_PATH);
  std::string programExe, configUrl, accessLog, beforeExe;
  uint64_t programBytes = 0;
  int serverPid = 0;  // nginx's host process id: with it, the stalled run
  bool breaksOnly = false;  // only the broken transfers, none of the timings
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--program") == 0) {
      programExe = e2e::WindowsPathOf(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--config") == 0) {
      configUrl = argv[i + 1];
    } else if (std::strcmp(argv[i], "--bytes") == 0) {
      programBytes = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--base") == 0) {
      base = argv[i + 1];
    } else if (std::strcmp(argv[i], "--rounds") == 0) {
      rounds = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--curl") == 0) {
      curl = argv[i + 1];
    } else if (std::strcmp(argv[i], "--access-log") == 0) {
      accessLog = e2e::WindowsPathOf(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--updater-before") == 0) {
      beforeExe = e2e::WindowsPathOf(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--breaks-only") == 0) {
      breaksOnly = std::strcmp(argv[i + 1], "1") == 0;
    } else if (std::strcmp(argv[i], "--server-pid") == 0) {
      serverPid = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--updater") == 0) {
      updaterExe = e2e::WindowsPathOf(argv[i + 1]);
    } else {
      rounds = 0;
    }
  }
  if (argc % 2 == 0 || (programExe.empty() ? base.empty() || updaterExe.empty() : configUrl.empty()) ||
      rounds <= 0) {
    std::fprintf(stderr,
                 "usage: download_bench --base http://127.0.0.1:PORT [--rounds N] [--curl PATH]"
                 " [--updater PATH]\n"
                 "       download_bench --program PATH --config URL [--bytes N]\n");
    return 2;
  }
  if (!programExe.empty()) {
    const UpdaterRun run = RunUpdater(updaterExe, configUrl, programBytes, programExe);
    if (!run.ok) {
      std::fprintf(stderr, "Update.exe: %s\n", run.failure.c_str());
      return 1;
    }
    std::printf("%.3f %.1f %.1f\n", run.seconds, run.peakMiB, run.peakPagefileMiB);
    return 0;
  }
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string largeUrl = FileUrl(base, kLargeSet);
  const std::string smallUrl = FileUrl(base, kSmallSet);

  // Untimed: the sizes, and the files into nginx's page cache.
  const uint64_t largeBytes = BareDownload(largeUrl, kLargeRead);
  const uint64_t smallBytes = BareDownload(smallUrl, kLargeRead);
  if (largeBytes == 0 || smallBytes == 0) {
    std::fprintf(stderr, "cannot fetch %s or %s\n", largeUrl.c_str(), smallUrl.c_str());
    return 1;
  }
  std::printf("server %s: %.0f MiB and %.0f MiB files\n", base.c_str(), MiB(largeBytes), MiB(smallBytes));
  std::printf("updater %s\n", updaterExe.c_str());
  std::printf("%d rounds, contenders in turn, the order reversed every other round\n", rounds);
  std::fflush(stdout);

  // With the access log: a transfer broken off by a kill, and one by a stall.
  const auto Breaks = [&]() -> int {
    if (accessLog.empty()) return 0;
    // What nginx sent for the large file across a run killed at half of it and
    // the run after it: at full speed, and at a pace the updater keeps up with.
    std::printf("\n%.0f MiB file, its run killed just after half of it, then run again to the finish page\n",
                MiB(largeBytes));
    for (const char* set : {kLargeSet, kThrottledSet}) {
      size_t lines = 0;
      const std::string path = std::string("/") + set + "/" + kVersion + "/" + kFileName;
      LoggedBytes(accessLog, path, 0, &lines);
      const BrokenRun broken = RunBrokenUpdater(updaterExe, ConfigUrl(base, set), largeBytes, largeBytes / 2);
      if (!broken.ok) {
        std::fprintf(stderr, "broken run, %s: %s\n", set, broken.failure.c_str());
        return 1;
      }
      Sleep(kFinishPollMs * 100);  // nginx writes its log line as the connection ends
      size_t after = 0;
      std::vector<std::string> answers;
      const uint64_t sent = LoggedBytes(accessLog, path, lines, &after, &answers);
      std::printf("  %s\n", set == kLargeSet ? "loopback at full speed" : "sent at 4 MiB/s");
      std::printf("    kept at the kill:   %12llu bytes (%.1f %%)\n", static_cast<unsigned long long>(broken.kept),
                  100.0 * static_cast<double>(broken.kept) / static_cast<double>(largeBytes));
      std::printf("    nginx answers (status bytes):");
      for (const std::string& answer : answers) std::printf("  %s", answer.c_str());
      std::printf("\n    sent in all:        %12llu bytes = %.4f x the file (target <= 1.01)\n",
                  static_cast<unsigned long long>(sent), static_cast<double>(sent) / static_cast<double>(largeBytes));
    }
    std::printf("  (sent, not received: what the kernel's socket buffers held at the kill is lost too)\n");

    if (serverPid <= 0) return 0;
    // A stall: nginx frozen once the partial file holds 60 % of the file sent
    // at 4 MiB/s, the watchdog's time-out, nginx thawed, Retry.
    size_t lines = 0;
    const std::string path = std::string("/") + kStallSet + "/" + kVersion + "/" + kFileName;
    LoggedBytes(accessLog, path, 0, &lines);
    const StalledRun stalled = RunStalledUpdater(updaterExe, base, ConfigUrl(base, kStallSet), kStallBytes, serverPid);
    if (!stalled.ok) {
      std::fprintf(stderr, "stalled run: %s\n", stalled.failure.c_str());
      return 1;
    }
    Sleep(kFinishPollMs * 100);
    size_t after = 0;
    std::vector<std::string> answers;
    const uint64_t sent = LoggedBytes(accessLog, path, lines, &after, &answers);
    std::printf("\n%.0f MiB file sent at 4 MiB/s, stalled at 60 %% (nginx frozen), the watchdog's time-out, Retry\n",
                MiB(kStallBytes));
    std::printf("    kept at the retry:  %12llu bytes (%.1f %%)\n", static_cast<unsigned long long>(stalled.kept),
                100.0 * static_cast<double>(stalled.kept) / static_cast<double>(kStallBytes));
    std::printf("    nginx answers (status bytes):");
    for (const std::string& answer : answers) std::printf("  %s", answer.c_str());
    std::printf("\n    sent in all:        %12llu bytes = %.4f x the file (target <= 1.01)\n",
                static_cast<unsigned long long>(sent), static_cast<double>(sent) / static_cast<double>(kStallBytes));
    return 0;
  };
  if (breaksOnly) return Breaks();

  PumpingWindow window;
  if (!window.window()) {
    std::fprintf(stderr, "cannot create the message window\n");
    return 1;
  }
  engine::TransferProgress record;

  enum { kBare2k, kMessage2k, kUpdater, kBare1m, kCurl, kBefore, kContenders };
  Contender contenders[kContenders] = {{"(a) bare loop, 2 KiB reads", {}},
                                       {"(b) 2 KiB reads + SendMessage per read", {}},
                                       {"(c) Update.exe through the wizard", {}},
                                       {"(d) bare loop, 1 MiB reads", {}},
                                       {"(e) curl to /dev/null", {}},
                                       {"(f) as (c), the Update.exe of --updater-before", {}}};
  std::vector<double> largePeaks, smallPeaks, smallRates;

  // Each contender's run; false with a message when it did not get the file.
  const std::function<bool()> runs[kContenders] = {
      [&] {
        const auto start = Clock::now();
        const uint64_t got = BareDownload(largeUrl, kSmallRead);
        contenders[kBare2k].rates.push_back(Rate(got, Seconds(Clock::now() - start)));
        return got == largeBytes;
      },
      [&] {
        const auto start = Clock::now();
        const uint64_t got = BareDownload(largeUrl, kSmallRead, [&](uint64_t total) {
          record.Received = static_cast<int32_t>(total);
          SendMessageW(window.window(), window.message(), 1, reinterpret_cast<LPARAM>(&record));
        });
        contenders[kMessage2k].rates.push_back(Rate(got, Seconds(Clock::now() - start)));
        return got == largeBytes && static_cast<uint64_t>(window.lastReceived()) == largeBytes;
      },
      [&] {
        const UpdaterRun large = RunUpdater(updaterExe, ConfigUrl(base, kLargeSet), largeBytes);
        if (!large.ok || large.fileBytes != largeBytes) {
          std::fprintf(stderr, "Update.exe, %s: %s\n", kLargeSet, large.ok ? "wrong file size" : large.failure.c_str());
          return false;
        }
        contenders[kUpdater].rates.push_back(Rate(largeBytes, large.seconds));
        largePeaks.push_back(large.peakMiB);
        const UpdaterRun small = RunUpdater(updaterExe, ConfigUrl(base, kSmallSet), smallBytes);
        if (!small.ok || small.fileBytes != smallBytes) {
          std::fprintf(stderr, "Update.exe, %s: %s\n", kSmallSet, small.ok ? "wrong file size" : small.failure.c_str());
          return false;
        }
        smallRates.push_back(Rate(smallBytes, small.seconds));
        smallPeaks.push_back(small.peakMiB);
        return true;
      },
      [&] {
        const auto start = Clock::now();
        const uint64_t got = BareDownload(largeUrl, kLargeRead);
        contenders[kBare1m].rates.push_back(Rate(got, Seconds(Clock::now() - start)));
        return got == largeBytes;
      },
      [&] {
        uint64_t got = 0;
        double seconds = 0;
        if (!RunCurl(curl, largeUrl, &got, &seconds) || got != largeBytes) {
          std::fprintf(stderr, "curl did not fetch %s\n", largeUrl.c_str());
          return false;
        }
        contenders[kCurl].rates.push_back(Rate(got, seconds));
        return true;
      },
      [&] {
        if (beforeExe.empty()) return true;
        const UpdaterRun large = RunUpdater(beforeExe, ConfigUrl(base, kLargeSet), largeBytes);
        if (!large.ok || large.fileBytes != largeBytes) {
          std::fprintf(stderr, "%s: %s\n", beforeExe.c_str(), large.ok ? "wrong file size" : large.failure.c_str());
          return false;
        }
        contenders[kBefore].rates.push_back(Rate(largeBytes, large.seconds));
        return true;
      }};

  for (int round = 0; round < rounds; ++round) {
    std::printf("round %d:", round + 1);
    for (int step = 0; step < kContenders; ++step) {
      const int which = round % 2 == 0 ? step : kContenders - 1 - step;
      if (!runs[which]()) {
        std::fprintf(stderr, "\n%s failed\n", contenders[which].name);
        return 1;
      }
      if (!contenders[which].rates.empty()) std::printf(" %c %.0f", "abcdef"[which], contenders[which].rates.back());
      std::fflush(stdout);
    }
    std::printf(" MB/s\n");
  }

  std::printf("\n%.0f MiB file from nginx on 127.0.0.1   %10s %10s\n", MiB(largeBytes), "best MB/s",
              "median");
  for (const Contender& c : contenders) {
    if (!c.rates.empty()) std::printf("  %-42s %10.1f %10.1f\n", c.name, Best(c.rates), Median(c.rates));
  }
  const auto& floor = contenders[kMessage2k].rates;
  const auto& ours = contenders[kUpdater].rates;
  std::printf("  ratio (c)/(b): %.2f best, %.2f median  (target >= 0.9)\n", Best(ours) / Best(floor),
              Median(ours) / Median(floor));
  if (!contenders[kBefore].rates.empty()) {
    const auto& before = contenders[kBefore].rates;
    std::printf("  ratio (c)/(f), this build against the one before: %.2f best, %.2f median\n",
                Best(ours) / Best(before), Median(ours) / Median(before));
  }
  std::printf("  (c) timed from the download worker's start trace to the finish page (staged-file check\n"
              "      and application included); Update.exe runs as the harness's debugged child\n");
  std::printf("\nUpdate.exe peak working set (whole Wine process), highest of the rounds\n");
  std::printf("  %.0f MiB file: %7.1f MiB\n", MiB(largeBytes), Best(largePeaks));
  std::printf("  %.0f MiB file: %7.1f MiB   (its download at %.1f MB/s best)\n", MiB(smallBytes),
              Best(smallPeaks), Best(smallRates));
  std::printf("  difference: %.1f MiB for %.0f MiB more file\n", Best(largePeaks) - Best(smallPeaks),
              MiB(largeBytes - smallBytes));

  return Breaks();
}
