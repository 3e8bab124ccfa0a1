#include "install/replacement_script.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, text.size()) << "the last line must end in CR LF";
  return lines;
}

// The position of the one line that starts with `start`; -1 when there is
// none, a failure when there are several.
int LineStartingWith(const std::vector<std::string>& lines, const std::string& start) {
  int found = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(start, 0) != 0) continue;
    EXPECT_EQ(found, -1) << "more than one line starts with " << start;
    found = static_cast<int>(i);
  }
  return found;
}

int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  int count = 0;
  for (const std::string& line : lines) count += line.find(part) != std::string::npos ? 1 : 0;
  return count;
}

TEST(ReplacementScript, PlainPathExactBytes) {
  EXPECT_EQ(engine::ReplacementScriptArguments(4242, "Update.exe"), "4242 \"Update.exe\"");
  EXPECT_EQ(engine::ReplacementScriptText(),
            "@echo off\r\n"
            "setlocal EnableExtensions DisableDelayedExpansion\r\n"
            "if not exist \"VaVeri_Update.bat\" exit\r\n"
            "set \"target=%~2\"\r\n"
            "set \"staged=update\\%~2\"\r\n"
            "set \"fresh=VaVeri_Update.tmp\"\r\n"
            "set /a waited=0\r\n"
            ":wait\r\n"
            "tasklist /nh /fi \"PID eq %~1\" /fi \"IMAGENAME eq %~2\" 2>nul | find \"%~1\" >nul\r\n"
            "if errorlevel 1 goto copy\r\n"
            "if %waited% geq 15 goto stop\r\n"
            "set /a waited+=1\r\n"
            "ping 127.0.0.1 -n 2 >nul\r\n"
            "goto wait\r\n"
            ":stop\r\n"
            "taskkill /f /pid %~1 >nul 2>nul\r\n"
            "ping 127.0.0.1 -n 2 >nul\r\n"
            ":copy\r\n"
            "copy /y \"%staged%\" \"%fresh%\" >nul 2>nul\r\n"
            "if errorlevel 1 goto keep\r\n"
            "if not exist \"%fresh%\" goto keep\r\n"
            "set /a tries=0\r\n"
            ":place\r\n"
            "move /y \"%fresh%\" \"%target%\" >nul 2>nul\r\n"
            "if not exist \"%fresh%\" if exist \"%target%\" goto placed\r\n"
            "if %tries% geq 15 goto keep\r\n"
            "set /a tries+=1\r\n"
            "ping 127.0.0.1 -n 2 >nul\r\n"
            "goto place\r\n"
            ":placed\r\n"
            "del \"%staged%\"\r\n"
            "rd /s /q \"update\\\"\r\n"
            ":keep\r\n"
            "if exist \"%fresh%\" del \"%fresh%\"\r\n"
            "del \"VaVeri_Update.bat\" & exit\r\n");
}

// cmd reads the file in the console's code page (437, 850, 950, 65001...):
// only ASCII reads the same in all of them.
TEST(ReplacementScript, TextIsAsciiOnEveryCodePage) {
  const std::string text = engine::ReplacementScriptText();
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool lineEnd = (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ||
                         (byte == '\n' && i > 0 && text[i - 1] == '\r');
    EXPECT_TRUE(lineEnd || (byte >= 0x20 && byte < 0x7F)) << "byte " << int{byte} << " at " << i;
  }
}

// Every name is relative to the program folder it is started in: the
// folder's name, passed through cmd's expansion (%0 and its forms such as
// %~dp0 or %~f0), is read a second time by Wine's cmd, which loses a "%" in it.
TEST(ReplacementScript, NamesNoFolder) {
  const std::string text = engine::ReplacementScriptText();
  for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) {
    size_t end = at + 1;
    if (end < text.size() && text[end] == '~') {
      ++end;
      while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
    }
    EXPECT_FALSE(end < text.size() && text[end] == '0') << "the script's own path at " << at;
  }
}

