// Whole updates against nginx, the way a real update server serves them:
// both address schemes with Chinese, spaced and sub-folder names, equal
// versions, the start of the main program, the replacement of the updater's
// own executable through its script, and https.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/gbk_text.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "e2e/harness.h"
#include "e2e/host_files.h"
#include "e2e/nginx_server.h"
#include "e2e/site_builder.h"
#include "e2e/wizard_texts.h"
#include "files/system_path_win.h"

namespace e2e {
namespace {

constexpr char kLatestVersion[] = "恭喜！您使用的已经是最新版本。";
constexpr char kFileRowOpen[] = "下载文件[";
constexpr char kFileRowClose[] = "]...";
constexpr char kStagingFolder[] = "update";
constexpr char kScriptName[] = "VaVeri_Update.bat";
constexpr char kScriptTemporary[] = "VaVeri_Update.tmp";
constexpr char kOwnExe[] = "Update.exe";
constexpr char kMainExe[] = "CeShi.exe";
constexpr char kMarkerName[] = "main_program_started.txt";
constexpr char kParentMarkerName[] = "main_program_parent.txt";
constexpr char kDesktopStartTrace[] = "主程序经桌面外壳以当前用户权限启动";
constexpr char kDirectStartTrace[] = "桌面外壳不可用，主程序由本程序直接启动";
constexpr char kServerFolder[] = "srv1";
constexpr char kLargeName[] = "big.bin";
// The script replaces the executable moments after the updater has ended.
constexpr int kSelfUpdateTimeoutMs = 30000;
// The deepest program folder a program can still be started from
// (Update.exe's own path then has 259 characters, within MAX_PATH): its files
// lie at 250 characters and beyond, and their staged copies 7 deeper.
constexpr size_t kLongFolderLength = 248;
// Large and slow enough that the download page stays up for about three
// seconds, long enough to be photographed mid-way.
constexpr size_t kLargeSize = size_t{3} << 20;
constexpr int kThrottleBytesPerS = 1 << 20;

// ---------------------------------------------------------------------------
// Files of the program folder, by GBK path

bool Exists(const std::string& path) {
  return GetFileAttributesW(files::SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<uint64_t> LastWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(base::WideFromGbk(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// Whether a process of this executable name runs, ASCII case aside.
bool ProcessRuns(const std::string& exe_name) {
  base::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, base::WideFromGbk(exe_name).c_str()) == 0) return true;
  }
  return false;
}

// Compares without printing contents of megabytes.
::testing::AssertionResult HoldsContent(const std::string& path, const std::string& expected) {
  const std::optional<std::string> content = ReadBytes(path);
  if (!content) return ::testing::AssertionFailure() << base::Utf8FromGbk(path) << " missing";
  if (*content == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << base::Utf8FromGbk(path) << " holds " << content->size()
                                       << " other bytes, not the " << expected.size() << " expected";
}

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// The path the server looks a listed file up by, in the scheme's encoding.
std::string LookedUpPath(const SiteDescription& site, std::string_view name) {
  const std::string path = ServedPath(site, site.servers.front(), name);
  return site.utf8_names ? base::Utf8FromGbk(path) : path;
}

std::string ConfigUrl(const SiteDescription& site) { return site.base_url + kConfigPath; }

// ---------------------------------------------------------------------------
// The fixture: nginx serving a site built for the case, a program folder
// holding the installed version, and the updater started from it.

class NginxUpdateTest : public UpdaterTest {
 protected:
  // Only the program folder of the base fixture: nginx replaces its server.
  void SetUp() override {
    if (!NginxServer::Installed()) {
      GTEST_SKIP() << "nginx cannot start: no " << NginxServer::Executable()
                   << " (scripts/setup installs it)";
    }
    const std::string exe = EnvironmentText("UPDATER_EXE");
    ASSERT_FALSE(exe.empty()) << "UPDATER_EXE must be set";
    ASSERT_TRUE(folder_.Create(exe, ProgramFolder::Where::kTemporary, folder_name_, folder_length_))
        << "copy of " << exe;
  }
  void TearDown() override {
    UpdaterTest::TearDown();
    nginx_.Stop();
  }

  // Starts nginx, completes `site` with its address and writes it.
  void ServeSite(SiteDescription& site, const NginxOptions& options = {}) {
    ASSERT_TRUE(nginx_.Start(options)) << nginx_.error();
    site.base_url = options.tls ? nginx_.TlsUrl("/") : nginx_.Url("/");
    std::string error;
    ASSERT_TRUE(BuildSite(site, nginx_.SiteFolder(), &error)) << error;
  }

  // Writes the installed files into the program folder beside the updater.
  void Install(const std::vector<SiteFile>& files) {
    for (const SiteFile& file : files) {
      ASSERT_TRUE(WriteBytes(folder_.path() + file.name, file.content))
          << base::Utf8FromGbk(file.name);
    }
  }

  // Starts the updater on the site as the main program does, with the
  // installed version, and goes on to the content page.
  void OpenContentPage(const SiteDescription& site, std::string_view installed_version,
                       std::string_view expected_status) {
    ASSERT_TRUE(StartUpdater(ConfigUrl(site) + " " + std::string(installed_version)));
    ASSERT_TRUE(PassServerPage(expected_status, kStepTimeoutMs)) << DescribeState();
  }

  // Downloads what differs and waits for the finish page.
  void UpdateToFinishPage(const SiteDescription& site) {
    ASSERT_NO_FATAL_FAILURE(OpenContentPage(site, "1.0", kNewerVersion));
    ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
    ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  }

  // Sets the "run the main program" box of the finish page.
  void SetRunBox(bool checked) {
    const int wanted = checked ? BST_CHECKED : BST_UNCHECKED;
    const auto state = [&] {
      const std::vector<Control> controls = Controls();
      const Control* box = FindOnPage(controls, kFinishPage, "Button");
      return box ? std::make_pair(box->hwnd, box->checked) : std::make_pair(HWND{}, -1);
    };
    const auto [box, now] = state();
    ASSERT_NE(box, nullptr) << DescribeState();
    if (now != wanted) {
      ASSERT_TRUE(Click(box));
    }
    ASSERT_TRUE(WaitUntil([&] { return state().second == wanted; })) << DescribeState();
  }

  // Presses Finish and waits for the updater to end.
  void Finish() {
    ASSERT_TRUE(ClickWhenEnabled(kFinish)) << DescribeState();
    ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value()) << DescribeState();
  }

  bool ClickWhenEnabled(std::string_view caption) {
    return ClickMainButtonWhenEnabled(main_window_, caption, kStepTimeoutMs);
  }

  // The rows of the download page's list that stand for a file's download,
  // leaving out the status rows: operation and progress.
  std::vector<Item> FileRows() const {
    const std::vector<Control> controls = Controls();
    const Control* list = FindOnPage(controls, kDownloadPage, "SysListView32");
    std::vector<Item> rows;
    if (!list) return rows;
    for (const Item& row : list->items) {
      if (row.text.rfind(kFileRowOpen, 0) == 0) rows.push_back(row);
    }
    return rows;
  }

  void ExpectInstalled(const std::vector<SiteFile>& files) const {
    for (const SiteFile& file : files) {
      EXPECT_TRUE(HoldsContent(folder_.path() + file.name, file.content));
    }
  }

  // The decoded paths of the requests answered so far, by status.
  std::multiset<std::string> Requested(int status = 200) const {
    std::multiset<std::string> paths;
    for (const ServedRequest& request : nginx_.Requests()) {
      if (request.status == status) paths.insert(request.path);
    }
    return paths;
  }

  std::string StagingFolder() const { return folder_.path() + kStagingFolder; }

  // A release whose updater differs from the running one, through to the
  // end of the script that puts it in place.
  void ReplaceOwnExecutable() {
    const std::string own_exe = ReadBytes(WindowsPathOf(EnvironmentText("UPDATER_EXE"))).value_or("");
    ASSERT_FALSE(own_exe.empty());
    // Bytes after the image leave it runnable and change its signature.
    const std::string new_exe = own_exe + "appended by the self-update case";
    SiteDescription site;
    SiteServer server{"电信服务器", kServerFolder,
                      {{kOwnExe, new_exe}, {"readme.txt", "2.0 readme\r\n"}}};
    site.servers = {server};
    ASSERT_NO_FATAL_FAILURE(ServeSite(site));
    ASSERT_NO_FATAL_FAILURE(Install({{"readme.txt", "1.0 readme\r\n"}}));

    ASSERT_NO_FATAL_FAILURE(UpdateToFinishPage(site));
    // The running executable stays until the updater has ended.
    EXPECT_TRUE(HoldsContent(folder_.exe(), own_exe));
    EXPECT_TRUE(HoldsContent(StagingFolder() + "\\" + kOwnExe, new_exe));
    ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
    ASSERT_NO_FATAL_FAILURE(Finish());

    const std::string script = folder_.path() + kScriptName;
    EXPECT_TRUE(WaitUntil(
        [&] {
          return !Exists(script) && !Exists(StagingFolder()) && ReadBytes(folder_.exe()) == new_exe;
        },
        kSelfUpdateTimeoutMs))
        << "script " << (Exists(script) ? "still there" : "gone") << ", staging folder "
        << (Exists(StagingFolder()) ? "still there" : "gone") << ", executable "
        << (HoldsContent(folder_.exe(), new_exe) ? "new" : "old");
    EXPECT_EQ(ReadBytes(folder_.path() + "readme.txt"), "2.0 readme\r\n");
    EXPECT_FALSE(Exists(folder_.path() + kScriptTemporary));
  }

  NginxServer nginx_;
  // Where the program folder lies inside the temporary one, and how long its
  // path is: the defaults are the temporary folder itself.
  std::string folder_name_;
  size_t folder_length_ = 0;
};

// ---------------------------------------------------------------------------
// A whole update under each address scheme

class NginxSchemeTest : public NginxUpdateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NginxSchemeTest, InstallsChangedAndAddedFilesLeavingTheRest) {
  const bool utf8 = GetParam();
  const std::string own_exe = ReadBytes(WindowsPathOf(EnvironmentText("UPDATER_EXE"))).value_or("");
  ASSERT_FALSE(own_exe.empty());
  const std::string kept = Noise(4096, 1), kept_deep = Noise(70000, 2);
  const std::vector<SiteFile> installed = {
      {"readme.txt", "1.0 readme\r\n"},
      {"keep.dll", kept},
      {"lib\\keep2.bin", kept_deep},
      {"my docs\\read me.txt", "old text\r\n"},
      {"config.ini", "[user]\r\nname=someone\r\n"},  // the user's own, not released
  };
  SiteDescription site;
  site.utf8_names = utf8;
  SiteServer server{"电信服务器", kServerFolder, {}};
  server.files = {
      {kOwnExe, own_exe},                        // unchanged: the updater itself
      {"readme.txt", "2.0 readme\r\n"},          // changed
      {"keep.dll", kept},                        // unchanged
      {"lib\\keep2.bin", kept_deep},             // unchanged, in a sub-folder
      {"my docs\\read me.txt", "new text\r\n"},  // changed, spaces in folder and name
      {"说明 文档.txt", "中文说明\r\n"},          // added: Chinese with a space
      {"数据\\新 文件.dat", Noise(5000, 3)},      // added in a Chinese sub-folder
      {"数据\\誠信.txt", "second byte 5C\r\n"},  // a GBK character ending in "\" byte
      {"a&b~(1)+c.txt", "escaped or not\r\n"},   // bytes only the local scheme escapes
      {kLargeName, Noise(kLargeSize, 4)},        // added, sent slowly
  };
  site.servers = {server};
  NginxOptions options;
  options.throttled_path = ServedPath(site, server, kLargeName);
  options.throttle_bytes_per_s = kThrottleBytesPerS;
  ASSERT_NO_FATAL_FAILURE(ServeSite(site, options));
  ASSERT_NO_FATAL_FAILURE(Install(installed));
  std::map<std::string, uint64_t> times_before;
  for (const char* name : {kOwnExe, "keep.dll", "lib\\keep2.bin", "config.ini"}) {
    times_before[name] = LastWriteTime(folder_.path() + name).value_or(0);
  }

