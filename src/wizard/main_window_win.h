#pragma once
// The wizard's one top-level window and the handles of its controls.
#include <windows.h>

#include <array>

#include "base/unique_handle_win.h"

namespace wizard {

inline constexpr int kPageCount = 5;

struct MainWindowControls {
  HWND MainWindow = nullptr;
  HWND BannerPicture = nullptr;
  HWND PageFrame = nullptr;
  HWND SeparatorLine = nullptr;
  HWND LinkLabel = nullptr;
  HWND PrevButton = nullptr;
  HWND NextButton = nullptr;
  HWND CloseButton = nullptr;
  std::array<HWND, kPageCount + 1> Pages{};  // index 1..5

  HWND ReadConfigLabel = nullptr;
  HWND IntroLabel = nullptr;
  HWND FirewallNoteLabel = nullptr;
  HWND ServerGroupBox = nullptr;
  HWND ServerCombo = nullptr;
  HWND CheckStatusLabel = nullptr;
  HWND LocalVersionLabel = nullptr;
  HWND ServerVersionLabel = nullptr;
  HWND ContentGroupBox = nullptr;
  HWND UpdateLogEdit = nullptr;
  HWND DownloadStatusLabel = nullptr;
  HWND OperationList = nullptr;
  HWND SpeedLabel = nullptr;
  HWND FileProgressBar = nullptr;
  HWND DownloadedLabel = nullptr;
  HWND FileSizeLabel = nullptr;
  HWND CompleteLabel = nullptr;
  HWND RunMainProgramCheck = nullptr;

  std::array<base::UniqueBitmap, kPageCount + 1> Banners;  // index 1..5
  int BannerShown = 1;
};

// Only the user-interface thread touches these.
MainWindowControls& Controls();

// Creates the main window; its set-up runs before this returns. Returns the
// window handle, or null when it could not be created.
HWND CreateMainWindow();

// Puts page's picture into the banner and redraws it.
void ShowBanner(int page);

// Adds a row to the operation list, selects it and scrolls it into view; the
// download status label shows the same text.
int AddStatusRow(const char* text);

}  // namespace wizard
