#include "wizard/completion_win.h"

#include <windows.h>

#include <string>

#include "engine/apply_worker_win.h"
#include "engine/completion_win.h"
#include "engine/session.h"
#include "wizard/main_window_win.h"
#include "wizard/navigation_win.h"
#include "wizard/progress_display_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

// A placing worker runs; read and written on the window's thread only.
bool g_placing = false;

// The pass must not be cut off half way by the end of the process: closing
// is refused until it reports.
void AllowClosing(bool allowed) {
  auto& c = Controls();
  Enable(c.CloseButton, allowed);
  EnableMenuItem(GetSystemMenu(c.MainWindow, FALSE), SC_CLOSE, MF_BYCOMMAND | (allowed ? MF_ENABLED : MF_GRAYED));
}

void StartPlacing() {
  if (!engine::StartApplyRun(Controls().MainWindow, engine::SessionApplyInput())) {
    AddStatusRow(texts::kUnwritableFiles);
    Enable(Controls().PrevButton, true);
    return;
  }
  g_placing = true;
  AllowClosing(false);
}

// Below the failure row: the file that could not be replaced, and the
// program holding it where the system can say.
void AddUnreplaceableRow(const engine::ApplyReport& report) {
  if (report.result.failedName.empty()) return;
  std::string text = texts::kUnreplaceableFilePrefix + report.result.failedName;
  if (!report.holder.empty()) text += texts::kHeldByOpen + report.holder + texts::kHeldByClose;
  AddStatusRow(text.c_str());
}

// One row for each installed file the undo could not return, with where its
// old copy waits: the program lacks it, or has its new copy beside old ones.
void AddUnreturnedRows(const engine::ApplyResult& result) {
  for (const engine::ApplyResult::KeptFile& file : result.unreturned) {
    const std::string text =
        texts::kUnreturnedFilePrefix + file.name + texts::kKeptAtOpen + file.keptAt + texts::kKeptAtClose;
    AddStatusRow(text.c_str());
  }
}

}  // namespace

void OnDownloadComplete(bool success) {
  if (success) {
    StartPlacing();
    return;
  }
  AddStatusRow(texts::kDownloadFailed);
  OfferRetry();
  Enable(Controls().PrevButton, true);
}

void OnApplyComplete(const engine::ApplyReport& report) {
  auto& c = Controls();
  g_placing = false;
  AllowClosing(true);
  const engine::ApplyResult& result = report.result;
  engine::RecordApplyResult(result);
  if (result.outcome == engine::ApplyOutcome::kVerifyFailed) {
    // Nothing was placed; the staging folder stays as it is.
    AddStatusRow(texts::kFileCheckFailed);
  } else if (result.outcome != engine::ApplyOutcome::kApplied) {
    // An installed file held, a staged copy gone, or a file that could not
    // be placed: what was placed went back, everything stays staged for a
    // later try, and the update is not complete.
    AddStatusRow(texts::kUnwritableFiles);
    AddUnreplaceableRow(report);
    AddUnreturnedRows(result);
  } else {
    // A run reached through Retry keeps Retry on the button: the Next action
    // below then runs the difference step again, which finds nothing left to
    // fetch and ends on this page with the update complete.
    Enable(c.NextButton, true);
    Enable(c.PrevButton, false);
    if (!engine::CurrentSession().DownloadList.empty()) {
      NextAction();
    } else {
      AddStatusRow(texts::kUpdateComplete);
    }
  }
  // Through Retry, the Next action above may have started another pass.
  if (!g_placing) Enable(c.PrevButton, true);
}

void ShutdownCleanup() {
  engine::CleanUpStagingAtShutdown();
  PostQuitMessage(0);
}

}  // namespace wizard
