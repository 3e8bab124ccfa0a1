#include "wizard/completion_win.h"

#include <windows.h>

#include "engine/completion_win.h"
#include "engine/session.h"
#include "wizard/main_window_win.h"
#include "wizard/navigation_win.h"
#include "wizard/progress_display_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

void ApplyStagedFiles() {
  auto& c = Controls();
  const engine::ApplyResult result = engine::ApplyStagedFilesOfSession();
  if (result.outcome == engine::ApplyOutcome::kVerifyFailed) {
    // Nothing was placed; the staging folder stays as it is.
    AddStatusRow(texts::kFileCheckFailed);
    return;
  }
  if (result.outcome != engine::ApplyOutcome::kApplied) {
    // Either nothing was touched or what could not be placed stays staged
    // for the next run; in both cases the update is not complete.
    AddStatusRow(texts::kUnwritableFiles);
    return;
  }
  // A run reached through Retry still has Retry on the button; the update is
  // done, so Next leads to the finish page rather than round again.
  SetText(c.NextButton, texts::kNext);
  Enable(c.NextButton, true);
  Enable(c.PrevButton, false);
  if (!engine::CurrentSession().DownloadList.empty()) {
    NextAction();
    return;
  }
  AddStatusRow(texts::kUpdateComplete);
}

}  // namespace

void OnDownloadComplete(bool success) {
  if (success) {
    ApplyStagedFiles();
  } else {
    AddStatusRow(texts::kDownloadFailed);
    OfferRetry();
  }
  Enable(Controls().PrevButton, true);
}

void ShutdownCleanup() {
  engine::CleanUpStagingAtShutdown();
  PostQuitMessage(0);
}

}  // namespace wizard
