// The Windows adapter's answers where the placing pass decides by them: a
// file held by another opener is a hold to wait for, a read-only or missing
// file is not; access rules pass from one file to another.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "files/file_system_win.h"

namespace {

using files::FileOutcome;

// Explicit rules an installer might set: protected from inheritance, full
// access for the administrators, modify for the users.
constexpr wchar_t kInstallerRules[] = L"D:P(A;;FA;;;BA)(A;;0x1301bf;;;BU)";

class WindowsFileSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    folder_ = std::filesystem::path(temp) / ("fs-win-test-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string Make(const char* name) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << name;
    return base::GbkFromWide(path.wstring());
  }
  static std::wstring RulesOf(const std::string& path) {
    DWORD needed = 0;
    const std::wstring wide = base::WideFromGbk(path);
    GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<unsigned char> descriptor(needed);
    if (needed == 0 ||
        !GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
      return L"";
    }
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr)) {
      return L"";
    }
    const std::wstring rules = text;
    LocalFree(text);
    return rules;
  }

  std::filesystem::path folder_;
  files::WindowsFileSystem fs_;
};

TEST_F(WindowsFileSystemTest, FileOpenWithoutSharingIsHeldAndOthersFail) {
  const std::string held = Make("held.dll");
  const std::string other = Make("other.dll");
  const std::string readOnly = Make("read-only.dll");
  const std::string missing = base::GbkFromWide((folder_ / "missing.dll").wstring());
  ASSERT_TRUE(SetFileAttributesW(base::WideFromGbk(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
  {
    const base::UniqueFileHandle holder(CreateFileW(base::WideFromGbk(held).c_str(), GENERIC_READ, 0, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(fs_.TestWritable(held), FileOutcome::kHeld);
    EXPECT_EQ(fs_.Flush(held), FileOutcome::kHeld);
    EXPECT_EQ(fs_.Replace(held, other), FileOutcome::kHeld);
    EXPECT_EQ(fs_.Replace(other, held), FileOutcome::kHeld);
  }
  EXPECT_EQ(fs_.TestWritable(held), FileOutcome::kDone);
  EXPECT_EQ(fs_.Flush(held), FileOutcome::kDone);
  EXPECT_EQ(fs_.TestWritable(readOnly), FileOutcome::kFailed);
  EXPECT_EQ(fs_.TestWritable(missing), FileOutcome::kFailed);
  EXPECT_EQ(fs_.Flush(missing), FileOutcome::kFailed);
  EXPECT_EQ(fs_.Replace(missing, other), FileOutcome::kFailed);
  EXPECT_EQ(fs_.Replace(held, other), FileOutcome::kDone);
}

TEST_F(WindowsFileSystemTest, ReplacingFileTakesTheInstalledFilesRules) {
  const std::string installed = Make("data.dat");
  const std::string staged = Make("data.new");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallerRules, SDDL_REVISION_1, &descriptor,
                                                                   nullptr));
  const bool set = SetFileSecurityW(base::WideFromGbk(installed).c_str(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  ASSERT_TRUE(set) << GetLastError();
  const std::wstring rules = RulesOf(installed);
  ASSERT_FALSE(rules.empty());
  ASSERT_NE(RulesOf(staged), rules);

  ASSERT_TRUE(fs_.CopySecurity(installed, staged));
  EXPECT_EQ(RulesOf(staged), rules);
  ASSERT_EQ(fs_.Replace(staged, installed), FileOutcome::kDone);
  EXPECT_EQ(RulesOf(installed), rules);
  EXPECT_FALSE(fs_.CopySecurity(installed + ".missing", staged));
}

// The names below a folder are what the pass returns kept files by: every
// depth, named relative to the folder, a Chinese name as GBK.
TEST_F(WindowsFileSystemTest, ListsFilesAtEveryDepthRelativeToTheFolder) {
  std::filesystem::create_directories(folder_ / L"插件 目录" / "deep");
  std::ofstream(folder_ / L"插件 目录" / "deep" / L"说明.txt") << "x";
  Make("top.dll");
  std::vector<std::string> names = fs_.ListFiles(base::GbkFromWide(folder_.wstring()) + "\\");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"top.dll", base::GbkFromWide(L"插件 目录\\deep\\说明.txt")}));
  EXPECT_TRUE(fs_.ListFiles(base::GbkFromWide((folder_ / "missing").wstring()) + "\\").empty());
}

}  // namespace
