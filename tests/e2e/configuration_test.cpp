// The configuration document as the user sees its effects: the window title,
// the link, the server choice and the texts of the wizard, or the failure
// notice when the document cannot be fetched or is not a configuration.
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "e2e/wizard_texts.h"

namespace e2e {
namespace {

constexpr char kFailureText[] = "读取服务器升级配置失败……";
// Five attempts against a server that refuses connections end quickly; the
// rest of the time allows for a slow machine.
constexpr int kConfigTimeoutMs = 60000;

std::string IntroText(std::string_view name) {
  return "本程序为[" + std::string(name) +
         "]的在线升级模块。\r\n\r\n如果您想退出此更新程序请单击“关闭”按钮，"
         "\r\n\r\n如果要继续更新请先选择适合您的更新服务器，\r\n\r\n"
         "然后再单击“下一步”按钮开始后续操作！";
}

std::string FinishText(std::string_view name) {
  return "恭喜您，[" + std::string(name) + "]更新已经顺利完成！\r\n\r\n感谢您对我们的支持。";
}

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

class ConfigurationTest : public UpdaterTest {
 protected:
  // Starts an ordinary run on the document at `path` and waits for the
  // server page.
  void OpenServerPage(std::string_view path) {
    ASSERT_TRUE(StartUpdater(Arguments(path)));
    ASSERT_TRUE(WaitForPage(kServerPage, kConfigTimeoutMs))
        << "the server page was not reached" << DescribeState();
  }
  const Control* ServerCombo(const std::vector<Control>& controls) const {
    return FindOnPage(controls, kServerPage, "ComboBox");
  }
  const Control* PageLabelStartingWith(const std::vector<Control>& controls,
                                       std::string_view page,
                                       std::string_view start) const {
    return FindControl(controls, [&](const Control& c) {
      return c.page == page && c.class_name == "Static" && StartsWith(c.text, start);
    });
  }
  // The Next button whatever its caption: the middle one of the three.
  const Control* NextButton(const std::vector<Control>& controls) const {
    return FindControl(controls, [](const Control& c) {
      return c.page.empty() && c.class_name == "Button" &&
             (c.text == "下一步(&N)" || c.text == "重试(&R)");
    });
  }
  std::vector<Item> ServerItems() const {
    const std::vector<Control> controls = Controls();
    const Control* combo = ServerCombo(controls);
    return combo ? combo->items : std::vector<Item>{};
  }
};

TEST_F(ConfigurationTest, FillsTheWizardFromTheDocument) {
  OpenServerPage("/cfg/update.xml");
  EXPECT_EQ(WindowText(main_window_), "[测试软件]在线升级");
  const std::vector<Control> controls = Controls();

  const Control* link = FindControl(
      controls, [](const Control& c) { return c.class_name == "SysLink"; });
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->text, "<a href=\"http://127.0.0.1/\">访问官网</a>");

  const Control* combo = ServerCombo(controls);
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->items.size(), 3u);
  const char* const names[] = {"电信服务器", "网通服务器", "备用服务器"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(combo->items[i].text, names[i]) << "item " << i;
    EXPECT_EQ(combo->items[i].data, static_cast<intptr_t>(i + 1)) << "item " << i;
  }
  EXPECT_EQ(combo->selected, 0);
  EXPECT_TRUE(combo->visible);

  const Control* intro = PageLabelStartingWith(controls, kServerPage, "本程序为");
  ASSERT_NE(intro, nullptr);
  EXPECT_EQ(intro->text, IntroText("测试软件"));
  const Control* finish = PageLabelStartingWith(controls, "更新完成,", "恭喜您");
  ASSERT_NE(finish, nullptr);
  EXPECT_EQ(finish->text, FinishText("测试软件"));
  const Control* run = FindOnPage(controls, "更新完成,", "Button");
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->text, "运行 测试软件");
  EXPECT_EQ(run->checked, BST_CHECKED);

  const Control* next = FindByText(controls, "Button", "下一步(&N)");
  const Control* prev = FindByText(controls, "Button", "上一步(&L)");
  const Control* close = FindByText(controls, "Button", "关闭(&Q)");
  ASSERT_TRUE(next && prev && close);
  EXPECT_TRUE(next->visible && next->enabled);
  EXPECT_TRUE(prev->visible);
  EXPECT_FALSE(prev->enabled);
  EXPECT_TRUE(close->visible && close->enabled);
  EXPECT_TRUE(updater_.HasTrace(std::string(kTracePrefix) + "线程_获取配置 启动"));
  EXPECT_EQ(server_.Hits("/cfg/update.xml"), 1);
  Screenshot(main_window_, "page2");
}

