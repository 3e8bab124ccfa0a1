#pragma once
// Starting a program with the rights of the desktop's user rather than the
// updater's own (administrator) rights.
#include <string>

namespace engine {

// Asks the shell's desktop process (Explorer, which runs as the user who
// logged on, unelevated) to start program in folder. False when there is no
// such shell to ask or it refuses; the program is then not started.
bool StartAsDesktopUser(const std::wstring& program, const std::wstring& folder);

}  // namespace engine
