// Start-up as the main program sees it: the command line, the trace lines of
// the first moments, the parent-folder check and the window's first state.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/byte_text.h"
#include "e2e/harness.h"

namespace e2e {
namespace {

std::string Line(std::string_view text) { return kTracePrefix + std::string(text); }

// The trace lines of a start-up that gets as far as its configuration worker.
const char* const kSetUpTraces[] = {"主窗口初始化完毕", "子控件创建完毕", "面板创建完毕",
                                    "事件关联完毕", "消息注册完毕",
                                    "线程_获取配置 启动"};

class StartupTest : public UpdaterTest {
 protected:
  // Starts with `arguments` and waits until the set-up has finished.
  void StartAndWaitForSetUp(const std::string& arguments,
                            const ProgramFolder* folder = nullptr) {
    ASSERT_TRUE(StartUpdater(arguments, folder));
    ASSERT_TRUE(updater_.WaitForTrace(Line("消息注册完毕")))
        << "set-up did not finish";
  }
  // Puts a copy of the updater beside the test executable, its parent.
  bool CreateBesideParent() {
    return beside_.Create(EnvironmentText("UPDATER_EXE"),
                          ProgramFolder::Where::kBesideTests);
  }
  bool HasTraceStartingWith(std::string_view start) const {
    const std::vector<std::string> traces = updater_.Traces();
    return std::any_of(traces.begin(), traces.end(), [&](const std::string& t) {
      return t.compare(0, start.size(), start) == 0;
    });
  }

  // Removed after TearDown has ended the updater that runs from it.
  ProgramFolder beside_;
  struct LeftBehind {
    std::string file;
    std::string folder;
    ~LeftBehind() {
      if (!file.empty()) DeleteFileA(file.c_str());
      if (!folder.empty()) RemoveDirectoryA(folder.c_str());
    }
  } left_behind_;
};

// --- Wrong number of arguments -------------------------------------------

struct WrongArguments {
  const char* name;
  const char* arguments;
};

class WrongArgumentCountTest : public StartupTest,
                               public ::testing::WithParamInterface<WrongArguments> {};

TEST_P(WrongArgumentCountTest, ShowsNoticeAndExitsWithZero) {
  ASSERT_TRUE(StartUpdater(GetParam().arguments));
  EXPECT_TRUE(updater_.WaitForTrace(Line("命令参数错误")));
  const HWND box = updater_.WaitForMessageBox();
  ASSERT_NE(box, nullptr) << "no notice box";
  const MessageBoxText notice = ReadMessageBox(box);
  EXPECT_EQ(notice.title, "提示");
  EXPECT_EQ(notice.text, "请从主程序启动本更新程序。");
  Screenshot(box, "notice");
  EXPECT_EQ(updater_.MainWindow(), nullptr) << "a window was created";
  EXPECT_TRUE(updater_.running()) << "the box must wait for the user";

  ASSERT_TRUE(PressDefaultButton(box));
  const std::optional<DWORD> code = updater_.WaitForExit();
  ASSERT_TRUE(code.has_value()) << "still running after the box was dismissed";
  EXPECT_EQ(*code, 0u);
  EXPECT_FALSE(updater_.HasTrace(Line("命令参数正确")));
  EXPECT_FALSE(HasTraceStartingWith(Line("父进程为")));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, WrongArgumentCountTest,
    ::testing::Values(WrongArguments{"None", ""},
                      WrongArguments{"One", "http://127.0.0.1:1/cfg/update.xml"},
                      WrongArguments{"Three", "http://127.0.0.1:1/cfg/update.xml 1.0 2.0"},
                      WrongArguments{"Five", "http://127.0.0.1:1/a 1.0 2.0 TestMod x"},
                      // Quotes group words: two quoted words and a third.
                      WrongArguments{"ThreeQuoted", "\"a b\" \"c d\" e"},
                      // A quote right after a word starts another argument.
                      WrongArguments{"WordThenQuote", "http://127.0.0.1:1/a\"1.0\" 2.0"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Accepted command lines -----------------------------------------------

TEST_F(StartupTest, QuotedFirstArgumentKeepsItsSpaces) {
  const std::string address = server_.Url("/cfg/spaced name.xml");
  StartAndWaitForSetUp("\"" + address + "\" 1.0");
  EXPECT_TRUE(updater_.HasTrace(Line("命令参数正确")));
  EXPECT_FALSE(updater_.HasTrace(Line("命令参数错误")));
  // The configuration worker asks for the address with its space intact.
  EXPECT_TRUE(WaitUntil([&] { return server_.Hits("/cfg/spaced name.xml") > 0; }))
      << "the address did not reach the server whole";
}

TEST_F(StartupTest, TestModeTracesTargetVersion) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml") + " 3.5 TestMod");
  EXPECT_TRUE(updater_.HasTrace(Line("启动调试模式，目标网络版本：3.5")));
}

TEST_F(StartupTest, TestModeTargetVersionMayHoldSpaces) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml") + " \"3.5 beta\" TestMod");
  EXPECT_TRUE(updater_.HasTrace(Line("启动调试模式，目标网络版本：3.5 beta")));
}

TEST_F(StartupTest, TestModeWithEmptyTargetVersion) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml") + " \"\" TestMod");
  EXPECT_TRUE(updater_.HasTrace(Line("启动调试模式，目标网络版本：")));
}