TEST_F(ConfigurationTest, NameHoldingThePlaceholderIsInsertedOnce) {
  OpenServerPage("/cfg/name_with_xxx.xml");
  EXPECT_EQ(WindowText(main_window_), "[XXX工具]在线升级");
  const std::vector<Control> controls = Controls();
  const Control* intro = PageLabelStartingWith(controls, kServerPage, "本程序为");
  ASSERT_NE(intro, nullptr);
  EXPECT_EQ(intro->text, IntroText("XXX工具"));
  const Control* finish = PageLabelStartingWith(controls, "更新完成,", "恭喜您");
  ASSERT_NE(finish, nullptr);
  EXPECT_EQ(finish->text, FinishText("XXX工具"));
}

TEST_F(ConfigurationTest, AnswerOnTheFifthAttemptIsEnough) {
  ASSERT_TRUE(server_.Control("set?path=/cfg/update.xml&fail_first=4&fail_status=500"));
  OpenServerPage("/cfg/update.xml");
  EXPECT_EQ(WindowText(main_window_), "[测试软件]在线升级");
  EXPECT_EQ(server_.Hits("/cfg/update.xml"), 5);
  EXPECT_EQ(ServerItems().size(), 3u);
}

// A document whose body stops half-way for longer than the receive time-out:
// the attempt gives up on it (the headers said 200, and its body is not
// read) and the next one asks again.
TEST_F(ConfigurationTest, BodyThatStallsIsAskedForAgain) {
  ASSERT_TRUE(server_.Control("set?path=/cfg/update.xml&stall_ms=45000&stall_after=100&stall_first=1"));
  OpenServerPage("/cfg/update.xml");
  for (const std::string& crash : updater_.Crashes()) ADD_FAILURE() << "crashed: " << crash;
  EXPECT_EQ(server_.Hits("/cfg/update.xml"), 2);
  EXPECT_EQ(ServerItems().size(), 3u);
}

TEST_F(ConfigurationTest, ListsAtMostTenServers) {
  OpenServerPage("/cfg/twelve_servers.xml");
  const std::vector<Item> items = ServerItems();
  ASSERT_EQ(items.size(), 10u);
  for (size_t i = 0; i < items.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "服务器%02u", static_cast<unsigned>(i + 1));
    EXPECT_EQ(items[i].text, name);
    EXPECT_EQ(items[i].data, static_cast<intptr_t>(i + 1));
  }
}

TEST_F(ConfigurationTest, ServerNameEntityShowsAnAmpersand) {
  OpenServerPage("/cfg/ampersand.xml");
  const std::vector<Item> items = ServerItems();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].text, "电信&网通");
  EXPECT_EQ(items[1].text, "备用服务器");
}

TEST_F(ConfigurationTest, OnlyCompleteServerElementsAreListed) {
  OpenServerPage("/cfg/mixed_group.xml");
  const std::vector<Item> items = ServerItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].text, "完整服务器");
  EXPECT_EQ(items[0].data, 1);
}

TEST_F(ConfigurationTest, NextWithoutServerAsksForOne) {
  OpenServerPage("/cfg/no_servers.xml");
  std::vector<Control> controls = Controls();
  const Control* combo = ServerCombo(controls);
  ASSERT_NE(combo, nullptr);
  EXPECT_TRUE(combo->items.empty());
  EXPECT_EQ(combo->selected, -1);
  const Control* next = FindByText(controls, "Button", "下一步(&N)");
  ASSERT_NE(next, nullptr);
  ASSERT_TRUE(Click(next->hwnd));

  const HWND box = updater_.WaitForMessageBox();
  ASSERT_NE(box, nullptr) << "no message box";
  const MessageBoxText notice = ReadMessageBox(box);
  EXPECT_EQ(notice.title, "提示");
  EXPECT_EQ(notice.text, "请先选择升级服务器。");
  Screenshot(box, "no-server");
  ASSERT_TRUE(PressDefaultButton(box));
  ASSERT_TRUE(WaitUntil([&] { return updater_.MessageBoxWindow() == nullptr; }));

  controls = Controls();
  EXPECT_EQ(VisiblePage(controls), kServerPage);
  next = FindByText(controls, "Button", "下一步(&N)");
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(next->enabled);
  EXPECT_FALSE(updater_.HasTrace(std::string(kTracePrefix) + "线程_获取文件列表 启动"));
  EXPECT_TRUE(updater_.running());
}

