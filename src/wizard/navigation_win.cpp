#include "wizard/navigation_win.h"

#include <windows.h>
#include <commctrl.h>

#include "base/wide_text_win.h"
#include "engine/completion_win.h"
#include "engine/session.h"
#include "wizard/difference_step_win.h"
#include "wizard/main_window_win.h"
#include "wizard/page_flow.h"
#include "wizard/version_check_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

constexpr UINT kNoticeBoxStyle = MB_OK | MB_ICONEXCLAMATION;

PanelsShown CurrentPanels() {
  PanelsShown shown;
  for (int page = 1; page <= kPageCount; ++page) shown.page[page] = IsShown(Controls().Pages[page]);
  return shown;
}

void ShowPanel(int page, bool shown) { Show(Controls().Pages[page], shown); }

void CheckVersion() {
  auto& c = Controls();
  auto& session = engine::CurrentSession();
  const int selection = ComboSelection(c.ServerCombo);
  session.SelectedServer = selection < 0 ? 0 : static_cast<int>(ComboItemData(c.ServerCombo, selection));
  if (session.SelectedServer <= 0) {
    MessageBoxW(nullptr, base::WideFromGbk(texts::kChooseServerFirst).c_str(),
                base::WideFromGbk(texts::kNoticeTitle).c_str(), kNoticeBoxStyle);
    return;
  }
  ShowPanel(2, false);
  ShowPanel(3, true);
  ShowBanner(3);
  Enable(c.PrevButton, false);
  Enable(c.NextButton, false);
  SetText(c.CheckStatusLabel, texts::kCheckingVersion);
  SetText(c.LocalVersionLabel, std::string(texts::kLocalVersionPrefix) + session.Config.LocalVersion);
  SetText(c.ServerVersionLabel, texts::kServerVersionFetching);
  SetText(c.UpdateLogEdit, texts::kPleaseWait);
  StartVersionCheck();
}

void ResetDownloadPage() {
  auto& c = Controls();
  SetText(c.SpeedLabel, texts::kSpeedUnknown);
  SetText(c.DownloadedLabel, texts::kDownloadedUnknown);
  SetText(c.FileSizeLabel, texts::kFileSizeUnknown);
  SendMessageW(c.FileProgressBar, PBM_SETPOS, 0, 0);
  DeleteListRows(c.OperationList);
  const int row = AddStatusRow(texts::kGettingFileList);
  SetListCell(c.OperationList, row, 1, texts::kFullProgress);
}

void ShowDownloadPage() {
  auto& c = Controls();
  ResetDownloadPage();
  ShowPanel(3, false);
  ShowPanel(4, true);
  ShowBanner(4);
  Enable(c.NextButton, false);
  Enable(c.PrevButton, false);
  CompareFileList();
}

void RetryDownload() {
  auto& c = Controls();
  ResetDownloadPage();
  ShowBanner(4);
  Enable(c.NextButton, false);
  Enable(c.PrevButton, false);
  CompareFileList();
}

void ShowFinishPage() {
  auto& c = Controls();
  ShowPanel(3, false);
  ShowPanel(4, false);
  ShowPanel(5, true);
  Show(c.NextButton, false);
  Show(c.PrevButton, false);
  ShowBanner(5);
  SetText(c.CloseButton, texts::kFinish);
}

}  // namespace

void ShowPage2() {
  auto& c = Controls();
  ShowPanel(1, false);
  ShowPanel(2, true);
  ShowBanner(2);
  Show(c.PrevButton, true);
  Show(c.NextButton, true);
  Enable(c.NextButton, true);
  Enable(c.PrevButton, false);
}

void NextAction() {
  auto& c = Controls();
  const auto& config = engine::CurrentSession().Config;
  const PanelsShown shown = CurrentPanels();
  switch (NextStep(shown, config.Version, config.LocalVersion, GetText(c.NextButton))) {
    case Step::CheckVersion:
      CheckVersion();
      break;
    case Step::ShowDownloadPage:
      ShowDownloadPage();
      break;
    case Step::RetryDownload:
      RetryDownload();
      break;
    case Step::ShowFinishPage: {
      ShowFinishPage();
      if (!shown.page[3]) SetText(c.NextButton, texts::kNext);  // left from the download page
      break;
    }
    case Step::ShowPage2:
    case Step::None:
      break;
  }
}

void PreviousAction() {
  switch (PreviousStep(CurrentPanels())) {
    case Step::ShowPage2:
      ShowPage2();
      break;
    case Step::CheckVersion:
      SetText(Controls().NextButton, texts::kNext);
      CheckVersion();
      break;
    default:
      break;
  }
}

void CloseAction() {
  auto& c = Controls();
  if (ShouldRunMainProgram(CurrentPanels(), IsChecked(c.RunMainProgramCheck))) engine::RunMainProgram();
  SendMessageW(c.MainWindow, WM_CLOSE, 0, 0);
}

}  // namespace wizard
