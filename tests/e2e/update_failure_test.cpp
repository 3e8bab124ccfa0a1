// Downloads that go wrong, as the user meets them: a file the server refuses
// or answers only at the third request, a transfer that stalls or ends short
// of its announced length, installed files that cannot be replaced, a staged
// copy removed before it is placed, file names that would leave the program
// folder or lie in the staging folder, and a link in place of the staging
// folder. Each case checks the rows and buttons shown, what is on disk
// afterwards and, through the server's hit counts, what was fetched and what
// was not fetched again.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/gbk_text.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "e2e/harness.h"
#include "e2e/host_files.h"
#include "e2e/site_builder.h"
#include "e2e/wizard_texts.h"

namespace e2e {
namespace {

constexpr char kTimedOut[] = "连接服务器超时……";
constexpr char kUnwritable[] = "存在不可写文件，升级失败。";
constexpr char kUnreplaceable[] = "无法替换的文件：";
constexpr char kHeldByOpen[] = "（正被 ";
constexpr char kPlacingStartTrace[] = "线程_放置文件 启动";
constexpr char kHeldTrace[] = "文件被占用，稍后重试:";
constexpr char kFullProgress[] = "100%";
constexpr char kSkipTrace[] = "文件名越出程序目录，已跳过:";
constexpr char kStagingSkipTrace[] = "文件名位于更新目录，已跳过:";
constexpr char kStagingLinkTrace[] = "更新目录是链接，已拒绝下载:";
// What the test server sends with a failure status.

constexpr char kFaultsConfig[] = "/cfg/faults.xml";
constexpr char kEscapeConfig[] = "/cfg/escape.xml";
constexpr char kStagingNamesConfig[] = "/cfg/staging_names.xml";
constexpr char kUpToDateConfig[] = "/cfg/update.xml";
constexpr char kSelfRetryConfig[] = "/cfg/self_retry.xml";
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

// The staging-names folder: two files to place ("updates" only begins like
// the staging folder) and two names inside the staging folder, not served.
const ServedFile kKept{"kept.txt", "/staging_names/2.0/kept.txt"};
const ServedFile kKeptBeside{"updates\\kept.txt", "/staging_names/2.0/updates/kept.txt"};
const ServedFile kInStagingFolder[] = {{"update\\x.txt", "/staging_names/2.0/update/x.txt"},
                                       {"Update/x/y.txt", "/staging_names/2.0/Update/x/y.txt"}};

// A release with a new updater: Update.exe first, then the file refused.
const ServedFile kNewUpdater{"Update.exe", "/self_retry/2.0/Update.exe"};
const ServedFile kBesideUpdater{"alpha.txt", "/self_retry/2.0/alpha.txt"};

// The one file of the first server of the ordinary site.
const ServedFile kReadme{"readme.txt", "/srv1/2.0/readme.txt"};

// What the folder a linked staging folder points to holds: name, content.
const std::pair<const char*, const char*> kLinkTargetFiles[] = {
    {"keep.txt", "链接指向的目录中的文件。\r\n"}, {"sub\\keep.txt", "子目录中的文件。\r\n"}};

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

// The host path Wine maps a Windows path to; "" when it cannot.
std::string HostPathOf(const std::string& windows_path) {
  using ToHost = char*(CDECL*)(const wchar_t*);
  const auto to_host = reinterpret_cast<ToHost>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* host = to_host ? to_host(base::WideFromGbk(windows_path).c_str()) : nullptr;
  if (!host) return "";
  std::string path = host;
  HeapFree(GetProcessHeap(), 0, host);
  return path;
}

// Runs a host program and waits for `done`: Wine gives no handle to wait on.
bool RunHostProgram(const std::string& program, const std::string& arguments, const std::function<bool()>& done) {
  return StartHostProgram(program, arguments) && WaitUntil(done, 10000);
}

// Wine reports a Unix symbolic link as a reparse point.
bool IsLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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

