// One run of the fault soak (bench/soak): starts the real updater, steps
// through its wizard as a user would (pressing Retry where it is offered)
// and ends the run the way the plan says: not at all, by closing the wizard
// on a page, or by having the whole process killed at a trace line.
//
//   soak_driver UPDATER_EXE CONFIG_URL INSTALLED_VERSION PLAN
//
// PLAN is one of
//   none                        run until the update finishes or fails
//   close:PAGE:DELAY_MS         close the window DELAY_MS after page PAGE (1-5) shows
//   kill:PHASE:N:DELAY_MS       kill DELAY_MS after the N-th trace line that
//                               opens PHASE: config, list, download, packed,
//                               delta or placing (one staged file's move)
//   held:FILE                   hold FILE (beside the updater) open, unshared,
//                               from the first staged file's move on, so that
//                               the pass fails on it and is undone; then close
//                               the wizard
//   undo:FILE:N                 as held:FILE, and kill at the N-th move of
//                               the undo (at its trace line, before the move)
//
// The kill itself is the host's: at the chosen moment the driver prints
// "KILL <pid>" and waits for the process to vanish; the soak then ends the
// updater's whole Wine process. With a delay of 0 the updater still waits at
// that very trace line when it dies. After the trace of the run the driver
// prints one line "RESULT <finished|complete|failed|closed|killed|timeout>
// retries=<n> ..." (complete: the update completed on the download page,
// after a Retry).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "e2e/harness.h"
#include "e2e/wizard_texts.h"
#include "install/apply_staged.h"

