#include "wizard/window_layer_win.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// The set-up a frame window runs on creation builds controls and starts a
// worker; no message another window or control may send must run it again.
TEST(FrameWindow, SetUpRunsOnceWhateverArrivesLater) {
  int setUps = 0;
  HWND window = wizard::CreateFrameWindow(wizard::kPanelClass, 0, "panel", WS_POPUP, {0, 0, 50, 50},
                                          nullptr, false, [&](HWND) { ++setUps; });
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(setUps, 1);

  // Dialog-manager and control messages live in the WM_USER range: the first
  // of them shares its number with DM_SETDEFID.
  for (UINT message = WM_USER; message < WM_USER + 0x100; ++message) {
    SendMessageW(window, message, 0, 0);
  }
  EXPECT_EQ(setUps, 1);

  SendMessageW(window, wizard::kCreatedMessage, 0, 0);
  EXPECT_EQ(setUps, 1);
  DestroyWindow(window);
}

}  // namespace
