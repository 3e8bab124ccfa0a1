#pragma once
// Which program holds a file, as the Restart Manager knows it.
#include <string>

namespace files {

// The name of a program that has path open ("" when the system cannot say),
// for telling the user what to close. May take a moment: not on the window's
// thread.
std::string ProgramHolding(const std::string& path);

}  // namespace files