class NearMissTestModeTest : public StartupTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(NearMissTestModeTest, IsAnOrdinaryRun) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml") + " 3.5 " + GetParam());
  EXPECT_TRUE(updater_.HasTrace(Line("命令参数正确")));
  EXPECT_FALSE(HasTraceStartingWith(Line("启动调试模式")));
}

INSTANTIATE_TEST_SUITE_P(Words, NearMissTestModeTest,
                         ::testing::Values("testmod", "TESTMOD", "TestMode", "TestMo",
                                           "\"TestMod \""));

TEST_F(StartupTest, TracesStartUpInOrder) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml") + " 3.5 TestMod");
  ASSERT_TRUE(updater_.WaitForTrace(Line("线程_获取配置 启动")));
  std::vector<std::string> expected = {Line("命令参数正确"),
                                       Line("启动调试模式，目标网络版本：3.5"),
                                       Line("父进程为")};
  for (const char* text : kSetUpTraces) expected.push_back(Line(text));

  // Exactly these lines up to the worker's first, nothing between or twice;
  // the parent's line is compared by its start (its path is checked below).
  std::vector<std::string> traces = updater_.Traces();
  const auto last = std::find(traces.begin(), traces.end(), Line("线程_获取配置 启动"));
  ASSERT_NE(last, traces.end());
  traces.erase(last + 1, traces.end());
  for (std::string& line : traces) {
    if (line.compare(0, Line("父进程为").size(), Line("父进程为")) == 0) line = Line("父进程为");
  }
  EXPECT_EQ(traces, expected);
}

TEST_F(StartupTest, TracesItsParentsPath) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml"));
  char own[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, own, MAX_PATH);
  std::string parent;
  ASSERT_TRUE(updater_.WaitForTraceStartingWith(Line("父进程为"), &parent, 0));
  // Wine may spell the drive letter or folders in another case.
  const auto lower = [](const std::string& text) {
    return base::AsciiLower(text, base::kCommandLineFirstLeadByte);
  };
  EXPECT_EQ(lower(parent), lower(Line("父进程为") + own));
}

// --- Parent folder --------------------------------------------------------

TEST_F(StartupTest, NoSameFolderTraceFromAnotherFolder) {
  StartAndWaitForSetUp(Arguments("/cfg/update.xml"));
  EXPECT_FALSE(updater_.HasTrace(Line("父进程与自身在同一目录")));
}

TEST_F(StartupTest, SameFolderTraceBesideItsParent) {
  ASSERT_TRUE(CreateBesideParent());
  StartAndWaitForSetUp(Arguments("/cfg/update.xml"), &beside_);
  // Written before the window's own set-up traces.
  const std::vector<std::string> traces = updater_.Traces();
  const auto same = std::find(traces.begin(), traces.end(), Line("父进程与自身在同一目录"));
  const auto done = std::find(traces.begin(), traces.end(), Line("主窗口初始化完毕"));
  ASSERT_NE(same, traces.end());
  EXPECT_LT(same, done);
}

TEST_F(StartupTest, SameFolderComparedIgnoringAsciiCase) {
  ASSERT_TRUE(CreateBesideParent());
  // The same file reached through an upper-case spelling of its folder.
  const std::string upper =
      base::AsciiUpper(beside_.path(), base::kCommandLineFirstLeadByte);
  ASSERT_TRUE(updater_.Start(upper + "Update.exe", Arguments("/cfg/update.xml")));
  ASSERT_TRUE(updater_.WaitForTrace(Line("消息注册完毕")));
  EXPECT_TRUE(updater_.HasTrace(Line("父进程与自身在同一目录")));
}

TEST_F(StartupTest, SameFolderTraceWhenItsOwnNameHoldsABackslashByte) {
  // 誠 is D5 5C in GBK: the last 0x5C byte of this path is no separator.
  const std::string exe = OwnFolder() + "升级誠.exe";
  ASSERT_TRUE(CopyFileA(WindowsPathOf(EnvironmentText("UPDATER_EXE")).c_str(), exe.c_str(), FALSE));
  left_behind_.file = exe;
  ASSERT_TRUE(updater_.Start(exe, Arguments("/cfg/update.xml")));
  ASSERT_TRUE(updater_.WaitForTrace(Line("消息注册完毕")));
  EXPECT_TRUE(updater_.HasTrace(Line("父进程与自身在同一目录"))) << DescribeState();
}

// --- The window before the configuration arrives ---------------------------

