// Downloads that go wrong, as the user meets them: a file the server refuses
// or answers only at the third request, a transfer that stalls or ends short
// of its announced length, installed files that cannot be replaced, and file
// names that would leave the program folder. Each case checks the rows and
// buttons shown, what is on disk afterwards and, through the server's hit
// counts, what was fetched and what was not fetched again.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/gbk_text.h"
#include "base/unique_handle_win.h"
#include "e2e/harness.h"
#include "e2e/wizard_texts.h"

namespace e2e {
namespace {

constexpr char kRetry[] = "重试(&R)";
constexpr char kTimedOut[] = "连接服务器超时……";
constexpr char kUnwritable[] = "存在不可写文件，升级失败。";
constexpr char kFullProgress[] = "100%";
constexpr char kSkipTrace[] = "文件名越出程序目录，已跳过:";
// What the test server sends with a failure status.
constexpr char kRefusalPage[] = "<html><body>refused</body></html>";

constexpr char kFaultsConfig[] = "/cfg/faults.xml";
constexpr char kEscapeConfig[] = "/cfg/escape.xml";
constexpr char kStagingFolder[] = "update\\";

// Five attempts of one file take about twenty seconds; thirty seconds of
// silence pass before the time-out. The rest allows for a slow machine.
constexpr int kAttemptsTimeoutMs = 120000;
constexpr int kTimeOutRowTimeoutMs = 120000;
// A run that went on after its time-out would show a retry row within five
// seconds; this is how long the page must stay as it is.
constexpr DWORD kQuietAfterTimeOutMs = 7000;

// A file of a server folder: its name in the list and the path the server
// counts its requests under.
struct ServedFile {
  const char* name;
  const char* url_path;
};

// The list of the faults folder, in its order; the middle one misbehaves.
const ServedFile kAlpha{"alpha.txt", "/faults/2.0/alpha.txt"};
const ServedFile kBeta{"data\\beta.dat", "/faults/2.0/data/beta.dat"};
const ServedFile kGamma{"gamma.txt", "/faults/2.0/gamma.txt"};
const ServedFile kFaultFiles[] = {kAlpha, kBeta, kGamma};

const ServedFile kInside{"inside.txt", "/escape/2.0/inside.txt"};
const ServedFile kSubInside{"sub\\inside.txt", "/escape/2.0/sub/inside.txt"};

// The file-list names that would leave the program folder, as the escape
// folder's list holds them.
const char* const kEscapingNames[] = {
    "..\\e2e-escape-parent.txt", "sub\\..\\..\\e2e-escape-nested.txt",
    "sub/../../e2e-escape-forward.txt", "C:\\e2e-escape-drive.txt",
    "\\e2e-escape-root.txt", "/e2e-escape-slash.txt",
    "inside.txt:e2e-escape-stream",
};
constexpr char kEscapePattern[] = "e2e-escape-*";

std::string DownloadRow(std::string_view name) { return "下载文件[" + std::string(name) + "]..."; }

std::string TryAgainRow(int attempt) { return "3秒后进行第[" + std::to_string(attempt) + "]次重试……"; }

// The rows every download page starts with, then `rest`.
std::vector<std::string> PageRows(int files_to_download, const std::vector<std::string>& rest) {
  std::vector<std::string> rows = {"获取文件更新列表……", "获取本地文件特征……", "对比文件差异……",
                                   "共需下载[" + std::to_string(files_to_download) + "]个文件……"};
  rows.insert(rows.end(), rest.begin(), rest.end());
  return rows;
}

// One line per text, as UTF-8, for failure messages.
std::string Lines(const std::vector<std::string>& texts) {
  std::string lines;
  for (const std::string& text : texts) lines += "\n  " + base::Utf8FromGbk(text);
  return lines;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

// The fixture copy the server hands out for `url_path`.
std::string ServedBytes(std::string_view url_path) {
  return ReadFileBytes(WindowsPathOf(EnvironmentText("UPDATER_FIXTURES") + std::string(url_path)));
}

// The folder holding `folder` (both with a trailing backslash).
std::string ParentFolder(const std::string& folder) {
  return folder.substr(0, folder.rfind('\\', folder.size() - 2) + 1);
}

// Files (not folders) under `folder`, as paths relative to it.
void CollectFiles(const std::string& folder, const std::string& relative, std::vector<std::string>* found) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + relative + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CollectFiles(folder, relative + name + "\\", found);
    } else {
      found->push_back(relative + name);
    }
  } while (FindNextFileA(search, &entry));
  FindClose(search);
}

