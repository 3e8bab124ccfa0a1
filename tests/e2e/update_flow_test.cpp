// A whole update against the test server: the version check, the download of
// what differs and the finish page, as the user clicks through them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "e2e/harness.h"
#include "e2e/wizard_texts.h"

namespace e2e {
namespace {


std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class UpdateFlowTest : public UpdaterTest {
 protected:
  const Control* ButtonWithText(const std::vector<Control>& controls, std::string_view text) const {
    return FindMainButton(controls, text);
  }
  bool ClickWhenEnabled(std::string_view caption) {
    return ClickMainButtonWhenEnabled(main_window_, caption, kStepTimeoutMs);
  }
};

TEST_F(UpdateFlowTest, DownloadsWhatDiffersAndFinishes) {
  ASSERT_TRUE(StartUpdater(Arguments("/cfg/update.xml")));
  ASSERT_TRUE(WaitForPage(kServerPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled("下一步(&N)"));
  ASSERT_TRUE(WaitForPage(kContentPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(WaitUntil([&] {
    const auto controls = Controls();
    return FindByText(controls, "Static", "发现服务器上有更新版本！") != nullptr;
  }, kStepTimeoutMs)) << DescribeState();
  Screenshot(main_window_, "page3");
  ASSERT_TRUE(ClickWhenEnabled("下一步(&N)"));
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  Screenshot(main_window_, "page5");
  const std::string installed = ReadFileText(folder_.path() + "readme.txt");
  const std::string served = ReadFileText(WindowsPathOf(EnvironmentText("UPDATER_FIXTURES") + "/srv1/2.0/readme.txt"));
  EXPECT_FALSE(served.empty());
  EXPECT_EQ(installed, served);
  ASSERT_TRUE(ClickWhenEnabled("完成(&Q)"));
  EXPECT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
}

// A list the reader cannot load is a failed check: reported as an empty list
// it would end in "update complete" with nothing compared.
TEST_F(UpdateFlowTest, FileListThatDoesNotLoadFailsTheCheck) {
  ASSERT_TRUE(StartUpdater(Arguments("/cfg/broken_list.xml")));
  ASSERT_TRUE(WaitForPage(kServerPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled("下一步(&N)"));
  ASSERT_TRUE(WaitUntil([&] {
    const auto controls = Controls();
    return FindByText(controls, "Static", "网络连接失败！") != nullptr;
  }, kStepTimeoutMs)) << DescribeState();
  const std::vector<Control> controls = Controls();
  const Control* next = ButtonWithText(controls, "下一步(&N)");
  const Control* previous = ButtonWithText(controls, "上一步(&L)");
  ASSERT_NE(next, nullptr);
  ASSERT_NE(previous, nullptr);
  EXPECT_FALSE(next->enabled);
  EXPECT_TRUE(previous->enabled);
}

// The configured main program would lie outside the program folder: Close
// on the finish page does not start it, and says so in the trace.
TEST_F(UpdateFlowTest, MainProgramOutsideTheFolderIsNotStarted) {
  ASSERT_TRUE(StartUpdater(Arguments("/cfg/outside_main.xml", "2.0")));
  ASSERT_TRUE(WaitForPage(kServerPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled("下一步(&N)"));
  ASSERT_TRUE(WaitForPage(kContentPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled("下一步(&N)"));
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled("完成(&Q)"));
  EXPECT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
  EXPECT_TRUE(updater_.HasTrace(std::string(kTracePrefix) + "主程序名称无效:..\\e2e-outside-main.exe"))
      << DescribeState();
}

}  // namespace
}  // namespace e2e