TEST(ReplacementScript, QuotesSpecialCharactersAndKeepsPercent) {
  // Arguments are not batch text: "%" is handed on as it is, not doubled.
  EXPECT_EQ(engine::ReplacementScriptArguments(7, "Up date (x86) & more.exe"), "7 \"Up date (x86) & more.exe\"");
  EXPECT_EQ(engine::ReplacementScriptArguments(4294967295u, "100%.exe"), "4294967295 \"100%.exe\"");
  // GBK: 誠 is D5 5C, whose trail byte is a backslash; 升级 is C9 FD BC B6.
  EXPECT_EQ(engine::ReplacementScriptArguments(12, "\xC9\xFD\xBC\xB6\xD5\x5C.exe"),
            "12 \"\xC9\xFD\xBC\xB6\xD5\x5C.exe\"");
}

// The new executable reaches its place under a temporary name and a rename;
// the staged copy goes only after the rename, and a failure on the way ends
// at "keep", which leaves it.
TEST(ReplacementScript, CopiesThenRenamesThenDeletesTheStagedCopy) {
  const std::vector<std::string> lines = Lines(engine::ReplacementScriptText());
  const int copy = LineStartingWith(lines, "copy /y \"%staged%\" \"%fresh%\"");
  const int move = LineStartingWith(lines, "move /y \"%fresh%\" \"%target%\"");
  const int placed = LineStartingWith(lines, ":placed");
  const int removeStaged = LineStartingWith(lines, "del \"%staged%\"");
  const int keep = LineStartingWith(lines, ":keep");
  ASSERT_GE(copy, 0);
  ASSERT_GE(keep, 0);
  EXPECT_EQ(lines[copy + 1], "if errorlevel 1 goto keep");
  EXPECT_EQ(lines[copy + 2], "if not exist \"%fresh%\" goto keep");
  EXPECT_LT(copy, move);
  EXPECT_LT(move, placed);
  EXPECT_LT(placed, removeStaged);
  EXPECT_LT(removeStaged, keep);
  // Nothing falls through into the deletion: the line before it jumps away,
  // and the one jump to it is taken once the temporary file has become the
  // executable.
  EXPECT_EQ(lines[placed - 1].rfind("goto ", 0), 0u) << lines[placed - 1];
  EXPECT_EQ(CountContaining(lines, "goto placed"), 1);
  EXPECT_GE(LineStartingWith(lines, "if not exist \"%fresh%\" if exist \"%target%\" goto placed"), 0);
  // The executable is never written in place, nor the staged copy moved.
  EXPECT_EQ(CountContaining(lines, "\"%target%\""), 2);
  EXPECT_EQ(CountContaining(lines, "\"%staged%\""), 2);
  // No outcome is read through "||", which not every interpreter honours.
  EXPECT_EQ(CountContaining(lines, "||"), 0);
  // After the keep label only the temporary file and the script are removed.
  for (size_t i = keep + 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("%staged%"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("rd "), std::string::npos) << lines[i];
  }
}

// Only this updater's process is ever ended, and only after a bounded wait
// for it to end by itself: never every process of its file name.
TEST(ReplacementScript, EndsOnlyItsOwnProcessByIdAfterWaiting) {
  const std::vector<std::string> lines = Lines(engine::ReplacementScriptText());
  EXPECT_EQ(CountContaining(lines, "/im"), 0);
  EXPECT_EQ(CountContaining(lines, "taskkill"), 1);
  const int kill = LineStartingWith(lines, "taskkill /f /pid %~1 ");
  const int wait = LineStartingWith(lines, ":wait");
  const int probe = LineStartingWith(lines, "tasklist /nh /fi \"PID eq %~1\" /fi \"IMAGENAME eq %~2\"");
  const int bound = LineStartingWith(lines, "if %waited% geq ");
  const int stop = LineStartingWith(lines, ":stop");
  ASSERT_GE(wait, 0);
  EXPECT_LT(wait, probe);
  EXPECT_LT(probe, bound);
  EXPECT_LT(bound, stop);
  EXPECT_EQ(stop + 1, kill);
  EXPECT_NE(lines[bound].find("goto stop"), std::string::npos);
  // Gone, it is not looked for again.
  EXPECT_EQ(lines[probe + 1], "if errorlevel 1 goto copy");
}

}  // namespace
