// The Windows adapter's answers where the placing pass decides by them: a
// file held by another opener is a hold to wait for, a read-only or missing
// file is not; access rules pass from one file to another.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "files/file_system_win.h"
#include "files/real_folders.h"

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

// A link to a folder, made as Windows makes one without privileges (a
// junction) or, under Wine, which shows a host symbolic link as a reparse
// point but has no call that makes one, by the host's ln. Neither gives a
// process to wait on under Wine: the link is waited for.
class FolderLinkTest : public WindowsFileSystemTest {
 protected:
  void SetUp() override {
    WindowsFileSystemTest::SetUp();
    target_ = folder_ / "elsewhere";
    staging_ = folder_ / "update";
    link_ = staging_ / "update";
    std::filesystem::create_directories(target_ / "sub");
    for (const auto& [name, bytes] : kTargetFiles) std::ofstream(target_ / name, std::ios::binary) << bytes;
  }
  void TearDown() override {
    // Left in place, the folder's removal could walk through it.
    if (IsLink(link_)) {
      const std::string staging = HostPathOf(staging_);  // the link's own may not resolve
      if (staging.empty()) {
        RemoveDirectoryW(link_.c_str());
      } else {
        Run(HostProgram("/bin/rm"), "-f \"" + staging + "/update\"");
      }
      for (int waited = 0; waited < kLinkWaitMs && IsLink(link_); waited += kPollMs) Sleep(kPollMs);
    }
    if (!IsLink(link_)) WindowsFileSystemTest::TearDown();
  }

  // The staging folder, with the link in it to the target.
  bool MakeLink() {
    std::filesystem::create_directories(staging_);
    if (IsLink(link_)) return true;
    const std::string target = HostPathOf(target_);
    const bool started = target.empty()
                             ? Run(L"cmd.exe", "/c mklink /J \"" + Gbk(link_) + "\" \"" + Gbk(target_) + "\"")
                             : Run(HostProgram("/bin/ln"),
                                   "-s \"" + target + "\" \"" + HostPathOf(staging_) + "/update\"");
    for (int waited = 0; started && waited < kLinkWaitMs && !IsLink(link_); waited += kPollMs) Sleep(kPollMs);
    return IsLink(link_);
  }

  // The target holds exactly its own files, unchanged, and no folder more.
  void ExpectTargetKept() const {
    ASSERT_TRUE(std::filesystem::is_directory(target_)) << "the target itself is gone";
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(target_)) {
      const std::string name = entry.path().lexically_relative(target_).generic_string();
      if (entry.is_directory()) {
        found[name] = "<folder>";
      } else {
        std::ifstream in(entry.path(), std::ios::binary);
        found[name] = std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    std::map<std::string, std::string> expected(kTargetFiles.begin(), kTargetFiles.end());
    expected["sub"] = "<folder>";
    EXPECT_EQ(found, expected);
  }

  static bool IsLink(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  static std::string Gbk(const std::filesystem::path& path) { return base::GbkFromWide(path.wstring()); }
  // "" where this is no Wine.
  static std::string HostPathOf(const std::filesystem::path& path) {
    using ToHost = char*(CDECL*)(const wchar_t*);
    const auto toHost = reinterpret_cast<ToHost>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* host = toHost ? toHost(path.c_str()) : nullptr;
    if (!host) return "";
    std::string text = host;
    HeapFree(GetProcessHeap(), 0, host);
    return text;
  }
  static std::wstring HostProgram(const char* unixPath) {
    std::wstring path = L"Z:" + base::WideFromGbk(unixPath);
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
  }
  static bool Run(const std::wstring& program, const std::string& arguments) {
    std::wstring command = L"\"" + program + L"\" " + base::WideFromGbk(arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
      return false;
    }
    const base::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    return true;
  }

  static constexpr int kLinkWaitMs = 10000;
  static constexpr int kPollMs = 50;
  inline static const std::map<std::string, std::string> kTargetFiles = {{"keep.dll", "keep"},
                                                                         {"sub/deep.dat", "deep"}};
  std::filesystem::path target_, staging_, link_;
};

// Whatever the system lets the updater do to the link (Windows removes it,
// Wine cannot), what it points to is never touched, and nothing is made in
// it.
TEST_F(FolderLinkTest, IsSeenAndNeverFollowed) {
  const std::string staging = Gbk(staging_) + "\\";
  const std::string link = Gbk(link_);
  const std::vector<std::pair<const char*, std::function<void()>>> actions = {
      {"RemoveTree of a folder that holds it", [&] { fs_.RemoveTree(staging); }},
      {"RemoveTree of the link", [&] { fs_.RemoveTree(link + "\\"); }},
      {"RemoveFolder of the link", [&] { fs_.RemoveFolder(link); }},
      {"MakeRealFolders through it",
       [&] {
         const bool made = files::MakeRealFolders(fs_, staging, link + "\\p\\");
         EXPECT_EQ(made, !fs_.IsLink(link));
         EXPECT_EQ(made, fs_.Exists(link + "\\p"));
       }},
  };
  for (const auto& [what, act] : actions) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(MakeLink()) << link;
    EXPECT_TRUE(fs_.IsLink(link));
    EXPECT_TRUE(fs_.IsLink(link + "\\"));
    EXPECT_FALSE(fs_.IsLink(staging));
    act();
    ExpectTargetKept();
  }
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