  ASSERT_NO_FATAL_FAILURE(OpenContentPage(site, "1.0", kNewerVersion));
  Screenshot(main_window_, "page3");
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_TRUE(WaitForPage(kDownloadPage, kStepTimeoutMs)) << DescribeState();
  const std::string large_row = std::string(kFileRowOpen) + kLargeName + kFileRowClose;
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<Item> rows = FileRows();
        return !rows.empty() && rows.back().text == large_row;
      },
      kStepTimeoutMs))
      << DescribeState();
  Screenshot(main_window_, "page4");
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  Screenshot(main_window_, "page5");

  // One finished row per file that differed, in list order.
  const char* const fetched[] = {"readme.txt",     "my docs\\read me.txt", "说明 文档.txt",
                                 "数据\\新 文件.dat", "数据\\誠信.txt",       "a&b~(1)+c.txt",
                                 kLargeName};
  const std::vector<Item> rows = FileRows();
  ASSERT_EQ(rows.size(), std::size(fetched)) << DescribeState();
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].text, kFileRowOpen + std::string(fetched[i]) + kFileRowClose) << "row " << i;
    EXPECT_EQ(rows[i].cells.at(1), "100%") << "row " << i;
  }
  ExpectInstalled(server.files);
  EXPECT_EQ(ReadBytes(folder_.path() + "config.ini"), installed[4].content);

  ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
  ASSERT_NO_FATAL_FAILURE(Finish());
  EXPECT_FALSE(Exists(StagingFolder()));
  EXPECT_FALSE(Exists(folder_.path() + kScriptName));
  for (const auto& [name, time] : times_before) {
    EXPECT_EQ(LastWriteTime(folder_.path() + name), time) << name << " was touched";
  }

  // The server saw every differing file under the name the scheme gives it,
  // and nothing else but the two documents.
  std::multiset<std::string> expected = {"/" + std::string(kConfigPath),
                                         "/" + std::string(kServerFolder) + "/2.0/filelist.xml"};
  for (const char* name : fetched) expected.insert(LookedUpPath(site, name));
  EXPECT_EQ(Requested(), expected);
  EXPECT_EQ(Requested(404), std::multiset<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Nginx, NginxSchemeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Utf8Names" : "LocalNames";
                         });