  // The failure rows of a placement: `before` up to the failure row, then the
  // row naming the file that could not be replaced and, where the system can
  // say, the program holding it.
  ::testing::AssertionResult FailureRowsAre(const std::vector<std::string>& before, std::string_view name) {
    const std::string named = kUnreplaceable + std::string(name);
    WaitUntil([&] { return RowTexts().size() > before.size(); }, kStepTimeoutMs);
    std::vector<std::string> rows = RowTexts();
    const bool holderNamed = !rows.empty() && rows.back().rfind(named + kHeldByOpen, 0) == 0;
    std::vector<std::string> expected = before;
    expected.push_back(holderNamed ? rows.back() : named);
    if (rows == expected) return ::testing::AssertionSuccess() << Lines({rows.back()});
    return ::testing::AssertionFailure() << "rows shown:" << Lines(rows) << "\nrows expected:" << Lines(expected);
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
    ASSERT_TRUE(WaitForText(kNewerVersion, kStepTimeoutMs)) << DescribeState();
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

  // A Retry that completes the update goes straight on as Next would with
  // Retry still on the button: the difference step runs once more, finds
  // nothing left to fetch and ends on the download page. Closing the window
  // then removes the staging folder.
  void ClickRetryAndExpectTheUpdateComplete() {
    ASSERT_TRUE(ClickWhenEnabled(kRetry));
    const std::vector<std::string> rows = PageRows(0, {kUpdateComplete});
    WaitUntil(
        [&] {
          const std::vector<Control> controls = Controls();
          const Control* prev = Button(controls, kPrev);
          return VisiblePage(controls) != kDownloadPage || (RowTexts() == rows && prev && prev->enabled);
        },
        kAttemptsTimeoutMs);
    const std::vector<Control> controls = Controls();
    EXPECT_EQ(VisiblePage(controls), kDownloadPage) << DescribeState();
    EXPECT_TRUE(RowsAre(rows));
    const Control* retry = Button(controls, kRetry);
    const Control* prev = Button(controls, kPrev);
    ASSERT_TRUE(retry && prev) << DescribeState();
    EXPECT_TRUE(retry->visible && retry->enabled);
    EXPECT_TRUE(prev->visible && prev->enabled);
    EXPECT_EQ(Button(controls, kNext), nullptr) << "a button reads Next again";
    ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
    Screenshot(main_window_, "completed");

    ASSERT_TRUE(ClickWhenEnabled(kClose));
    EXPECT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
    EXPECT_FALSE(Exists(folder_.path() + kStagingFolder));
  }

  // The download page after a placement that failed with the program folder
  // as it was: Previous leads back for another try, Next stays disabled.
  void ExpectPlacementRefused() const {
    WaitUntil([&] {
      const std::vector<Control> shown = Controls();
      const Control* prev = Button(shown, kPrev);
      return prev && prev->enabled;
    });
    const std::vector<Control> controls = Controls();
    EXPECT_EQ(VisiblePage(controls), kDownloadPage);
    const Control* prev = Button(controls, kPrev);
    const Control* next = Button(controls, kNext);
    ASSERT_TRUE(prev && next) << DescribeState();
    EXPECT_TRUE(prev->visible && prev->enabled);
    EXPECT_FALSE(next->enabled);
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

// The server answers 404 with a page of its own, which fails its CRC check
// and is dropped, never staged; after five attempts the run gives up, and once the server
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
  EXPECT_FALSE(Exists(Staged(kBeta.name)));
  EXPECT_TRUE(Tree(Staged("update\\p\\")).empty()) << "a partial file kept the error page";
  EXPECT_FALSE(Exists(Staged(kGamma.name)));

  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path));  // serves it again
  ClickRetryAndExpectTheUpdateComplete();
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
}

// With a new updater in the release, the Retry run places the rest and the
// difference step after it finds nothing left: the new Update.exe waits
// staged for the replacement script, so it is neither fetched nor "placed"
// again in one run after another.
TEST_F(UpdateFailureTest, RetryWithANewUpdaterInTheReleaseEndsOnceTheRestIsPlaced) {
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBesideUpdater.url_path + "&status=404"));
  StartDownload(kSelfRetryConfig);
  ASSERT_TRUE(WaitForRow(kDownloadFailed, kAttemptsTimeoutMs)) << DescribeState();
  ExpectRetryOffered();
  EXPECT_EQ(ReadFileBytes(Staged(kNewUpdater.name)), ServedBytes(kNewUpdater.url_path));

  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBesideUpdater.url_path));
  ASSERT_TRUE(ClickWhenEnabled(kRetry));
  const std::vector<std::string> rows = PageRows(0, {kUpdateComplete});
  WaitUntil([&] { return RowTexts() == rows; }, kAttemptsTimeoutMs);
  EXPECT_TRUE(RowsAre(rows)) << DescribeState();
  // A run that went on would show other rows within a second or two.
  Sleep(kQuietAfterTimeOutMs);
  EXPECT_TRUE(RowsAre(rows)) << DescribeState();
  EXPECT_EQ(ReadFileBytes(Installed(kBesideUpdater.name)), ServedBytes(kBesideUpdater.url_path));
  EXPECT_EQ(ReadFileBytes(Staged(kNewUpdater.name)), ServedBytes(kNewUpdater.url_path));
  ExpectHits({{kNewUpdater, 1}, {kBesideUpdater, 1}});

  ASSERT_TRUE(ClickWhenEnabled(kClose));
  EXPECT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
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
  ClickRetryAndExpectTheUpdateComplete();
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
}

