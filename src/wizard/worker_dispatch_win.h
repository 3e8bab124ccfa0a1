#pragma once
#include <windows.h>

namespace wizard {

// The main window's message hook: runs the handler of a worker report and
// returns 1, or returns 0 for any other message.
LRESULT DispatchWorkerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace wizard
