#include "engine/replacement_script.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The nine lines for a folder and a name as cmd must read them.
std::string Script(const std::string& folder, const std::string& exe) {
  return "@echo off\r\nping 127.0.0.1 -n 03>nul\r\nTaskkill /f /im \"" + exe +
         "\"\r\nping 127.0.0.1 -n 01>nul\r\nCopy /y \"" + folder + "update\\" + exe + "\" \"" + folder +
         exe + "\"\r\nDel \"" + folder + "update\\" + exe + "\"\r\nRD \"" + folder +
         "update\\\" /S /Q\r\ndel %0\r\nExit\r\n";
}

TEST(ReplacementScript, PlainPathExactBytes) {
  EXPECT_EQ(engine::ReplacementScriptText("C:\\Tool\\", "Update.exe"),
            "@echo off\r\n"
            "ping 127.0.0.1 -n 03>nul\r\n"
            "Taskkill /f /im \"Update.exe\"\r\n"
            "ping 127.0.0.1 -n 01>nul\r\n"
            "Copy /y \"C:\\Tool\\update\\Update.exe\" \"C:\\Tool\\Update.exe\"\r\n"
            "Del \"C:\\Tool\\update\\Update.exe\"\r\n"
            "RD \"C:\\Tool\\update\\\" /S /Q\r\n"
            "del %0\r\n"
            "Exit\r\n");
}

TEST(ReplacementScript, QuotesSpecialCharactersAndDoublesPercent) {
  const std::string special = "C:\\Program Files (x86)\\A&B\\";
  EXPECT_EQ(engine::ReplacementScriptText(special, "Up date.exe"), Script(special, "Up date.exe"));
  EXPECT_EQ(engine::ReplacementScriptText("C:\\100%\\", "%PATH%.exe"),
            Script("C:\\100%%\\", "%%PATH%%.exe"));
  // GBK: 软件 is C8 ED BC FE; 誠 is D5 5C, whose trail byte is a backslash.
  const std::string chinese = "D:\\\xC8\xED\xBC\xFE\xD5\x5C\\";
  EXPECT_EQ(engine::ReplacementScriptText(chinese, "\xD5\x5C.exe"), Script(chinese, "\xD5\x5C.exe"));
}

}  // namespace