// Names in `folder` that match `pattern`.
std::vector<std::string> Matching(const std::string& folder, const char* pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + pattern).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(entry.cFileName);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return names;
}

class UpdateFailureTest : public UpdaterTest {
 protected:
  static const Control* Button(const std::vector<Control>& controls, std::string_view caption) {
    return FindMainButton(controls, caption);
  }

  bool ClickWhenEnabled(std::string_view caption) {
    return ClickMainButtonWhenEnabled(main_window_, caption, kStepTimeoutMs);
  }

  // The rows of the download page's list: every column of each.
  std::vector<Item> Rows() const {
    const std::vector<Control> controls = Controls();
    const Control* list = FindOnPage(controls, kDownloadPage, "SysListView32");
    return list ? list->items : std::vector<Item>{};
  }

  std::vector<std::string> RowTexts() const {
    std::vector<std::string> texts;
    for (const Item& row : Rows()) texts.push_back(row.text);
    return texts;
  }

  ::testing::AssertionResult RowsAre(const std::vector<std::string>& expected) const {
    const std::vector<std::string> rows = RowTexts();
    if (rows == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "rows shown:" << Lines(rows) << "\nrows expected:" << Lines(expected);
  }

  // The progress column of the first row reading `text`; "" without one.
  std::string ProgressOf(std::string_view text) const {
    for (const Item& row : Rows()) {
      if (row.text == text && row.cells.size() > 1) return row.cells[1];
    }
    return "";
  }

  bool WaitForRow(std::string_view text, int timeout_ms) {
    return WaitUntil(
        [&] {
          for (const Item& row : Rows()) {
            if (row.text == text) return true;
          }
          return false;
        },
        timeout_ms);
  }

  // Waits for the version check to find the newer version and Next to be
  // offered, then clicks it.
  void PassVersionCheck() {
    ASSERT_TRUE(WaitForPage(kContentPage, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::vector<Control> controls = Controls();
          return FindByText(controls, "Static", kNewerVersion) != nullptr;
        },
        kStepTimeoutMs))
        << DescribeState();
    ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  }

