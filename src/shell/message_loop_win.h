#pragma once
#include <windows.h>

namespace shell {

// Runs the user-interface thread's loop until the quit message arrives or the
// main window no longer exists. Returns the last message's wParam.
WPARAM MessageLoop(HWND mainWindow);

}  // namespace shell