// ---------------------------------------------------------------------------
// Equal versions

TEST_F(NginxUpdateTest, EqualVersionsFinishWithoutDownloading) {
  SiteDescription site;
  SiteServer server{"电信服务器", kServerFolder, {{"readme.txt", "released\r\n"}}};
  site.servers = {server};
  ASSERT_NO_FATAL_FAILURE(ServeSite(site));
  // Differs from the release: only the version tells the updater to leave it.
  ASSERT_NO_FATAL_FAILURE(Install({{"readme.txt", "installed\r\n"}}));

  ASSERT_NO_FATAL_FAILURE(OpenContentPage(site, site.version, kLatestVersion));
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  EXPECT_EQ(FileRows().size(), 0u) << DescribeState();
  ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
  ASSERT_NO_FATAL_FAILURE(Finish());

  EXPECT_EQ(ReadBytes(folder_.path() + "readme.txt"), "installed\r\n");
  EXPECT_FALSE(Exists(StagingFolder()));
  const std::multiset<std::string> expected = {
      "/" + std::string(kConfigPath), "/" + std::string(kServerFolder) + "/2.0/filelist.xml"};
  EXPECT_EQ(Requested(), expected);
  EXPECT_EQ(nginx_.Requests().size(), expected.size());
}

// ---------------------------------------------------------------------------
// The main program after the update, with the box checked or cleared

