// The replacement script run by the real command interpreter, in folders
// with a Chinese name and spaces or with "%" and "&", against processes that
// stand in for the updater.
#include "install/replacement_script_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <list>
#include <optional>
#include <string>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace {

// GBK, as the updater holds them: 升级 测试 and 更新 程序.exe.
constexpr char kFolderName[] = "\xC9\xFD\xBC\xB6 \xB2\xE2\xCA\xD4";
constexpr char kExeName[] = "\xB8\xFC\xD0\xC2 \xB3\xCC\xD0\xF2.exe";
// cmd reads "%" and "&" in its text. No "%" in the executable's name: Wine's
// cmd reads one inside a substituted argument as the start of a variable.
constexpr char kSpecialFolderName[] = "app 100% & co";
constexpr char kSpecialExeName[] = "Up & date (x86).exe";
constexpr char kScriptName[] = "VaVeri_Update.bat";
constexpr char kTemporaryName[] = "VaVeri_Update.tmp";
constexpr DWORD kStillRunning = STILL_ACTIVE;
// The script's own rounds of about a second, and room for a loaded machine.
constexpr int kScriptTimeoutMs = 60000;

std::wstring Wide(const std::string& gbk) { return base::WideFromGbk(gbk); }

bool Exists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> Read(const std::string& path) {
  base::UniqueFileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

bool Write(const std::string& path, const std::string& bytes) {
  base::UniqueFileHandle file(
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// Compares without printing an executable's bytes.
::testing::AssertionResult Holds(const std::string& path, const std::string& expected) {
  const std::optional<std::string> bytes = Read(path);
  if (!bytes) return ::testing::AssertionFailure() << "missing";
  if (*bytes == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bytes->size() << " other bytes, not the " << expected.size() << " expected";
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Sleep(100);
  }
  return true;
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(folder + L"\\" + name);
      } else {
        DeleteFileW((folder + L"\\" + name).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// A running copy of the sleeper under the updater's name.
struct Process {
  base::UniqueKernelHandle handle;
  DWORD id = 0;

  DWORD ExitCode() const {
    DWORD code = kStillRunning;
    GetExitCodeProcess(handle.get(), &code);
    return code;
  }
};

class ReplacementScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    root_ = base::GbkFromWide(temp) + "script-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount()) + "\\";
    folder_ = root_ + folder_name_ + "\\";
    ASSERT_TRUE(CreateDirectoryW(Wide(root_).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Wide(folder_).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Wide(folder_ + "update").c_str(), nullptr));
    std::string sleeper = SLEEPER_EXE;
    if (sleeper.front() == '/') sleeper = "Z:" + sleeper;
    for (char& c : sleeper) c = c == '/' ? '\\' : c;
    const std::optional<std::string> image = Read(sleeper);
    ASSERT_TRUE(image.has_value()) << sleeper;
    old_ = *image;
    new_ = *image + "the new release";
    ASSERT_TRUE(Write(folder_ + exe_name_, old_));
    ASSERT_TRUE(Write(Staged(), new_));
  }
  void TearDown() override {
    for (Process& process : processes_) {
      if (process.ExitCode() == kStillRunning) TerminateProcess(process.handle.get(), 0);
      WaitForSingleObject(process.handle.get(), 5000);
    }
    RemoveTree(Wide(root_.substr(0, root_.size() - 1)));
  }

  std::string Staged() const { return folder_ + "update\\" + exe_name_; }

  // Runs the executable at `path` for `ms` milliseconds, as the last of
  // processes_; any still running at the end are ended.
  void Start(const std::string& path, int ms) {
    processes_.emplace_back();
    Process& process = processes_.back();
    std::wstring command = L"\"" + Wide(path) + L"\" " + std::to_wstring(ms);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &info));
    base::UniqueKernelHandle thread(info.hThread);
    process.handle.reset(info.hProcess);
    process.id = info.dwProcessId;
  }

  // Starts the script as the updater does and waits until it has deleted
  // itself, its last step.
  void RunScript(DWORD processId) {
    ASSERT_TRUE(engine::StartReplacementScript(folder_, processId, exe_name_));
    ASSERT_TRUE(WaitUntil([&] { return !Exists(folder_ + kScriptName); }, kScriptTimeoutMs))
        << "the script did not end";
  }

  // The updater is still running when the script starts: the new executable
  // takes its place once it has ended by itself, and a program elsewhere that
  // bears the same name is left alone.
  void ExpectReplacedOnceItsProcessHasEnded() {
    const std::string elsewhere = root_ + exe_name_;
    ASSERT_TRUE(Write(elsewhere, old_));
    ASSERT_NO_FATAL_FAILURE(Start(elsewhere, kScriptTimeoutMs));
    const Process& bystander = processes_.back();
    ASSERT_NO_FATAL_FAILURE(Start(folder_ + exe_name_, 3000));
    const Process& updater = processes_.back();

    ASSERT_NO_FATAL_FAILURE(RunScript(updater.id));
    EXPECT_TRUE(Holds(folder_ + exe_name_, new_));
    EXPECT_FALSE(Exists(Staged()));
    EXPECT_FALSE(Exists(folder_ + "update"));
    EXPECT_FALSE(Exists(folder_ + kTemporaryName));
    // It ended by itself (a forced end gives 1), and the other one still runs.
    EXPECT_EQ(updater.ExitCode(), 0u);
    EXPECT_EQ(bystander.ExitCode(), kStillRunning);
  }

  std::string folder_name_ = kFolderName;
  std::string exe_name_ = kExeName;
  std::string root_;
  std::string folder_;
  std::string old_;
  std::string new_;
  std::list<Process> processes_;
};

TEST_F(ReplacementScriptTest, ReplacesTheExecutableOnceItsProcessHasEnded) {
  ExpectReplacedOnceItsProcessHasEnded();
}

// A copy that fails leaves the old executable and the only new copy as they
// were, for the next run.
TEST_F(ReplacementScriptTest, KeepsTheStagedCopyWhenTheCopyFails) {
  ASSERT_NO_FATAL_FAILURE(Start(folder_ + exe_name_, 0));
  const Process& updater = processes_.back();
  ASSERT_EQ(WaitForSingleObject(updater.handle.get(), 10000), WAIT_OBJECT_0);
  // Held with no sharing, the staged copy cannot be read.
  base::UniqueFileHandle held(
      CreateFileW(Wide(Staged()).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());

  ASSERT_NO_FATAL_FAILURE(RunScript(updater.id));
  held.reset();
  EXPECT_TRUE(Holds(folder_ + exe_name_, old_));
  EXPECT_TRUE(Holds(Staged(), new_));
  EXPECT_FALSE(Exists(folder_ + kTemporaryName));
}

// The script names its files relative to the folder it is started in, so the
// folder's name never passes through cmd's expansion.
class ReplacementScriptSpecialNameTest : public ReplacementScriptTest {
 protected:
  ReplacementScriptSpecialNameTest() {
    folder_name_ = kSpecialFolderName;
    exe_name_ = kSpecialExeName;
  }
};

TEST_F(ReplacementScriptSpecialNameTest, ReplacesTheExecutableInAFolderNamedWithPercentAndAmpersand) {
  ExpectReplacedOnceItsProcessHasEnded();
}

}  // namespace
