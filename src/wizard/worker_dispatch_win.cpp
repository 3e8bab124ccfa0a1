#include "wizard/worker_dispatch_win.h"

#include "download/download_run.h"
#include "engine/apply_worker_win.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "wizard/completion_win.h"
#include "wizard/main_window_win.h"
#include "wizard/navigation_win.h"
#include "wizard/page_flow.h"
#include "wizard/progress_display_win.h"
#include "wizard/version_check_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

constexpr LRESULT kHandled = 1;
constexpr WPARAM kSuccess = 1;

void FillServerChoice() {
  const auto& config = engine::CurrentSession().Config;
  HWND combo = Controls().ServerCombo;
  for (int i = 1; i <= config.ServerCount; ++i) AddComboItem(combo, config.Servers[i - 1].Name, i);
  if (SendMessageW(combo, CB_GETCOUNT, 0, 0) > 0) SelectComboItem(combo, 0);
}

const char* ConfigFailureText(engine::SignedRefusal refusal) {
  switch (refusal) {
    case engine::SignedRefusal::kBadSignature: return texts::kConfigSignatureInvalid;
    case engine::SignedRefusal::kExpired: return texts::kConfigExpired;
    case engine::SignedRefusal::kOlderVersion: return texts::kConfigOlderVersion;
    default: return texts::kReadConfigFailed;
  }
}

void OnConfigReceived(bool success) {
  auto& c = Controls();
  if (!success) {
    SetText(c.ReadConfigLabel, ConfigFailureText(engine::CurrentSession().ConfigRefusal));
    return;
  }
  const auto& config = engine::CurrentSession().Config;
  SetText(c.MainWindow, texts::kTitleOpen + config.SoftName + texts::kTitleClose);
  if (!config.AdCode.empty()) SetText(c.LinkLabel, config.AdCode);
  FillServerChoice();
  SetText(c.IntroLabel, FillTemplate(texts::kIntroTemplate, config.SoftName));
  SetText(c.CompleteLabel, FillTemplate(texts::kCompleteTemplate, config.SoftName));
  SetText(c.RunMainProgramCheck, texts::kRunMainProgramPrefix + config.SoftName);
  ShowPage2();
}

}  // namespace

// Tested in this order; CheckOnline is registered but never dispatched.
LRESULT DispatchWorkerMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto& ids = engine::MessageIds();
  // Before registration every identifier is 0; no message may match then.
  if (message == 0) return 0;
  const int index = static_cast<int>(wParam);
  if (message == ids.GetConfig) {
    OnConfigReceived(wParam == kSuccess);
  } else if (message == ids.GetInfo) {
    OnFileListReceived(wParam == kSuccess);
  } else if (message == ids.DownloadFileStart) {
    OnDownloadFileStart(index);
  } else if (message == ids.DownloadProgress) {
    OnDownloadProgress(index, reinterpret_cast<const engine::TransferProgress*>(lParam));
  } else if (message == ids.DownloadResumed) {
    OnDownloadResumed(index, reinterpret_cast<const engine::TransferProgress*>(lParam));
  } else if (message == ids.DownloadFileEnd) {
    OnDownloadFileEnd(index, lParam != 0);
  } else if (message == ids.DownloadComplete) {
    OnDownloadComplete(wParam == kSuccess);
  } else if (message == ids.DownLoadTimeOut) {
    OnDownLoadTimeOut();
  } else if (message == ids.DownLoadTryAgain) {
    OnDownLoadTryAgain(index);
  } else if (message == ids.ApplyComplete) {
    OnApplyComplete(*reinterpret_cast<const engine::ApplyReport*>(lParam));
  } else {
    return 0;
  }
  return kHandled;
}

}  // namespace wizard