class NginxMainProgramTest : public NginxUpdateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NginxMainProgramTest, StartsTheUpdatedMainProgramOnlyWhenAsked) {
  const bool run = GetParam();
  std::string fake_main = EnvironmentText("UPDATER_FAKE_MAIN");
  if (fake_main.empty()) fake_main = OwnFolder() + "fake_main_program.exe";
  const std::string program = ReadBytes(WindowsPathOf(fake_main)).value_or("");
  ASSERT_FALSE(program.empty()) << "no main program at " << fake_main;

  SiteDescription site;
  site.main_exe = kMainExe;
  SiteServer server{"电信服务器", kServerFolder, {{kMainExe, program}}};
  site.servers = {server};
  ASSERT_NO_FATAL_FAILURE(ServeSite(site));
  // The installed one is no program at all: only the new one can leave the mark.
  ASSERT_NO_FATAL_FAILURE(Install({{kMainExe, "not a program of 1.0"}}));

  ASSERT_NO_FATAL_FAILURE(UpdateToFinishPage(site));
  ExpectInstalled(server.files);
  ASSERT_NO_FATAL_FAILURE(SetRunBox(run));
  ASSERT_NO_FATAL_FAILURE(Finish());

  const std::string marker = folder_.path() + kMarkerName;
  if (run) {
    EXPECT_TRUE(WaitUntil([&] { return Exists(marker); }, kStepTimeoutMs))
        << "the main program left no mark";
    // Started by the desktop's shell, with the user's rights rather than
    // the elevated updater's; only where no shell answers, by the updater.
    const std::string parent = ReadBytes(folder_.path() + kParentMarkerName).value_or("");
    const std::wstring parent_name(reinterpret_cast<const wchar_t*>(parent.data()),
                                   parent.size() / sizeof(wchar_t));
    const bool direct = updater_.HasTrace(std::string(kTracePrefix) + kDirectStartTrace);
    EXPECT_TRUE(direct || updater_.HasTrace(std::string(kTracePrefix) + kDesktopStartTrace)) << DescribeState();
    EXPECT_EQ(lstrcmpiW(parent_name.c_str(), direct ? L"Update.exe" : L"explorer.exe"), 0)
        << "started by " << base::Utf8FromGbk(base::GbkFromWide(parent_name));
  } else {
    // The updater starts the program before it ends, so by now it either
    // runs or has left its mark.
    EXPECT_FALSE(ProcessRuns(kMainExe));
    EXPECT_FALSE(Exists(marker));
  }
  // Its end, before the folder goes.
  WaitUntil([] { return !ProcessRuns(kMainExe); }, kStepTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(Nginx, NginxMainProgramTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Checked" : "Cleared";
                         });

// ---------------------------------------------------------------------------
// The updater's own executable

TEST_F(NginxUpdateTest, ReplacesItsOwnExecutableThroughTheScript) {
  ASSERT_NO_FATAL_FAILURE(ReplaceOwnExecutable());
}

// cmd reads the script in the console's code page: 437 on an English system,
// where the GBK bytes of a Chinese name would name another folder. Run by
// its own ctest entry with an English locale.
class EnglishLocaleTest : public NginxUpdateTest {
 protected:
  EnglishLocaleTest() { folder_name_ = "升级 测试"; }
};

TEST_F(EnglishLocaleTest, ReplacesItsOwnExecutableInAChineseFolder) {
  ASSERT_NE(GetOEMCP(), 936u) << "to be run with an English locale (LANG=C.UTF-8)";
  ASSERT_NO_FATAL_FAILURE(ReplaceOwnExecutable());
}

// Wine's cmd reads a "%" inside a substituted name as the start of a
// variable: a script that named its own folder would copy and rename into
// another one here, and leave the old updater.
class PercentFolderTest : public NginxUpdateTest {
 protected:
  PercentFolderTest() { folder_name_ = "app 100% & co"; }
};

TEST_F(PercentFolderTest, ReplacesItsOwnExecutableInAFolderNamedWithPercentAndAmpersand) {
  ASSERT_NO_FATAL_FAILURE(ReplaceOwnExecutable());
}

// ---------------------------------------------------------------------------
// An installation deeper than MAX_PATH allows for its staged files

class LongPathTest : public NginxUpdateTest {
 protected:
  LongPathTest() { folder_length_ = kLongFolderLength; }
};

TEST_F(LongPathTest, UpdatesFilesWhosePathsHave250CharactersAndMore) {
  ASSERT_EQ(base::WideFromGbk(folder_.path()).size(), kLongFolderLength + 1) << folder_.path();
  SiteDescription site;
  SiteServer server{"电信服务器", kServerFolder,
                    {{"a.txt", "2.0 readme\r\n"},
                     {"数据\\新 文件.dat", Noise(100000, 6)},
                     {"plugins\\deeper\\plugin.dll", Noise(5000, 7)}}};
  site.servers = {server};
  EXPECT_EQ(base::WideFromGbk(folder_.path() + "a.txt").size(), 254u);
  EXPECT_GT(base::WideFromGbk(StagingFolder() + "\\plugins\\deeper\\plugin.dll").size(), 280u);
  ASSERT_NO_FATAL_FAILURE(ServeSite(site));
  ASSERT_NO_FATAL_FAILURE(Install({{"a.txt", "1.0 readme\r\n"}}));

  ASSERT_NO_FATAL_FAILURE(UpdateToFinishPage(site));
  ExpectInstalled(server.files);
  ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
  ASSERT_NO_FATAL_FAILURE(Finish());
  EXPECT_FALSE(Exists(StagingFolder()));
}

// ---------------------------------------------------------------------------
// https

TEST_F(NginxUpdateTest, UpdatesOverHttps) {
  SiteDescription site;
  SiteServer server{"安全服务器", kServerFolder,
                    {{"readme.txt", "2.0 readme\r\n"},
                     {"数据\\新 文件.dat", Noise(100000, 5)},
                     {"说明 文档.txt", "中文说明\r\n"}}};
  site.servers = {server};
  NginxOptions options;
  options.tls = true;
  ASSERT_NO_FATAL_FAILURE(ServeSite(site, options));
  ASSERT_EQ(ConfigUrl(site).rfind("https://localhost:", 0), 0u) << ConfigUrl(site);
  ASSERT_NO_FATAL_FAILURE(Install({{"readme.txt", "1.0 readme\r\n"}}));

  ASSERT_NO_FATAL_FAILURE(UpdateToFinishPage(site));
  ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
  ASSERT_NO_FATAL_FAILURE(Finish());
  ExpectInstalled(server.files);
  EXPECT_FALSE(Exists(StagingFolder()));

  const std::vector<ServedRequest> requests = nginx_.Requests();
  EXPECT_EQ(requests.size(), 2 + server.files.size());
  for (const ServedRequest& request : requests) {
    EXPECT_EQ(request.scheme, "https") << request.path;
    EXPECT_EQ(request.status, 200) << request.path;
  }
}

// ---------------------------------------------------------------------------
// Transfers that break off and continue

// Partial files are named by a digest of their address; the one of the
// large file is the largest there.
constexpr char kPartialFolder[] = "update\\update\\p\\";
constexpr char kTimedOutRow[] = "连接服务器超时……";
// Large and slow enough to be broken off mid-way, quick enough for a test.
constexpr size_t kResumeSize = size_t{12} << 20;
constexpr int kResumeBytesPerS = 3 << 20;
// The watchdog's limit and a margin for a loaded machine.
constexpr int kStallTimeoutMs = 30000 + kStepTimeoutMs;

class ResumeUpdateTest : public NginxUpdateTest {
 protected:
  // A site whose release adds one large file, sent slowly.
  void ServeLargeFile(const std::string& content) {
    site_.servers = {SiteServer{"电信服务器", kServerFolder, {{kLargeName, content}}}};
    NginxOptions options;
    options.throttled_path = ServedPath(site_, site_.servers.front(), kLargeName);
    options.throttle_bytes_per_s = kResumeBytesPerS;
    ASSERT_NO_FATAL_FAILURE(ServeSite(site_, options));
  }
  // Starts the download and waits until the kept bytes reach `share` of it.
  void DownloadUntil(double share) {
    ASSERT_NO_FATAL_FAILURE(OpenContentPage(site_, "1.0", kNewerVersion));
    ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
    ASSERT_TRUE(WaitUntil([&] { return KeptBytes() >= static_cast<long long>(kResumeSize * share); },
                          kStepTimeoutMs))
        << "kept " << KeptBytes() << " bytes; " << DescribeState();
  }
  long long KeptBytes() const { return LargestFileIn(folder_.path() + kPartialFolder); }
  // The answers nginx logged for the large file, oldest first.
  std::vector<ServedRequest> LargeFileRequests() const {
    const std::string path = ServedPath(site_, site_.servers.front(), kLargeName);
    std::vector<ServedRequest> found;
    for (const ServedRequest& request : nginx_.Requests()) {
      if (request.path == path) found.push_back(request);
    }
    return found;
  }
  void ExpectCompleteAndFinish(const std::string& content) {
    ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
    EXPECT_TRUE(HoldsContent(folder_.path() + kLargeName, content));
    ASSERT_NO_FATAL_FAILURE(SetRunBox(false));
    ASSERT_NO_FATAL_FAILURE(Finish());
    EXPECT_FALSE(Exists(StagingFolder()));
  }
  // After Retry the wizard ends on the download page with the update done.
  void ExpectCompleteAfterRetryAndClose(const std::string& content) {
    ASSERT_TRUE(WaitForText(kUpdateComplete, kStepTimeoutMs)) << DescribeState();
    EXPECT_TRUE(HoldsContent(folder_.path() + kLargeName, content));
    ASSERT_TRUE(ClickWhenEnabled(kClose)) << DescribeState();
    ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value()) << DescribeState();
    EXPECT_FALSE(Exists(StagingFolder()));
  }