TEST_F(ConfigurationTest, EscapeInUpdateLogChangesNothing) {
  OpenServerPage("/cfg/update.xml");
  std::vector<Control> controls = Controls();
  const Control* next = NextButton(controls);
  ASSERT_NE(next, nullptr);
  ASSERT_TRUE(Click(next->hwnd));
  ASSERT_TRUE(WaitUntil([&] { return VisiblePage(Controls()) == kContentPage; }))
      << "the update-content page was not reached" << DescribeState();
  const std::vector<Control> before = Controls();
  const Control* edit = FindOnPage(before, kContentPage, "Edit");
  ASSERT_NE(edit, nullptr);
  Screenshot(main_window_, "page3");

  ASSERT_TRUE(Click(edit->hwnd));  // gives it the focus
  ASSERT_TRUE(PressKey(edit->hwnd, VK_ESCAPE, 0x1B));
  Sleep(1000);

  // Texts and button states may move on with the version check; what Escape
  // could do is close the log's group box or the window.
  ASSERT_TRUE(updater_.running());
  ASSERT_TRUE(IsWindow(main_window_));
  const std::vector<Control> after = Controls();
  EXPECT_EQ(VisiblePage(after), kContentPage);
  ASSERT_EQ(after.size(), before.size()) << "a control went away" << DescribeState();
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].hwnd, before[i].hwnd) << after[i].class_name;
  }
  const Control* log = FindOnPage(after, kContentPage, "Edit");
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->visible);
}

// --- Failures: the first page stays and says so -----------------------------

struct FailureCase {
  const char* name;
  const char* rule;  // control request set up before the start, or ""
  const char* path;  // document path on the test server, or "" for none
  int hits;          // requests the server must have seen, -1: not checked
};

class ConfigurationFailureTest : public ConfigurationTest,
                                 public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConfigurationFailureTest, StaysOnTheFirstPage) {
  const FailureCase& c = GetParam();
  if (*c.rule) {
    ASSERT_TRUE(server_.Control(c.rule));
  }
  // Port 1 on the loop-back interface refuses every connection.
  ASSERT_TRUE(StartUpdater(*c.path ? Arguments(c.path)
                                   : "http://127.0.0.1:1/cfg/update.xml 1.0"));
  main_window_ = updater_.WaitForMainWindow();
  ASSERT_NE(main_window_, nullptr);
  const bool reported = WaitUntil(
      [&] {
        const std::vector<Control> controls = Controls();
        const Control* label = FindOnPage(controls, kReadConfigPage, "Static");
        return label && label->text == kFailureText;
      },
      kConfigTimeoutMs);
  ASSERT_TRUE(reported) << "no failure notice" << DescribeState();

  const std::vector<Control> controls = Controls();
  EXPECT_EQ(VisiblePage(controls), kReadConfigPage);
  EXPECT_EQ(WindowText(main_window_), "在线升级");
  const Control* next = FindByText(controls, "Button", "下一步(&N)");
  const Control* prev = FindByText(controls, "Button", "上一步(&L)");
  const Control* close = FindByText(controls, "Button", "关闭(&Q)");
  ASSERT_TRUE(next && prev && close);
  EXPECT_FALSE(next->visible);
  EXPECT_FALSE(prev->visible);
  EXPECT_TRUE(close->visible && close->enabled);
  const Control* combo = ServerCombo(controls);
  ASSERT_NE(combo, nullptr);
  EXPECT_TRUE(combo->items.empty());
  if (c.hits >= 0) {
    EXPECT_EQ(server_.Hits(c.path), c.hits);
  }
  Screenshot(main_window_, "failure");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ConfigurationFailureTest,
    ::testing::Values(
        FailureCase{"Unreachable", "", "", -1},
        FailureCase{"NotFoundFiveTimes", "set?path=/cfg/update.xml&status=404",
                    "/cfg/update.xml", 5},
        // A sixth attempt would have been answered: five is the limit.
        FailureCase{"FailsFiveTimes",
                    "set?path=/cfg/update.xml&fail_first=5&fail_status=503",
                    "/cfg/update.xml", 5},
        FailureCase{"EmptyBody", "set?path=/cfg/update.xml&empty_body=1",
                    "/cfg/update.xml", 1},
        FailureCase{"NotADocument", "", "/cfg/not_document.xml", 1},
        FailureCase{"RootIsNotUpdate", "", "/cfg/wrong_root.xml", 1},
        FailureCase{"EmptySoftName", "", "/cfg/empty_soft_name.xml", 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