TEST_F(StartupTest, FirstPageWhileConfigurationIsFetched) {
  // Holding the answer back keeps the wizard on its first page.
  ASSERT_TRUE(server_.Control("set?path=/cfg/update.xml&stall_ms=30000"));
  ASSERT_TRUE(StartUpdater(Arguments("/cfg/update.xml")));
  main_window_ = updater_.WaitForMainWindow();
  ASSERT_NE(main_window_, nullptr);
  ASSERT_TRUE(WaitForPage("读取配置"));

  EXPECT_EQ(WindowText(main_window_), "在线升级");
  const SIZE client = ClientSize(main_window_);
  EXPECT_EQ(client.cx, 454);
  EXPECT_EQ(client.cy, 303);
  const LONG style = GetWindowLongW(main_window_, GWL_STYLE);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);

  const std::vector<Control> controls = Controls();
  const Control* label = FindOnPage(controls, "读取配置", "Static");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text, "正在从服务器读取升级配置信息...");
  // The installed version is known from the command line on.
  EXPECT_NE(FindByText(controls, "Static", "本地版本号：1.0"), nullptr) << DescribeState();
  const Control* close = FindByText(controls, "Button", "关闭(&Q)");
  ASSERT_NE(close, nullptr);
  EXPECT_TRUE(close->visible);
  EXPECT_TRUE(close->enabled);
  const Control* next = FindByText(controls, "Button", "下一步(&N)");
  const Control* prev = FindByText(controls, "Button", "上一步(&L)");
  ASSERT_NE(next, nullptr);
  ASSERT_NE(prev, nullptr);
  EXPECT_FALSE(next->visible);
  EXPECT_FALSE(prev->visible);
  EXPECT_EQ(std::count_if(controls.begin(), controls.end(),
                          [](const Control& c) { return c.class_name == "ScPanel"; }),
            5);
  Screenshot(main_window_, "page1");
}

// --- A folder whose name GBK cannot hold -----------------------------------

struct ForeignFolder {
  const char* name;
  const wchar_t* folder;
};

class ForeignFolderTest : public StartupTest, public ::testing::WithParamInterface<ForeignFolder> {
 protected:
  void TearDown() override {
    StartupTest::TearDown();
    // The ended process may hold its file for a moment.
    if (!exe_.empty()) WaitUntil([&] { return DeleteFileW(exe_.c_str()) != 0; }, 5000);
    if (!folder_path_.empty()) RemoveDirectoryW(folder_path_.c_str());
  }
  std::wstring folder_path_;
  std::wstring exe_;
};

TEST_P(ForeignFolderTest, SaysSoOnTheFirstPageAndFetchesNothing) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = temp + std::wstring(GetParam().folder) + L"-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  folder_path_ = folder;
  const std::wstring exe = folder + L"\\Update.exe";
  const std::string updater = WindowsPathOf(EnvironmentText("UPDATER_EXE"));
  ASSERT_TRUE(CopyFileW(std::wstring(updater.begin(), updater.end()).c_str(), exe.c_str(), FALSE));
  exe_ = exe;

  ASSERT_TRUE(updater_.Start(exe, std::wstring(L"http://127.0.0.1:") + std::to_wstring(server_.port()) +
                                      L"/cfg/update.xml 1.0"));
  ASSERT_TRUE(WaitForPage("读取配置"));
  EXPECT_TRUE(WaitForText("程序所在目录的名称含有不支持的字符，已停止升级。")) << DescribeState();
  Screenshot(main_window_, "page1");
  // A moment for a worker that should not exist to ask the server.
  Sleep(1000);
  EXPECT_EQ(server_.Hits("/cfg/update.xml"), 0);
  EXPECT_FALSE(updater_.HasTrace(Line("线程_获取配置 启动"))) << DescribeState();
  EXPECT_EQ(VisiblePage(Controls()), "读取配置");
  EXPECT_TRUE(updater_.running());
}

INSTANTIATE_TEST_SUITE_P(Names, ForeignFolderTest,
                         ::testing::Values(ForeignFolder{"Cedilla", L"Fran\u00e7oise"},
                                           ForeignFolder{"Hangul", L"\uc0ac\uc6a9\uc790"}),
                         [](const ::testing::TestParamInfo<ForeignFolder>& info) { return info.param.name; });

TEST_F(StartupTest, CloseButtonEndsTheProcessWithZero) {
  ASSERT_TRUE(server_.Control("set?path=/cfg/update.xml&stall_ms=30000"));
  ASSERT_TRUE(StartUpdater(Arguments("/cfg/update.xml")));
  ASSERT_TRUE(WaitForPage("读取配置"));
  const std::vector<Control> controls = Controls();
  const Control* close = FindByText(controls, "Button", "关闭(&Q)");
  ASSERT_NE(close, nullptr);
  ASSERT_TRUE(Click(close->hwnd));
  const std::optional<DWORD> code = updater_.WaitForExit();
  ASSERT_TRUE(code.has_value()) << "still running after Close";
  EXPECT_EQ(*code, 0u);
}

}  // namespace
}  // namespace e2e