  SiteDescription site_;
};

// The link stalls at about 60 %: the watchdog ends the run, and Retry asks
// only for the bytes after those kept.
TEST_F(ResumeUpdateTest, RetryAfterAStallFetchesOnlyTheRest) {
  const std::string content = Noise(kResumeSize, 21);
  ASSERT_NO_FATAL_FAILURE(ServeLargeFile(content));
  ASSERT_NO_FATAL_FAILURE(DownloadUntil(0.6));
  ASSERT_TRUE(nginx_.Freeze());
  const bool timed_out = WaitUntil(
      [&] {
        const std::vector<Control> controls = Controls();
        const Control* next = FindByText(controls, "Button", kRetry);
        return next && next->enabled;
      },
      kStallTimeoutMs);
  const long long kept = KeptBytes();
  // Windows closes the connection when the watchdog closes the request a
  // read is blocked in; Wine's WinINet keeps it until the read returns, and
  // the thawed server would count what it sends into it. Closed here, as
  // Windows would have.
  const std::string url = nginx_.Url("/");
  CloseConnectionsToPort(url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2));
  ASSERT_TRUE(nginx_.Thaw());
  ASSERT_TRUE(timed_out) << DescribeState();
  EXPECT_TRUE(WaitForText(kTimedOutRow)) << DescribeState();
  ASSERT_GE(kept, static_cast<long long>(kResumeSize * 0.6));
  ASSERT_LT(kept, static_cast<long long>(kResumeSize));

  ASSERT_TRUE(ClickWhenEnabled(kRetry)) << DescribeState();
  ASSERT_NO_FATAL_FAILURE(ExpectCompleteAfterRetryAndClose(content));
  const std::vector<ServedRequest> requests = LargeFileRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().status, 206);
  EXPECT_EQ(requests.back().bytes, static_cast<long long>(kResumeSize) - kept);
  // What had arrived before the stall was on disk: the stall cost at most
  // 1 % of the file.
  long long sent = 0;
  for (const ServedRequest& request : requests) sent += request.bytes;
  RecordProperty("sent_per_file", std::to_string(static_cast<double>(sent) / kResumeSize));
  EXPECT_LE(sent, static_cast<long long>(kResumeSize) + static_cast<long long>(kResumeSize) / 100);
}

