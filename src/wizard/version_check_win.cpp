#include "wizard/version_check_win.h"

#include <windows.h>

#include <string>

#include "base/start_worker_win.h"
#include "engine/file_list_worker_win.h"
#include "engine/session.h"
#include "wizard/main_window_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

constexpr UINT kSpinnerPeriodMs = 300;
constexpr int kSpinnerFrameCount = 8;
constexpr const char* kSpinnerFrames[kSpinnerFrameCount] = {"|", "/", "-", "\\", "|", "/", "-", "\\"};
constexpr COLORREF kGreen = 0x008000;
constexpr COLORREF kRed = 0x0000FF;

// Process-wide and never reset, so a later check goes on from where the
// spinner stood.
int g_spinnerIndex = 0;
UINT_PTR g_spinnerTimer = 0;

void CALLBACK SpinnerTick(HWND, UINT, UINT_PTR, DWORD) {
  if (++g_spinnerIndex > kSpinnerFrameCount) g_spinnerIndex = 1;
  SetText(Controls().CheckStatusLabel,
          std::string(texts::kCheckingVersionPrefix) + kSpinnerFrames[g_spinnerIndex - 1]);
}

void StartSpinner() {
  if (g_spinnerTimer == 0) g_spinnerTimer = SetTimer(nullptr, 0, kSpinnerPeriodMs, SpinnerTick);
}

void StopSpinner() {
  if (g_spinnerTimer != 0) KillTimer(nullptr, g_spinnerTimer);
  g_spinnerTimer = 0;
}

void ShowStatus(const char* text, COLORREF color) {
  HWND label = Controls().CheckStatusLabel;
  SetLabelColors(label, color, GetSysColor(COLOR_BTNFACE));
  SetText(label, text);
}

const char* FailureStatus(engine::SignedRefusal refusal) {
  switch (refusal) {
    case engine::SignedRefusal::kBadSignature: return texts::kFileListSignatureInvalid;
    case engine::SignedRefusal::kWrongList: return texts::kFileListMismatch;
    default: return texts::kNetworkFailed;
  }
}

}  // namespace

void StartVersionCheck() {
  StartSpinner();
  base::StartWorker(engine::FileListWorker, Controls().MainWindow);
}

void OnFileListReceived(bool success) {
  auto& c = Controls();
  StopSpinner();
  if (success) {
    const auto& config = engine::CurrentSession().Config;
    SetText(c.UpdateLogEdit, config.Log);
    SetText(c.ServerVersionLabel, texts::kServerVersionPrefix + config.Version);
    if (config.Version == config.LocalVersion) {
      ShowStatus(texts::kLatestVersion, kGreen);
    } else if (!config.Version.empty()) {
      ShowStatus(texts::kNewerVersionFound, kRed);
    } else {
      ShowStatus(texts::kServerVersionFailed, kRed);
      SetText(c.ServerVersionLabel, texts::kServerVersionUnknown);
    }
    Enable(c.NextButton, true);
  } else {
    SetText(c.UpdateLogEdit, texts::kUpdateLogFailed);
    // Next stays disabled: a refused list leads nowhere, as a missing one.
    ShowStatus(FailureStatus(engine::CurrentSession().FileListRefusal), kRed);
    SetText(c.ServerVersionLabel, texts::kServerVersionUnknown);
  }
  Enable(c.PrevButton, true);
}

}  // namespace wizard
