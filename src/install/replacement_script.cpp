#include "install/replacement_script.h"

#include <string>

#include "site/file_list.h"

namespace engine {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kQuote = '"';
// Rounds of about a second (one echo request after the first): the wait for
// the updater to end, and the tries of the rename while its file is held.
constexpr int kWaitRounds = 15;
constexpr int kPlaceRounds = 15;
constexpr char kPause[] = "ping 127.0.0.1 -n 2 >nul";

// %1 is the updater's process id, %2 its file name. Every other name is
// relative to the working directory, the program folder: cmd never expands
// the folder's own name, which may hold "%" (read a second time by Wine's
// cmd) or "&". A script started anywhere else, where it does not lie, does
// nothing. The updater ends by itself moments after it starts the script;
// only one that has not ended after the wait is stopped, by its process id
// and only while that id still belongs to a process of its name. The new
// executable is copied beside the old one under a temporary name and then
// renamed over it, so an interrupted copy never leaves a truncated updater;
// the rename is tried again while the old file is still held (by the ending
// process or a scanner). The staged copy is deleted only once it is in
// place; otherwise it stays in the staging folder for the next run. Outcomes
// are read from the error level on a line of their own, or from the files
// themselves: "||" after a built-in command is not reliable in every command
// interpreter. The script deletes itself on its last line, followed on the
// same line by exit, as cmd reads no further line from a deleted file.
std::string ScriptText(const std::string& staging, const std::string& self, const std::string& temporary) {
  const std::string lines[] = {
      "@echo off",
      "setlocal EnableExtensions DisableDelayedExpansion",
      "if not exist \"" + self + "\" exit",
      "set \"target=%~2\"",
      "set \"staged=" + staging + "%~2\"",
      "set \"fresh=" + temporary + "\"",
      "set /a waited=0",
      ":wait",
      "tasklist /nh /fi \"PID eq %~1\" /fi \"IMAGENAME eq %~2\" 2>nul | find \"%~1\" >nul",
      "if errorlevel 1 goto copy",
      "if %waited% geq " + std::to_string(kWaitRounds) + " goto stop",
      "set /a waited+=1",
      kPause,
      "goto wait",
      ":stop",
      "taskkill /f /pid %~1 >nul 2>nul",
      kPause,
      ":copy",
      "copy /y \"%staged%\" \"%fresh%\" >nul 2>nul",
      "if errorlevel 1 goto keep",
      "if not exist \"%fresh%\" goto keep",
      "set /a tries=0",
      ":place",
      "move /y \"%fresh%\" \"%target%\" >nul 2>nul",
      "if not exist \"%fresh%\" if exist \"%target%\" goto placed",
      "if %tries% geq " + std::to_string(kPlaceRounds) + " goto keep",
      "set /a tries+=1",
      kPause,
      "goto place",
      ":placed",
      "del \"%staged%\"",
      "rd /s /q \"" + staging + "\"",
      ":keep",
      "if exist \"%fresh%\" del \"%fresh%\"",
      "del \"" + self + "\" & exit",
  };
  std::string script;
  for (const std::string& line : lines) script += line + kLineEnd;
  return script;
}

}  // namespace

std::string ReplacementScriptText() {
  return ScriptText(kStagingFolderName, kReplacementScriptName, kReplacementScriptTemporaryName);
}

// A file name holds no quotation mark, so quoting is enough for spaces, "&"
// and brackets; "%" is handed on as it is, which Windows' cmd keeps and
// Wine's cmd does not.
std::string ReplacementScriptArguments(uint32_t processId, std::string_view exeName) {
  return std::to_string(processId) + ' ' + kQuote + std::string(exeName) + kQuote;
}

}  // namespace engine