  // Starts the updater on the document at `config` and clicks through to the
  // download, which then runs; a short one may be over before this returns.
  void StartDownload(std::string_view config) {
    ASSERT_TRUE(StartUpdater(Arguments(config)));
    ASSERT_TRUE(WaitForPage(kServerPage, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(ClickWhenEnabled(kNext));
    PassVersionCheck();
  }

  // Retry on Next, enabled, with Previous enabled, on the download page.
  void ExpectRetryOffered() {
    const bool offered = WaitUntil([&] {
      const std::vector<Control> controls = Controls();
      const Control* retry = Button(controls, kRetry);
      return retry && retry->visible && retry->enabled;
    });
    EXPECT_TRUE(offered) << "no Retry offered" << DescribeState();
    const std::vector<Control> controls = Controls();
    EXPECT_EQ(VisiblePage(controls), kDownloadPage);
    const Control* prev = Button(controls, kPrev);
    ASSERT_NE(prev, nullptr);
    EXPECT_TRUE(prev->visible && prev->enabled);
    EXPECT_EQ(Button(controls, kNext), nullptr) << "a button still reads Next";
  }

  void ClickRetryAndFinish() {
    ASSERT_TRUE(ClickWhenEnabled(kRetry));
    ASSERT_TRUE(WaitForPage(kFinishPage, kAttemptsTimeoutMs)) << DescribeState();
  }

  std::string Installed(std::string_view name) const { return folder_.path() + std::string(name); }
  std::string Staged(std::string_view name) const {
    return folder_.path() + kStagingFolder + std::string(name);
  }

  void ExpectInstalledAsServed(std::initializer_list<ServedFile> files) const {
    for (const ServedFile& file : files) {
      const std::string served = ServedBytes(file.url_path);
      ASSERT_FALSE(served.empty()) << file.url_path;
      EXPECT_EQ(ReadFileBytes(Installed(file.name)), served) << file.name;
    }
  }

  void ExpectHits(std::initializer_list<std::pair<ServedFile, int>> expected) const {
    for (const auto& [file, hits] : expected) {
      EXPECT_EQ(server_.Hits(file.url_path), hits) << file.url_path;
    }
  }
};

// The server answers 404 with a page of its own, which is stored and fails
// its CRC check; after five attempts the run gives up, and once the server
// has the file again Retry fetches only what is not staged yet.
TEST_F(UpdateFailureTest, MissingFileStopsTheRunAndRetryFetchesOnlyTheRest) {
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path + "&status=404"));
  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForRow(kDownloadFailed, kAttemptsTimeoutMs)) << DescribeState();
  ExpectRetryOffered();
  Screenshot(main_window_, "failed");

  EXPECT_TRUE(RowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), TryAgainRow(2),
                                    TryAgainRow(3), TryAgainRow(4), TryAgainRow(5), kDownloadFailed})));
  EXPECT_EQ(ProgressOf(DownloadRow(kAlpha.name)), kFullProgress);
  ExpectHits({{kAlpha, 1}, {kBeta, 5}, {kGamma, 0}});
  // Nothing is put in place before every file has arrived.
  for (const ServedFile& file : kFaultFiles) EXPECT_FALSE(Exists(Installed(file.name))) << file.name;
  EXPECT_EQ(ReadFileBytes(Staged(kAlpha.name)), ServedBytes(kAlpha.url_path));
  EXPECT_EQ(ReadFileBytes(Staged(kBeta.name)), kRefusalPage);
  EXPECT_FALSE(Exists(Staged(kGamma.name)));

  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path));  // serves it again
  ClickRetryAndFinish();
  EXPECT_TRUE(RowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), DownloadRow(kGamma.name)})));
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
  Screenshot(main_window_, "finished");
}

TEST_F(UpdateFailureTest, AnswerOnTheThirdAttemptCompletesTheUpdate) {
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path + "&fail_first=2&fail_status=503"));
  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForPage(kFinishPage, kAttemptsTimeoutMs)) << DescribeState();

  const std::vector<std::string> file_rows = {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), TryAgainRow(2),
                                              TryAgainRow(3), DownloadRow(kGamma.name)};
  EXPECT_TRUE(RowsAre(PageRows(3, file_rows)));
  for (const ServedFile& file : kFaultFiles) {
    EXPECT_EQ(ProgressOf(DownloadRow(file.name)), kFullProgress) << file.name;
  }
  ExpectHits({{kAlpha, 1}, {kBeta, 3}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

// --- Transfers that stop: only the watchdog ends them ----------------------

struct SilenceCase {
  const char* name;
  const char* rule;  // control request for the middle file
};

class UpdateFailureSilenceTest : public UpdateFailureTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(UpdateFailureSilenceTest, TimesOutAndRetryCompletes) {
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path + GetParam().rule));
  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForRow(kTimedOut, kTimeOutRowTimeoutMs)) << DescribeState();
  ExpectRetryOffered();
  Screenshot(main_window_, "timed-out");

  // A time-out is not a failed attempt: no retry row before it, and nothing
  // of the stopped run after it.
  const std::vector<std::string> expected =
      PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), kTimedOut});
  EXPECT_TRUE(RowsAre(expected));
  Sleep(kQuietAfterTimeOutMs);
  EXPECT_TRUE(RowsAre(expected));
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 0}});
  ExpectRetryOffered();
  for (const ServedFile& file : kFaultFiles) EXPECT_FALSE(Exists(Installed(file.name))) << file.name;

  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path));
  ClickRetryAndFinish();
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

