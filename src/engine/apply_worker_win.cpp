#include "engine/apply_worker_win.h"

#include <memory>
#include <vector>

#include "base/start_worker_win.h"
#include "base/trace.h"
#include "download/download_run.h"
#include "engine/download_worker_win.h"
#include "engine/worker_messages_win.h"
#include "files/file_holder_win.h"
#include "files/file_system_win.h"

namespace engine {
namespace {

constexpr char kStartTrace[] = "线程_放置文件 启动";
constexpr char kHolderTrace[] = "占用文件的程序:";

// The worker's own copy of everything the pass reads.
struct ApplyJob {
  HWND window = nullptr;
  std::vector<FileEntry> serverFiles;
  std::vector<FileEntry> downloadList;
  ApplyInput input;
};

class SystemClock : public Clock {
 public:
  uint32_t Now() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

DWORD WINAPI ApplyThread(LPVOID argument) {
  const std::unique_ptr<ApplyJob> job(static_cast<ApplyJob*>(argument));
  ApplyReport report;
  report.result.outcome = ApplyOutcome::kPlaceFailed;
  try {
    base::Trace(kStartTrace);
    WaitForDownloadWorkers();
    files::WindowsFileSystem fs;
    SystemClock clock;
    report.result = ApplyStagedFiles(fs, clock, job->input);
    if (!report.result.heldPath.empty()) {
      report.holder = files::ProgramHolding(report.result.heldPath);
      if (!report.holder.empty()) base::Trace(kHolderTrace + report.holder);
    }
  } catch (...) {
    // Out of memory: reported as a failed pass, so the window does not wait
    // for ever.
  }
  NotifyApplyComplete(job->window, report);
  return 0;
}

}  // namespace

bool StartApplyRun(HWND window, const ApplyInput& input) {
  auto job = std::make_unique<ApplyJob>();
  job->window = window;
  job->input = input;
  if (input.serverFiles) job->serverFiles = *input.serverFiles;
  if (input.downloadList) job->downloadList = *input.downloadList;
  job->input.serverFiles = &job->serverFiles;
  job->input.downloadList = &job->downloadList;
  if (!base::StartWorker(ApplyThread, job.get())) return false;
  job.release();  // the thread owns it now
  return true;
}

}  // namespace engine
