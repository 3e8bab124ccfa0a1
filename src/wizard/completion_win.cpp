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
    // An installed file held, a staged copy gone, or a file that could not
    // be placed: nothing or not everything moved, what did not stays staged
    // for a later try, and the update is not complete.
    AddStatusRow(texts::kUnwritableFiles);
    return;
  }
  // A run reached through Retry keeps Retry on the button: the Next action
  // below then runs the difference step again, which finds nothing left to
  // fetch and ends on this page with the update complete.
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