INSTANTIATE_TEST_SUITE_P(
    UpdateFailure, UpdateFailureSilenceTest,
    ::testing::Values(
        // The stall outlasts every wait of the test: only the watchdog ends it.
        SilenceCase{"StallMidBody", "&stall_ms=600000&stall_after=4096"},
        // The whole body, then the connection closes short of the length.
        SilenceCase{"LengthBeyondBody", "&extra_length=4096"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Installed files that cannot be replaced -------------------------------

enum class Hold { kReadOnly, kOpenWithoutSharing };

struct UnwritableCase {
  const char* name;
  Hold hold;
};

class UpdateFailureUnwritableTest : public UpdateFailureTest,
                                    public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(UpdateFailureUnwritableTest, NothingMovesUntilReleased) {
  const std::string target = Installed(kAlpha.name);
  const std::string old_bytes = "上一版本的文件。\r\n";
  ASSERT_TRUE(WriteFileBytes(target, old_bytes));
  base::UniqueFileHandle holder;
  if (GetParam().hold == Hold::kReadOnly) {
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
  } else {
    // No sharing at all, as a running program may hold its files.
    holder.reset(
        CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
  }

  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForRow(kUnwritable, kStepTimeoutMs)) << DescribeState();
  Screenshot(main_window_, "unwritable");
  EXPECT_TRUE(RowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), DownloadRow(kGamma.name),
                                    kUnwritable})));
  {
    const std::vector<Control> controls = Controls();
    EXPECT_EQ(VisiblePage(controls), kDownloadPage);
    const Control* prev = Button(controls, kPrev);
    const Control* next = Button(controls, kNext);
    ASSERT_TRUE(prev && next) << DescribeState();
    EXPECT_TRUE(prev->visible && prev->enabled);
    EXPECT_FALSE(next->enabled);
  }
  // Everything arrived and stays staged; nothing was put in place.
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  for (const ServedFile& file : kFaultFiles) {
    EXPECT_EQ(ReadFileBytes(Staged(file.name)), ServedBytes(file.url_path)) << file.name;
  }
  EXPECT_FALSE(Exists(Installed(kBeta.name)));
  EXPECT_FALSE(Exists(Installed(kGamma.name)));

  holder.reset();
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ReadFileBytes(target), old_bytes);

  // Back to the version check and on again: the staged copies are used.
  ASSERT_TRUE(ClickWhenEnabled(kPrev));
  ASSERT_TRUE(WaitForPage(kContentPage, kStepTimeoutMs)) << DescribeState();
  Screenshot(main_window_, "previous");
  PassVersionCheck();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

INSTANTIATE_TEST_SUITE_P(UpdateFailure, UpdateFailureUnwritableTest,
                         ::testing::Values(UnwritableCase{"ReadOnly", Hold::kReadOnly},
                                           UnwritableCase{"OpenWithoutSharing", Hold::kOpenWithoutSharing}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Names that would leave the program folder -----------------------------

TEST_F(UpdateFailureTest, NamesLeavingTheFolderAreSkipped) {
  const std::string parent = ParentFolder(folder_.path());
  const std::string drive_root = folder_.path().substr(0, 3);
  // Left over from an earlier run, they would hide a fault.
  for (const std::string& folder : {parent, drive_root}) {
    for (const std::string& name : Matching(folder, kEscapePattern)) DeleteFileA((folder + name).c_str());
    ASSERT_TRUE(Matching(folder, kEscapePattern).empty()) << folder;
  }

  StartDownload(kEscapeConfig);
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();

  for (const char* name : kEscapingNames) {
    EXPECT_TRUE(updater_.HasTrace(std::string(kTracePrefix) + kSkipTrace + name))
        << base::Utf8FromGbk(name) << DescribeState();
  }
  EXPECT_TRUE(RowsAre(PageRows(2, {DownloadRow(kInside.name), DownloadRow(kSubInside.name)})));
  ExpectHits({{kInside, 1}, {kSubInside, 1}});
  ExpectInstalledAsServed({kInside, kSubInside});

  EXPECT_TRUE(Matching(parent, kEscapePattern).empty()) << parent;
  EXPECT_TRUE(Matching(drive_root, kEscapePattern).empty()) << drive_root;
  std::vector<std::string> files;
  CollectFiles(folder_.path(), "", &files);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Update.exe", kInside.name, kSubInside.name}));
}

}  // namespace
}  // namespace e2e
