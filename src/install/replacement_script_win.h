#pragma once
// Writing and starting the script that replaces the updater's executable.
#include <cstdint>
#include <string>

namespace engine {

// Writes the script into programFolder (ending in "\") and starts it hidden
// with the process id and file name of the updater it is to replace. False,
// and nothing started, when the script could not be written or started.
bool StartReplacementScript(const std::string& programFolder, uint32_t processId, const std::string& exeName);

}  // namespace engine