INSTANTIATE_TEST_SUITE_P(
    UpdateFailure, UpdateFailureSilenceTest,
    ::testing::Values(
        // The stall outlasts every wait of the test: only the watchdog ends it.
        SilenceCase{"StallMidBody", "&stall_ms=600000&stall_after=4096"},
        // The whole body, then the connection closes short of the length.
        SilenceCase{"LengthBeyondBody", "&extra_length=4096"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Files that cannot be placed: installed ones held, staged ones gone ----

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
  EXPECT_TRUE(FailureRowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name),
                                          DownloadRow(kGamma.name), kUnwritable}),
                             kAlpha.name));
  Screenshot(main_window_, "unwritable");
  ExpectPlacementRefused();
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

// A staged copy removed while a later file still arrives (a virus scanner, a
// cleaning tool): placing the rest would leave that file old under an update
// reported done, so nothing moves, and the next try fetches it again.
TEST_F(UpdateFailureTest, StagedCopyGoneBeforePlacementMovesNothing) {
  // Long enough to remove the first file's copy, well short of the watchdog.
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kBeta.url_path + "&stall_ms=5000"));
  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForRow(DownloadRow(kBeta.name), kStepTimeoutMs)) << DescribeState();
  const std::string staged_alpha = Staged(kAlpha.name);
  ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(staged_alpha) == ServedBytes(kAlpha.url_path); }));
  ASSERT_TRUE(DeleteFileA(staged_alpha.c_str())) << GetLastError();
  ASSERT_EQ(server_.Hits(kGamma.url_path), 0) << "removed too late: the run was already over";

  ASSERT_TRUE(WaitForRow(kUnwritable, kStepTimeoutMs)) << DescribeState();
  EXPECT_TRUE(FailureRowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name),
                                          DownloadRow(kGamma.name), kUnwritable}),
                             kAlpha.name));
  ExpectPlacementRefused();
  for (const ServedFile& file : kFaultFiles) EXPECT_FALSE(Exists(Installed(file.name))) << file.name;
  EXPECT_FALSE(Exists(staged_alpha));
  EXPECT_EQ(ReadFileBytes(Staged(kBeta.name)), ServedBytes(kBeta.url_path));
  EXPECT_EQ(ReadFileBytes(Staged(kGamma.name)), ServedBytes(kGamma.url_path));

  ASSERT_TRUE(ClickWhenEnabled(kPrev));
  PassVersionCheck();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  ExpectHits({{kAlpha, 2}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

// --- Staged files another process holds while they are placed --------------

// A scanner opens a freshly written file with no sharing while the files are
// placed. The middle file is held, once the last one is on its way, until
// the placing has met the hold: for two seconds more, or for good.
class StagedFileHeldTest : public UpdateFailureTest {
 protected:
  void HoldStagedBetaWhilePlacing() {
    ASSERT_TRUE(WriteFileBytes(Installed(kAlpha.name), kOldAlpha));
    ASSERT_TRUE(WriteFileBytes(Installed(kGamma.name), kOldGamma));
    // Long enough to take hold of the staged copy before the placing starts.
    ASSERT_TRUE(server_.Control(std::string("set?path=") + kGamma.url_path + "&stall_ms=5000"));
    StartDownload(kFaultsConfig);
    ASSERT_TRUE(WaitForRow(DownloadRow(kGamma.name), kStepTimeoutMs)) << DescribeState();
    const std::string staged = Staged(kBeta.name);
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(staged) == ServedBytes(kBeta.url_path); }));
    holder_.reset(CreateFileA(staged.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    ASSERT_TRUE(holder_.valid()) << GetLastError();
    ASSERT_FALSE(updater_.HasTrace(std::string(kTracePrefix) + kPlacingStartTrace)) << "held too late";
    ASSERT_TRUE(updater_.WaitForTrace(std::string(kTracePrefix) + kHeldTrace + staged, kStepTimeoutMs))
        << DescribeState();
  }

  void ExpectOldRelease() const {
    EXPECT_EQ(ReadFileBytes(Installed(kAlpha.name)), kOldAlpha);
    EXPECT_EQ(ReadFileBytes(Installed(kGamma.name)), kOldGamma);
    EXPECT_FALSE(Exists(Installed(kBeta.name)));
    EXPECT_FALSE(Exists(folder_.path() + "data"));
    for (const ServedFile& file : kFaultFiles) {
      EXPECT_EQ(ReadFileBytes(Staged(file.name)), ServedBytes(file.url_path)) << file.name;
    }
  }

  static constexpr char kOldAlpha[] = "上一版本的 alpha。\r\n";
  static constexpr char kOldGamma[] = "上一版本的 gamma。\r\n";
  static constexpr DWORD kMomentMs = 2000;
  base::UniqueFileHandle holder_;
};

TEST_F(StagedFileHeldTest, HeldForAMomentIsWaitedFor) {
  ASSERT_NO_FATAL_FAILURE(HoldStagedBetaWhilePlacing());
  Sleep(kMomentMs);
  holder_.reset();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  EXPECT_TRUE(RowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name), DownloadRow(kGamma.name)})));
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

