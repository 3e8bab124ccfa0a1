#include "engine/replacement_script.h"

#include "engine/apply_staged.h"

namespace engine {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kQuote = '"';

// cmd expands "%" even inside quotes; "%%" is a literal one in a batch file.
// 0x25 is never a GBK trail byte, so every 0x25 byte is a real "%".
std::string Literal(std::string_view text) {
  std::string result;
  for (const char byte : text) {
    result += byte;
    if (byte == '%') result += '%';
  }
  return result;
}

std::string Quoted(const std::string& text) { return kQuote + text + kQuote; }

}  // namespace

std::string ReplacementScriptText(std::string_view programFolder, std::string_view exeName) {
  const std::string folder = Literal(programFolder);
  const std::string exe = Literal(exeName);
  const std::string staged = Quoted(folder + kStagingFolderName + exe);
  const std::string lines[] = {
      "@echo off",
      // Waits for the updater to exit; the kill covers one that hangs.
      "ping 127.0.0.1 -n 03>nul",
      "Taskkill /f /im " + Quoted(exe),
      "ping 127.0.0.1 -n 01>nul",
      "Copy /y " + staged + " " + Quoted(folder + exe),
      "Del " + staged,
      "RD " + Quoted(folder + kStagingFolderName) + " /S /Q",
      "del %0",
      "Exit",
  };
  std::string script;
  for (const std::string& line : lines) script += line + kLineEnd;
  return script;
}

}  // namespace engine