namespace {

using e2e::kClose;
using e2e::kRetry;
using e2e::kUpdateComplete;
constexpr char kTracePrefix[] = "VIRarazo:";
constexpr int kRunTimeoutMs = 600000;
// Pages 1 to 3 that do not move on in this time end the run with a close,
// as a user would; so does one of these texts at once.
constexpr int kStuckPageMs = 45000;
const char* const kDeadEndTexts[] = {"读取服务器升级配置失败……", "配置信息签名无效，已停止升级。",
                                     "配置信息已过期，已停止升级。", "配置信息版本低于本地版本，已停止升级。",
                                     "网络连接失败！", "读取服务器版本失败！", "文件列表签名无效！",
                                     "文件列表与配置不符！"};
// How long the host may take to end the process after "KILL".
constexpr DWORD kHostKillWaitMs = 15000;
// Retry is pressed at most this often in one run, and Previous on a content
// page whose list failed (to fetch it again); then the user gives up.
constexpr int kMaxRetries = 8;
constexpr int kMaxListRetries = 3;
const char* const kPages[] = {e2e::kReadConfigPage, e2e::kServerPage, e2e::kContentPage, e2e::kDownloadPage,
                              e2e::kFinishPage};

struct Plan {
  enum Kind { kNone, kClose, kKill } kind = kNone;
  int page = 0;
  std::string prefix;
  int nth = 0;
  int delayMs = 0;
  std::string hold;  // the file held from the first move on; "" for none
};

// The moments a kill can be aimed at, by the trace line that opens them.
struct Phase {
  const char* name;
  const char* tracePrefix;
};
const Phase kPhases[] = {
    {"config", "线程_获取配置 启动"},     {"list", "线程_获取文件列表 启动"},
    {"download", "下载文件:"},           {"packed", "下载压缩文件:"},
    {"delta", "下载差异文件:"},          {"placing", engine::kPlacingTrace},
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

bool ParsePlan(const std::string& text, Plan& plan) {
  const std::vector<std::string> parts = Split(text);
  if (parts[0] == "none" && parts.size() == 1) return true;
  if (parts[0] == "held" && parts.size() == 2) {
    plan.hold = parts[1];
    return !plan.hold.empty();
  }
  if (parts[0] == "undo" && parts.size() == 3) {
    plan.kind = Plan::kKill;
    plan.hold = parts[1];
    plan.prefix = engine::kReturningTrace;
    plan.nth = std::atoi(parts[2].c_str());
    return !plan.hold.empty() && plan.nth >= 1;
  }
  if (parts[0] == "close" && parts.size() == 3) {
    plan.kind = Plan::kClose;
    plan.page = std::atoi(parts[1].c_str());
    plan.delayMs = std::atoi(parts[2].c_str());
    return plan.page >= 1 && plan.page <= 5;
  }
  if (parts[0] != "kill" || parts.size() != 4) return false;
  plan.kind = Plan::kKill;
  plan.nth = std::atoi(parts[2].c_str());
  plan.delayMs = std::atoi(parts[3].c_str());
  for (const Phase& phase : kPhases) {
    if (parts[1] == phase.name) plan.prefix = phase.tracePrefix;
  }
  return plan.nth >= 1 && !plan.prefix.empty();
}

void Say(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

int PageNumber(const std::string& page) {
  for (int i = 0; i < 5; ++i) {
    if (page == kPages[i]) return i + 1;
  }
  return 0;
}

bool ShowsCompleteRow(const std::vector<e2e::Control>& controls) {
  const e2e::Control* list = e2e::FindOnPage(controls, e2e::kDownloadPage, "SysListView32");
  if (!list) return false;
  for (const e2e::Item& row : list->items) {
    if (row.text == kUpdateComplete) return true;
  }
  return false;
}

bool ShowsDeadEnd(const std::vector<e2e::Control>& controls) {
  for (const char* text : kDeadEndTexts) {
    const e2e::Control* found = e2e::FindByText(controls, "Static", text);
    if (found && found->visible) return true;
  }
  return false;
}

const e2e::Control* Pressable(const std::vector<e2e::Control>& controls, std::string_view caption) {
  const e2e::Control* found = e2e::FindMainButton(controls, caption);
  return found && found->visible && found->enabled ? found : nullptr;
}

class Run {
 public:
  Run(std::string exe, std::string arguments, Plan plan)
      : exe_(std::move(exe)), arguments_(std::move(arguments)), plan_(std::move(plan)) {
    if (!plan_.hold.empty()) holdPath_ = exe_.substr(0, exe_.rfind('\\') + 1) + plan_.hold;
  }

  int Go() {
    const std::string killPrefix = std::string(kTracePrefix) + plan_.prefix;
    const std::string placing = std::string(kTracePrefix) + engine::kPlacingTrace;
    updater_.SetTraceHook([this, killPrefix, placing](const std::string& line) {
      if (line.compare(0, placing.size(), placing) == 0) {
        const DWORD now = GetTickCount();
        if (placingCount_++ == 0) {
          firstPlacing_ = now;
          // The updater waits at this line until the hook returns: the hold
          // is there before the move, after the writability test.
          if (!holdPath_.empty()) Hold();
        }
        lastPlacing_ = now;
      }
      if (plan_.kind != Plan::kKill || killDue_) return;
      if (line.compare(0, killPrefix.size(), killPrefix) != 0 || ++matched_ < plan_.nth) return;
      if (plan_.delayMs == 0) {
        KillNow();
      } else {
        killDueAt_ = GetTickCount() + plan_.delayMs;
        killDue_ = true;
      }
    });
    if (!updater_.Start(exe_, arguments_)) {
      Say("RESULT failed retries=0 placing_ms=0 (not started)");
      return 1;
    }
    process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, updater_.pid()));
    const std::string result = Drive();
    for (const std::string& line : updater_.Traces()) Say("TRACE " + line);
    for (const std::string& crash : updater_.Crashes()) Say("CRASH " + crash);
    const DWORD placingMs = placingCount_ > 1 ? lastPlacing_ - firstPlacing_ : 0;
    Say("RESULT " + result + " retries=" + std::to_string(retries_ + listRetries_) + " placing_ms=" + std::to_string(placingMs) +
        " placed=" + std::to_string(placingCount_.load()));
    return 0;
  }

 private:
  // Asks the host to end the process and waits until it has; the process
  // is ended here only when the host did not.
  void KillNow() {
    if (killed_.exchange(true)) return;
    // A handle of its own: the debugger's thread may get here before Start
    // has returned to the main thread.
    const base::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, updater_.pid()));
    Say("KILL " + std::to_string(updater_.pid()));
    if (WaitForSingleObject(process.get(), kHostKillWaitMs) != WAIT_OBJECT_0) {
      Say("KILL-BY-DRIVER");
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), kHostKillWaitMs);
    }
  }

  void Hold() {
    held_.reset(CreateFileW(base::WideFromGbk(holdPath_).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    Say(held_.valid() ? "HOLD " + holdPath_ : "HOLD-FAILED " + holdPath_);
    holding_ = held_.valid();
  }

  bool Ended() const { return WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0 || !updater_.running(); }

  std::string Drive() {
    const DWORD started = GetTickCount();
    HWND window = nullptr;
    int lastPage = 0;
    DWORD pageSince = started;
    bool finished = false;
    bool complete = false;
    while (!Ended()) {
      const DWORD now = GetTickCount();
      if (now - started > static_cast<DWORD>(kRunTimeoutMs)) {
        KillNow();
        return "timeout";
      }
      if (killDue_ && static_cast<int>(now - killDueAt_) >= 0) {
        KillNow();
        break;
      }
      if (!window) window = updater_.MainWindow();
      if (!window) {
        Sleep(50);
        continue;
      }
      // Read before the controls: a hold taken after them could meet a Close
      // button still enabled from before the pass.
      const bool holding = holding_;
      const std::vector<e2e::Control> controls = e2e::ReadControls(window);
      const int page = PageNumber(e2e::VisiblePage(controls));
      if (page != lastPage) {
        lastPage = page;
        pageSince = now;
      }
      if (plan_.kind == Plan::kClose && page == plan_.page && now - pageSince >= static_cast<DWORD>(plan_.delayMs)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        closed_ = true;
        break;
      }
      if (page == 3 && ShowsDeadEnd(controls) && listRetries_ < kMaxListRetries && Pressable(controls, e2e::kPrev)) {
        ++listRetries_;
        e2e::Click(Pressable(controls, e2e::kPrev)->hwnd);
        Sleep(100);
        continue;
      }
      if (page >= 1 && page <= 3 && (now - pageSince > static_cast<DWORD>(kStuckPageMs) || ShowsDeadEnd(controls))) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
      }
      if ((page == 2 || page == 3) && Pressable(controls, e2e::kNext)) {
        e2e::Click(Pressable(controls, e2e::kNext)->hwnd);
      } else if (page == 4 && ShowsCompleteRow(controls) && Pressable(controls, kClose)) {
        complete = true;
        e2e::Click(Pressable(controls, kClose)->hwnd);
        break;
      } else if (page == 4 && holding && Pressable(controls, kClose)) {
        // Close comes back once the pass has failed on the held file and
        // been undone; a new try would only fail again.
        e2e::Click(Pressable(controls, kClose)->hwnd);
        break;
      } else if (page == 4 && Pressable(controls, e2e::kNext)) {
        e2e::Click(Pressable(controls, e2e::kNext)->hwnd);
      } else if (page == 4 && Pressable(controls, kRetry)) {
        if (retries_ >= kMaxRetries) {
          PostMessageW(window, WM_CLOSE, 0, 0);
          break;
        }
        ++retries_;
        e2e::Click(Pressable(controls, kRetry)->hwnd);
      } else if (page == 5 && Pressable(controls, e2e::kFinish)) {
        finished = true;
        e2e::Click(Pressable(controls, e2e::kFinish)->hwnd);
        break;
      }
      Sleep(100);
    }
    // The updater ends by itself after a close or the finish; one that does
    // not within the step time counts as hung and is ended.
    if (!killed_ && !updater_.WaitForExit(e2e::kStepTimeoutMs)) {
      KillNow();
      return "timeout";
    }
    if (killed_) return "killed";
    if (finished) return "finished";
    if (complete) return "complete";
    if (closed_) return "closed";
    return "failed";
  }

  std::string exe_;
  std::string arguments_;
  Plan plan_;
  e2e::Updater updater_;
  base::UniqueKernelHandle process_;
  std::string holdPath_;
  base::UniqueFileHandle held_;  // taken on the debugger's thread, closed at the end
  std::atomic<bool> holding_{false};
  std::atomic<bool> killed_{false};
  std::atomic<bool> killDue_{false};
  std::atomic<DWORD> killDueAt_{0};
  int matched_ = 0;  // the debugger's thread only
  std::atomic<int> placingCount_{0};
  std::atomic<DWORD> firstPlacing_{0};
  std::atomic<DWORD> lastPlacing_{0};
  int retries_ = 0;
  int listRetries_ = 0;
  bool closed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Plan plan;
  if (argc != 5 || !ParsePlan(argv[4], plan)) {
    std::fprintf(stderr,
                 "usage: soak_driver UPDATER_EXE CONFIG_URL INSTALLED_VERSION "
                 "none|close:P:MS|kill:PHASE:N:MS|held:FILE|undo:FILE:N\n");
    return 2;
  }
  Run run(argv[1], std::string(argv[2]) + " " + argv[3], plan);
  return run.Go();
}