// The file placed before the held one goes back: the folder is the old
// release, and Previous, Next finishes the update from the staged files.
TEST_F(StagedFileHeldTest, HeldForGoodLeavesTheOldRelease) {
  ASSERT_NO_FATAL_FAILURE(HoldStagedBetaWhilePlacing());
  ASSERT_TRUE(WaitForRow(kUnwritable, kStepTimeoutMs)) << DescribeState();
  EXPECT_TRUE(FailureRowsAre(PageRows(3, {DownloadRow(kAlpha.name), DownloadRow(kBeta.name),
                                          DownloadRow(kGamma.name), kUnwritable}),
                             kBeta.name));
  Screenshot(main_window_, "held");
  ExpectPlacementRefused();
  holder_.reset();
  ExpectOldRelease();

  ASSERT_TRUE(ClickWhenEnabled(kPrev));
  PassVersionCheck();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  ExpectHits({{kAlpha, 1}, {kBeta, 1}, {kGamma, 1}});
  ExpectInstalledAsServed({kAlpha, kBeta, kGamma});
}

// --- A worker the watchdog stops while its read stays blocked -------------

constexpr char kStallConfig[] = "/cfg/update.xml";
constexpr char kStallUrlPath[] = "/stall/2.0/big.bin";
constexpr char kBigName[] = "big.bin";
constexpr size_t kBigSize = size_t{1} << 20;
constexpr char kPartialFolder[] = "update\\update\\p\\";
constexpr char kWorkerEndTrace[] = "线程_下载工作 结束";
constexpr char kPlacingTrace[] = "放置文件:";
// Above the 30 s watchdog, so that the stopped worker's read is still
// blocked when the time-out is shown, and short, so that the pass's wait for
// that worker costs little. The product reads it through the same variable.
constexpr char kTimeoutVariable[] = "UPDATER_RECEIVE_TIMEOUT_MS";
constexpr char kTestTimeoutMs[] = "40000";

// A 1 MiB file whose first answer stops at 60 % with its connection left
// open for ten minutes: Wine's WinINet keeps the read blocked after the
// watchdog's stop closes its handles, until the requests' time-out ends it.
class StalledWorkerTest : public UpdateFailureTest {
 protected:
  void SetUp() override {
    UpdateFailureTest::SetUp();
    ASSERT_TRUE(SetEnvironmentVariableA(kTimeoutVariable, kTestTimeoutMs));
    for (size_t i = 0; i < kBigSize; ++i) big_ += static_cast<char>((i * 131 + i / 4099) % 251);
    SiteDescription site;
    site.base_url = "http://127.0.0.1:@PORT@/";
    site.servers = {{"测试服务器", "stall", {{kBigName, big_}}}};
    std::string error;
    ASSERT_TRUE(BuildSite(site, root_, &error)) << error;
    server_.Quit();
    ASSERT_TRUE(server_.Start(EnvironmentText("UPDATER_TEST_SERVER"), root_));
  }
  void TearDown() override {
    UpdateFailureTest::TearDown();
    SetEnvironmentVariableA(kTimeoutVariable, nullptr);
    RunHostScript("rm -rf " + Quoted(root_));
  }

