#include "shell/message_loop_win.h"

namespace shell {

WPARAM MessageLoop(HWND mainWindow) {
  MSG message{};
  for (;;) {
    const BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == 0) break;
    // -1 (an error) goes on like any other message.
    if (!TranslateAcceleratorW(mainWindow, nullptr, &message) && !IsDialogMessageW(mainWindow, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (mainWindow && !IsWindow(mainWindow)) break;
  }
  return message.wParam;
}

}  // namespace shell
