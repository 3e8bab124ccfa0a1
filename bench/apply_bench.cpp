// Whether the window answers while 10,000 staged files are placed: a probe
// thread sends the window an empty message every 10 ms and times each answer
// while the placing pass runs (a) on the window's own thread, as a handler
// would run it, and (b) on the placing worker (engine::StartApplyRun), with
// the window pumping messages until the worker reports. Windows marks a
// window that has not answered for 5 s as not responding. Windows build
// only; run under Wine:
//
//   wine build/windows/bench/apply_bench.exe [--rounds N] [--folder DIR]
//
// Each round stages the files again (untimed) and places them over the
// copies placed before; the contenders take turns. The longest and the
// 99th-percentile answer time and the pass's own time of each are printed
// (median over the rounds), and the ratio of the longest answers.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "download/download_run.h"
#include "engine/apply_worker_win.h"
#include "engine/worker_messages_win.h"
#include "files/file_system_win.h"
#include "install/apply_staged.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kDefaultRounds = 3;
constexpr int kFolders = 10;
constexpr int kFilesPerFolder = 1000;
constexpr size_t kFileBytes = 2048;
constexpr DWORD kProbeIntervalMs = 10;
constexpr UINT kProbeTimeoutMs = 120000;
constexpr wchar_t kWindowClass[] = L"ApplyBenchWindow";

double Milliseconds(SteadyClock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

class TickClock : public engine::Clock {
 public:
  uint32_t Now() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

// Set by the window procedure when the worker reports.
bool g_reported = false;
engine::ApplyOutcome g_outcome = engine::ApplyOutcome::kUnwritable;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != 0 && message == engine::MessageIds().ApplyComplete) {
    g_outcome = reinterpret_cast<const engine::ApplyReport*>(lParam)->result.outcome;
    g_reported = true;
    PostMessageW(window, WM_NULL, 0, 0);  // a sent message alone does not end GetMessage
    return 1;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Sends the window an empty message every interval and keeps each answer's
// time. Its last send may wait for the window, so the window's thread pumps
// until the probe has finished.
class Probe {
 public:
  explicit Probe(HWND window) : window_(window), thread_([this] { Run(); }) {}
  ~Probe() {
    stop_ = true;
    thread_.join();
  }
  void RequestStop() { stop_ = true; }
  bool Finished() const { return finished_; }
  std::vector<double> answers;  // ms, read once Finished

 private:
  void Run() {
    while (!stop_) {
      const auto start = SteadyClock::now();
      DWORD_PTR result = 0;
      SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, kProbeTimeoutMs, &result);
      answers.push_back(Milliseconds(SteadyClock::now() - start));
      Sleep(kProbeIntervalMs);
    }
    finished_ = true;
  }
  HWND window_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

void PumpPending() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
  base::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool Stage(const std::string& program, const std::vector<engine::FileEntry>& list, files::FileSystem& fs) {
  const std::string staging = program + engine::kStagingFolderName;
  std::vector<char> bytes(kFileBytes, 'x');
  for (const engine::FileEntry& entry : list) {
    if (!fs.MakeFolders(engine::FolderOfEntry(staging, entry.Name)) ||
        !WriteWholeFile(base::WideFromGbk(staging + entry.Name), bytes.data(), bytes.size())) {
      return false;
    }
  }
  return true;
}

struct Round {
  double passMs = 0;
  double longestMs = 0;
  double p99Ms = 0;
};

// One pass with the probe running; false when it did not place everything.
bool Place(HWND window, const engine::ApplyInput& input, bool onWorker, Round& round) {
  files::WindowsFileSystem fs;
  TickClock clock;
  engine::ApplyOutcome outcome = engine::ApplyOutcome::kUnwritable;
  Probe probe(window);
  const auto start = SteadyClock::now();
  if (onWorker) {
    g_reported = false;
    if (!engine::StartApplyRun(window, input)) return false;
    MSG message;
    while (!g_reported && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    outcome = g_outcome;
  } else {
    outcome = engine::ApplyStagedFiles(fs, clock, input).outcome;
  }
  round.passMs = Milliseconds(SteadyClock::now() - start);
  probe.RequestStop();
  while (!probe.Finished()) PumpPending();
  std::vector<double> answers = probe.answers;
  std::sort(answers.begin(), answers.end());
  round.longestMs = answers.empty() ? 0 : answers.back();
  round.p99Ms = answers.empty() ? 0 : answers[answers.size() * 99 / 100];
  return outcome == engine::ApplyOutcome::kApplied;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = kDefaultRounds;
  std::string folder = "Z:\\tmp\\updater-apply-bench\\";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) {
      folder = argv[++i];
      if (folder.back() != '\\') folder += '\\';
    } else {
      rounds = 0;
    }
  }
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: apply_bench [--rounds N] [--folder DIR]\n");
    return 2;
  }

  engine::RegisterWorkerMessages();
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);
  const HWND window = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                      nullptr, windowClass.hInstance, nullptr);
  if (!window) {
    std::fprintf(stderr, "cannot create the window\n");
    return 1;
  }

  const std::string program = folder + "program\\";
  std::vector<engine::FileEntry> list;
  for (int f = 0; f < kFolders; ++f) {
    for (int i = 0; i < kFilesPerFolder; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "d%d\\f%04d.bin", f, i);
      list.push_back({name, "FFFFFFFF"});
    }
  }
  const engine::ApplyInput input{program, "Update.exe", "Main.exe", &list, &list};
  files::WindowsFileSystem fs;
  if (!fs.MakeFolders(program)) {
    std::fprintf(stderr, "cannot create %s\n", program.c_str());
    return 1;
  }
  std::printf("%zu files of %zu bytes placed in %s, %d rounds, contenders alternating\n", list.size(),
              kFileBytes, program.c_str(), rounds);
  std::fflush(stdout);

  std::vector<Round> results[2];
  for (int round = -1; round < rounds; ++round) {  // round -1 is untimed: the first placing creates
    for (int step = 0; step < 2; ++step) {
      const bool onWorker = (step == 0) == (round % 2 == 0);
      Round measured;
      if (!Stage(program, list, fs) || !Place(window, input, onWorker, measured)) {
        std::fprintf(stderr, "placing failed (%s)\n", onWorker ? "worker" : "window's thread");
        return 1;
      }
      if (round >= 0) results[onWorker ? 1 : 0].push_back(measured);
    }
  }

  const char* titles[] = {"(a) pass on the window's thread", "(b) pass on the placing worker"};
  double longest[2] = {};
  std::printf("  %-34s %10s %14s %14s\n", "", "pass ms", "longest ms", "99th pct ms");
  for (int i = 0; i < 2; ++i) {
    std::vector<double> pass, most, p99;
    for (const Round& r : results[i]) {
      pass.push_back(r.passMs);
      most.push_back(r.longestMs);
      p99.push_back(r.p99Ms);
    }
    longest[i] = Median(most);
    std::printf("  %-34s %10.0f %14.1f %14.1f\n", titles[i], Median(pass), longest[i], Median(p99));
  }
  std::printf("  longest answer (a) / (b): %.1fx (medians)\n", longest[1] > 0 ? longest[0] / longest[1] : 0.0);
  DestroyWindow(window);
  return 0;
}