  // Opens every partial file without sharing: fails while another handle,
  // the stopped worker's, still has one open. Their sizes are summed.
  ::testing::AssertionResult PartialFilesFree(long long* bytes) const {
    const std::string folder = folder_.path() + kPartialFolder;
    std::vector<std::string> names;
    CollectFiles(folder, "", &names);
    *bytes = 0;
    for (const std::string& name : names) {
      base::UniqueFileHandle file(CreateFileA((folder + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid()) return ::testing::AssertionFailure() << name << " is held: " << GetLastError();
      LARGE_INTEGER size{};
      if (GetFileSizeEx(file.get(), &size)) *bytes += size.QuadPart;
    }
    return ::testing::AssertionSuccess();
  }

  // How many download workers had ended when the first file was placed.
  int WorkersEndedBeforePlacing() const {
    int ended = 0;
    const std::string end = std::string(kTracePrefix) + kWorkerEndTrace;
    const std::string placing = std::string(kTracePrefix) + kPlacingTrace;
    for (const std::string& line : updater_.Traces()) {
      if (line.rfind(placing, 0) == 0) return ended;
      if (line == end) ++ended;
    }
    return -1;
  }

  const std::string root_ = UniqueHostPath("stalled-site");
  std::string big_;
};

TEST_F(StalledWorkerTest, RetryCompletesWhileTheStoppedWorkersReadIsStillBlocked) {
  ASSERT_TRUE(server_.Control(std::string("set?path=") + kStallUrlPath + "&stall_ms=600000&stall_after=" +
                              std::to_string(kBigSize * 6 / 10) + "&stall_first=1"));
  StartDownload(kStallConfig);
  ASSERT_TRUE(WaitForRow(kTimedOut, kTimeOutRowTimeoutMs)) << DescribeState();
  ExpectRetryOffered();
  // The stopped worker has not ended, yet what it wrote is free.
  EXPECT_FALSE(updater_.HasTrace(std::string(kTracePrefix) + kWorkerEndTrace));
  long long kept = 0;
  EXPECT_TRUE(PartialFilesFree(&kept));
  EXPECT_GT(kept, 0);

  ASSERT_TRUE(ClickWhenEnabled(kRetry));
  ASSERT_TRUE(WaitForRow(kUpdateComplete, kAttemptsTimeoutMs)) << DescribeState();
  EXPECT_TRUE(ReadFileBytes(Installed(kBigName)) == big_);
  // The pass waited for both workers, the stopped one too.
  EXPECT_EQ(WorkersEndedBeforePlacing(), 2) << DescribeState();
  EXPECT_EQ(server_.Hits(kStallUrlPath), 2);

  ASSERT_TRUE(ClickWhenEnabled(kClose));
  EXPECT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
  EXPECT_FALSE(Exists(folder_.path() + kStagingFolder));
}

// --- Names that would leave the program folder or lie in the staging one ---

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

// A file staged inside update\ would be placed into it and deleted with it at
// exit, so such names are neither fetched nor placed.
TEST_F(UpdateFailureTest, NamesInTheStagingFolderAreSkipped) {
  StartDownload(kStagingNamesConfig);
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();

  for (const ServedFile& file : kInStagingFolder) {
    EXPECT_TRUE(updater_.HasTrace(std::string(kTracePrefix) + kStagingSkipTrace + file.name))
        << file.name << DescribeState();
    EXPECT_EQ(server_.Hits(file.url_path), 0) << file.url_path;
  }
  EXPECT_TRUE(RowsAre(PageRows(2, {DownloadRow(kKept.name), DownloadRow(kKeptBeside.name)})));
  ExpectHits({{kKept, 1}, {kKeptBeside, 1}});
  ExpectInstalledAsServed({kKept, kKeptBeside});
  std::vector<std::string> files;
  CollectFiles(folder_.path(), "", &files);
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected = {"Update.exe", kKept.name, kKeptBeside.name};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
}

// --- A link in place of the staging folder ---------------------------------

// update\ as a Unix symbolic link, which Wine reports as a reparse point, to a
// folder beside the program folder that holds files of its own. Only the host
// can make or remove such a link.
class StagingLinkTest : public UpdateFailureTest {
 protected:
  void TearDown() override {
    UpdateFailureTest::TearDown();  // the updater has ended before the link goes
    const std::string link = folder_.path() + "update";
    if (!link_host_.empty()) {
      // Left in place, the program folder's removal would walk through it.
      RunHostProgram("/bin/rm", "-f \"" + link_host_ + "\"", [&] { return !Exists(link); });
    }
    if (!target_host_.empty()) {
      RunHostProgram("/bin/rm", "-rf \"" + target_host_ + "\"", [&] { return !Exists(target_); });
    }
  }

  void LinkStagingFolder() {
    target_ = folder_.path().substr(0, folder_.path().size() - 1) + "-target\\";
    ASSERT_TRUE(CreateDirectoryA(target_.c_str(), nullptr)) << target_;
    ASSERT_TRUE(CreateDirectoryA((target_ + "sub").c_str(), nullptr));
    for (const auto& [name, bytes] : kLinkTargetFiles) ASSERT_TRUE(WriteFileBytes(target_ + name, bytes)) << name;
    target_host_ = HostPathOf(target_);
    const std::string program_host = HostPathOf(folder_.path());
    ASSERT_FALSE(target_host_.empty() || program_host.empty()) << "no host path for " << target_;
    link_host_ = program_host + "/update";
    const std::string link = folder_.path() + "update";
    ASSERT_TRUE(RunHostProgram("/bin/ln", "-s \"" + target_host_ + "\" \"" + link_host_ + "\"",
                               [&] { return IsLink(link); }))
        << link;
  }

  // The target holds exactly its own files, unchanged.
  void ExpectTargetUntouched() const {
    std::vector<std::string> files;
    CollectFiles(target_, "", &files);
    std::vector<std::string> expected;
    for (const auto& file : kLinkTargetFiles) expected.push_back(file.first);
    std::sort(files.begin(), files.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files, expected);
    for (const auto& [name, bytes] : kLinkTargetFiles) EXPECT_EQ(ReadFileBytes(target_ + name), bytes) << name;
  }

  std::string target_;  // Windows path, with a trailing backslash
  std::string target_host_, link_host_;
};

// Staging through the link would write into the folder it points to.
TEST_F(StagingLinkTest, DownloadIsRefusedBeforeAnythingIsFetched) {
  ASSERT_NO_FATAL_FAILURE(LinkStagingFolder());
  StartDownload(kFaultsConfig);
  ASSERT_TRUE(WaitForRow(kDownloadFailed, kStepTimeoutMs)) << DescribeState();
  ExpectRetryOffered();

  EXPECT_TRUE(updater_.HasTrace(std::string(kTracePrefix) + kStagingLinkTrace + folder_.path() + kStagingFolder))
      << DescribeState();
  EXPECT_TRUE(RowsAre(PageRows(3, {kDownloadFailed})));
  ExpectHits({{kAlpha, 0}, {kBeta, 0}, {kGamma, 0}});
  for (const ServedFile& file : kFaultFiles) EXPECT_FALSE(Exists(Installed(file.name))) << file.name;
  ExpectTargetUntouched();
}

// Nothing to fetch, so the update is applied at once and the clean-up at exit
// removes the staging folder: the link at most, never what it points to.
TEST_F(StagingLinkTest, CleanUpAtExitLeavesTheLinkTarget) {
  ASSERT_TRUE(WriteFileBytes(Installed(kReadme.name), ServedBytes(kReadme.url_path)));
  ASSERT_NO_FATAL_FAILURE(LinkStagingFolder());
  StartDownload(kUpToDateConfig);
  ASSERT_TRUE(WaitForRow(kUpdateComplete, kStepTimeoutMs)) << DescribeState();
  EXPECT_TRUE(RowsAre(PageRows(0, {kUpdateComplete})));
  ExpectHits({{kReadme, 0}});

  ASSERT_TRUE(ClickWhenEnabled(kClose));
  ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value());
  ExpectTargetUntouched();
  ExpectInstalledAsServed({kReadme});
}

}  // namespace
}  // namespace e2e