// The wizard is closed mid-file and started again: the next run continues
// the kept bytes. When the file was replaced on the server meanwhile, its
// new validator makes the server send the new file whole.
class ClosedMidFileTest : public ResumeUpdateTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ClosedMidFileTest, NextRunContinuesOrFetchesTheReplacedFileWhole) {
  const bool replaced = GetParam();
  const std::string first = Noise(kResumeSize, 22), second = Noise(kResumeSize, 23);
  ASSERT_NO_FATAL_FAILURE(ServeLargeFile(first));
  ASSERT_NO_FATAL_FAILURE(DownloadUntil(0.4));
  ASSERT_TRUE(PostMessageW(main_window_, WM_CLOSE, 0, 0));
  ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value()) << DescribeState();
  const long long kept = KeptBytes();
  ASSERT_GE(kept, static_cast<long long>(kResumeSize * 0.4)) << "the kept bytes went at exit";
  const std::string& wanted = replaced ? second : first;
  if (replaced) {
    // A new release under the same version, as a vendor who mends a file.
    site_.servers.front().files = {{kLargeName, second}};
    std::string error;
    ASSERT_TRUE(BuildSite(site_, nginx_.SiteFolder(), &error)) << error;
  }
  updater_.Reset();
  main_window_ = nullptr;

  ASSERT_NO_FATAL_FAILURE(OpenContentPage(site_, "1.0", kNewerVersion));
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_NO_FATAL_FAILURE(ExpectCompleteAndFinish(wanted));
  // nginx logs the broken-off answer once it notices, which may be late, so
  // the answers are told apart by status and size rather than by order.
  std::vector<long long> continued, whole;
  for (const ServedRequest& request : LargeFileRequests()) {
    if (request.status == 206) continued.push_back(request.bytes);
    if (request.status == 200 && request.bytes == static_cast<long long>(kResumeSize)) whole.push_back(request.bytes);
  }
  EXPECT_EQ(continued, replaced ? std::vector<long long>{} : std::vector<long long>{kResumeSize - kept});
  EXPECT_EQ(whole.size(), replaced ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Server, ClosedMidFileTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FileReplaced" : "FileUnchanged"; });

}  // namespace
}  // namespace e2e
