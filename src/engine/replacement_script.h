#pragma once
// The batch script that replaces the updater's own executable after it exits.
#include <string>
#include <string_view>

namespace engine {

inline constexpr char kReplacementScriptName[] = "VaVeri_Update.bat";

// The nine lines, each ending in CR LF, for the program folder (ending in
// "\") and the updater's file name. A "%" in either is doubled so that cmd
// takes it literally.
std::string ReplacementScriptText(std::string_view programFolder, std::string_view exeName);

}  // namespace engine
