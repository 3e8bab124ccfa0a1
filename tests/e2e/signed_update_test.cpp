// Signed update sites against nginx: published with updpub --sign, served as
// published or tampered with, and updated from with the updater built with
// the test keys, the old and the next one (Update_signed.exe), and with the
// plain one (Update.exe).
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "e2e/harness.h"
#include "e2e/host_files.h"
#include "e2e/wizard_texts.h"
#include "e2e/nginx_server.h"
#include "support/crc_patch.h"

namespace e2e {
namespace {

constexpr char kConfigSignatureInvalid[] = "配置信息签名无效，已停止升级。";
constexpr char kConfigExpired[] = "配置信息已过期，已停止升级。";
constexpr char kConfigOlderVersion[] = "配置信息版本低于本地版本，已停止升级。";
constexpr char kLatestVersion[] = "恭喜！您使用的已经是最新版本。";
constexpr char kListSignatureInvalid[] = "文件列表签名无效！";
constexpr char kListMismatch[] = "文件列表与配置不符！";
constexpr char kStagingFolder[] = "update";
constexpr char kSoftName[] = "SignedApp";
constexpr char kVersion[] = "2.0";
// Five attempts with their pauses take some twenty seconds.
constexpr int kDownloadFailureTimeoutMs = 90000;

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// ---------------------------------------------------------------------------

struct Published {
  std::string config_url;
  std::string site;  // host path of the served folder
};

class SignedUpdateTest : public UpdaterTest {
 protected:
  void SetUp() override {
    if (!NginxServer::Installed()) GTEST_SKIP() << "nginx cannot start: no " << NginxServer::Executable();
    updpub_ = EnvironmentText("UPDATER_UPDPUB");
    keys_ = EnvironmentText("UPDATER_KEYS");
    ASSERT_FALSE(updpub_.empty()) << "UPDATER_UPDPUB must name the host's updpub";
    ASSERT_FALSE(keys_.empty()) << "UPDATER_KEYS must name the test keys' folder";
    ASSERT_TRUE(nginx_.Start({})) << nginx_.error();
    release_ = UniqueHostPath("release");
  }
  void TearDown() override {
    UpdaterTest::TearDown();
    nginx_.Stop();
    RunHostScript("rm -rf " + Quoted(release_));
  }

  // The program folder with a copy of the updater in `exe_variable` and the
  // installed files of 1.0.
  void Install(const char* exe_variable) {
    const std::string exe = EnvironmentText(exe_variable);
    ASSERT_FALSE(exe.empty()) << exe_variable << " must be set";
    ASSERT_TRUE(folder_.Create(exe, ProgramFolder::Where::kTemporary));
    for (const auto& [name, content] : installed_) ASSERT_TRUE(WriteBytes(folder_.path() + name, content)) << name;
    before_ = Tree(folder_.path());
  }

  // Publishes `files` as `version` into the served site with updpub.
  void Publish(const std::map<std::string, std::string>& files, const std::string& version = kVersion,
               const std::string& key = "test.key", const std::string& extra = "") {
    const std::string release = release_ + "/" + version;
    for (const auto& [name, content] : files) {
      std::string path = WindowsPathOf(release) + "\\" + name;
      ASSERT_TRUE(WriteBytes(path, content)) << path;
    }
    const HostResult result = RunHostScript(
        Quoted(updpub_) + " publish --from " + Quoted(release) + " --version " + version + " --site " +
        Quoted(nginx_.SiteFolder()) + " --soft-name " + kSoftName + " --main-exe Main.exe --server " +
        Quoted("Main=" + nginx_.Url("/")) + " --sign " + Quoted(keys_ + "/" + key) + " " + extra);
    ASSERT_TRUE(result.finished) << "updpub did not finish";
    ASSERT_EQ(result.status, 0) << result.output;
  }
  std::string Served(const std::string& relative) const {
    return WindowsPathOf(nginx_.SiteFolder() + "/" + relative);
  }
  void FlipByte(const std::string& relative, char from, char to) {
    std::string content = ReadBytes(Served(relative)).value_or("");
    const size_t at = content.find(from, content.size() / 2);
    ASSERT_NE(at, std::string::npos) << relative;
    content[at] = to;
    ASSERT_TRUE(WriteBytes(Served(relative), content));
  }

  // Signs a document of the site again with the test key (openssl on the
  // host, its DER signature cut into r||s), after the test changed it.
  void Resign(const std::string& relative) {
    const std::string document = nginx_.SiteFolder() + "/" + relative;
    const HostResult result = RunHostScript(
        "set -e\nopenssl dgst -sha256 -sign " + Quoted(keys_ + "/test.key") + " -out " + Quoted(document + ".der") +
        " " + Quoted(document) + "\npython3 - " + Quoted(document + ".der") + " " + Quoted(document + ".sig") +
        " <<'EOF'\n"
        "import sys\n"
        "der = open(sys.argv[1], 'rb').read()\n"
        "def integer(at):\n"
        "    assert der[at] == 2\n"
        "    size = der[at + 1]\n"
        "    return int.from_bytes(der[at + 2:at + 2 + size], 'big'), at + 2 + size\n"
        "r, at = integer(2)\n"
        "s, _ = integer(at)\n"
        "open(sys.argv[2], 'wb').write(r.to_bytes(32, 'big') + s.to_bytes(32, 'big'))\n"
        "EOF\nrm " + Quoted(document + ".der"));
    ASSERT_TRUE(result.finished && result.status == 0) << result.output;
  }

  void Start(const std::string& installed_version = "1.0") {
    ASSERT_TRUE(StartUpdater(nginx_.Url("/update.xml") + " " + installed_version));
    ASSERT_TRUE(updater_.WaitForMainWindow(kStepTimeoutMs)) << DescribeState();
    main_window_ = updater_.MainWindow();
  }

  const Control* Button(const std::vector<Control>& controls, std::string_view caption) {
    return FindControl(controls,
                       [&](const Control& c) { return c.page.empty() && c.class_name == "Button" && c.text == caption; });
  }
  bool ClickWhenEnabled(std::string_view caption) {
    HWND button = nullptr;
    return WaitUntil(
               [&] {
                 const std::vector<Control> controls = Controls();
                 const Control* found = Button(controls, caption);
                 if (!found || !found->enabled || !found->visible) return false;
                 button = found->hwnd;
                 return true;
               },
               kStepTimeoutMs) &&
           Click(button);
  }

  // Stops at page 1 with `text`; only the configuration and its signature
  // were asked for.
  void ExpectStopAtConfiguration(const char* text, const std::string& installed_version = "1.0") {
    ASSERT_NO_FATAL_FAILURE(Start(installed_version));
    EXPECT_TRUE(WaitForText(text, kStepTimeoutMs)) << DescribeState();
    EXPECT_EQ(VisiblePage(Controls()), kReadConfigPage) << DescribeState();
    Screenshot(main_window_, "page1");
    for (const ServedRequest& request : nginx_.Requests()) {
      EXPECT_TRUE(request.path == "/update.xml" || request.path == "/update.xml.sig") << request.path;
    }
  }

  // Stops at page 3 with `text` in the status, Next disabled, Previous enabled.
  void ExpectStopAtFileList(const char* text) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(PassServerPage(text, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(WaitUntil([&] {
      const std::vector<Control> controls = Controls();
      const Control* prev = Button(controls, kPrev);
      return prev && prev->enabled;
    })) << DescribeState();
    const std::vector<Control> controls = Controls();
    const Control* next = Button(controls, kNext);
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->enabled) << DescribeState();
    Screenshot(main_window_, "page3");
    // No file of the release was asked for.
    const std::string list = std::string("/") + kVersion + "/filelist.xml";
    for (const ServedRequest& request : nginx_.Requests()) {
      EXPECT_TRUE(request.path == "/update.xml" || request.path == "/update.xml.sig" || request.path == list ||
                  request.path == list + ".sig")
          << request.path;
    }
  }

  void ExpectInstalledUnchanged(bool staging_allowed = false) {
    std::map<std::string, std::string> after = Tree(folder_.path());
    if (staging_allowed) {
      for (auto it = after.begin(); it != after.end();) {
        it = it->first.rfind(std::string(kStagingFolder) + "\\", 0) == 0 ? after.erase(it) : std::next(it);
      }
    }
    EXPECT_EQ(after.size(), before_.size());
    for (const auto& [name, content] : before_) {
      const auto it = after.find(name);
      EXPECT_TRUE(it != after.end() && it->second == content) << name << " changed";
    }
  }

  void UpdateToFinish() {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(PassServerPage(kNewerVersion, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
    ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
    const std::vector<Control> controls = Controls();
    const Control* box = FindOnPage(controls, kFinishPage, "Button");
    ASSERT_NE(box, nullptr);
    if (box->checked == BST_CHECKED) {
      ASSERT_TRUE(Click(box->hwnd));
    }
    ASSERT_TRUE(WaitUntil([&] {
      const std::vector<Control> now = Controls();
      const Control* b = FindOnPage(now, kFinishPage, "Button");
      return b && b->checked == BST_UNCHECKED;
    }));
    ASSERT_TRUE(ClickWhenEnabled(kFinish)) << DescribeState();
    ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value()) << DescribeState();
  }

  void ExpectInstalled(const std::map<std::string, std::string>& release) {
    const std::map<std::string, std::string> after = Tree(folder_.path());
    for (const auto& [name, content] : release) {
      const auto it = after.find(name);
      EXPECT_TRUE(it != after.end() && it->second == content) << name << " not the release's";
    }
    EXPECT_EQ(after.count("config.ini"), 1u);
    for (const auto& [name, content] : after) EXPECT_NE(name.rfind(kStagingFolder, 0), 0u) << name << " left";
  }

  std::map<std::string, std::string> installed_ = {
      {"readme.txt", "1.0 readme\r\n"}, {"lib\\keep.bin", Noise(70000, 1)}, {"config.ini", "[user]\r\n"}};
  std::map<std::string, std::string> release_files_ = {
      {"readme.txt", "2.0 readme\r\n"}, {"lib\\keep.bin", installed_["lib\\keep.bin"]},
      {"lib\\new.dll", Noise(300000, 2)}, {"data\\more.dat", Noise(5000, 3)}};
  NginxServer nginx_;
  std::string updpub_, keys_, release_;
  std::map<std::string, std::string> before_;
};

TEST_F(SignedUpdateTest, SignedSiteUpdatesAsBefore) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());
  ExpectInstalled(release_files_);
  EXPECT_EQ(Tree(folder_.path()).at("config.ini"), installed_["config.ini"]);
}

TEST_F(SignedUpdateTest, UnsignedUpdaterIgnoresTheSignatures) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_EXE"));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());
  ExpectInstalled(release_files_);
  for (const ServedRequest& request : nginx_.Requests()) {
    EXPECT_EQ(request.path.find(".sig"), std::string::npos) << request.path << " asked for";
  }
}

TEST_F(SignedUpdateTest, SiteSignedWithTheNextKeyUpdates) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_, kVersion, "next.key"));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());
  ExpectInstalled(release_files_);
}

// A genuine, unexpired site one version below the installed one: 1.9 is
// below 1.10 only as numbers.
TEST_F(SignedUpdateTest, ConfigurationBelowTheInstalledVersionStopsAtPageOne) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_, "1.9"));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtConfiguration(kConfigOlderVersion, "1.10");
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, ConfigurationOfTheInstalledVersionEndsAtTheFinishPage) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ASSERT_NO_FATAL_FAILURE(Start(kVersion));
  ASSERT_TRUE(PassServerPage(kLatestVersion, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, ChangedConfigurationStopsAtPageOne) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_NO_FATAL_FAILURE(FlipByte("update.xml", 'M', 'N'));  // the main program's name
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtConfiguration(kConfigSignatureInvalid);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, ConfigurationSignedByAnotherKeyStopsAtPageOne) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_, kVersion, "other.key"));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtConfiguration(kConfigSignatureInvalid);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, MissingConfigurationSignatureStopsAtPageOne) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_TRUE(DeleteFileW(base::WideFromGbk(Served("update.xml.sig")).c_str()));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtConfiguration(kConfigSignatureInvalid);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, ExpiredConfigurationStopsAtPageOne) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  std::string config = ReadBytes(Served("update.xml")).value_or("");
  const size_t at = config.find("Expires=\"");
  ASSERT_NE(at, std::string::npos);
  config.replace(at, config.find('"', at + 9) + 1 - at, "Expires=\"1700000000\"");
  ASSERT_TRUE(WriteBytes(Served("update.xml"), config));
  ASSERT_NO_FATAL_FAILURE(Resign("update.xml"));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtConfiguration(kConfigExpired);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, ChangedFileListStopsAtPageThree) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_NO_FATAL_FAILURE(FlipByte(std::string(kVersion) + "/filelist.xml", 'a', 'b'));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtFileList(kListSignatureInvalid);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, MissingFileListSignatureStopsAtPageThree) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  ASSERT_TRUE(DeleteFileW(base::WideFromGbk(Served(std::string(kVersion) + "/filelist.xml.sig")).c_str()));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtFileList(kListSignatureInvalid);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, FileListOfAnotherVersionStopsAtPageThree) {
  // Both lists genuine: the older one is served in the newer one's place.
  ASSERT_NO_FATAL_FAILURE(Publish(installed_, "1.9"));
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  for (const char* name : {"filelist.xml", "filelist.xml.sig"}) {
    ASSERT_TRUE(CopyFileW(base::WideFromGbk(Served(std::string("1.9/") + name)).c_str(),
                          base::WideFromGbk(Served(std::string(kVersion) + "/" + name)).c_str(), FALSE));
  }
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));
  ExpectStopAtFileList(kListMismatch);
  ExpectInstalledUnchanged();
}

TEST_F(SignedUpdateTest, FileWithTheListedCrcButAnotherSha256IsNeverInstalled) {
  ASSERT_NO_FATAL_FAILURE(Publish(release_files_));
  // Four bytes appended restore the CRC-32 the list names.
  const std::string served = Served(std::string(kVersion) + "\\lib\\new.dll");
  const std::string genuine = ReadBytes(served).value_or("");
  ASSERT_EQ(genuine, release_files_["lib\\new.dll"]);
  ASSERT_TRUE(WriteBytes(served, genuine + testing_support::CrcRestoringSuffix(genuine)));
  ASSERT_NO_FATAL_FAILURE(Install("UPDATER_SIGNED_EXE"));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(WaitForPage(kServerPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_TRUE(WaitForPage(kContentPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(ClickWhenEnabled(kNext)) << DescribeState();
  ASSERT_TRUE(WaitForPage(kDownloadPage, kStepTimeoutMs)) << DescribeState();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<Control> controls = Controls();
        const Control* list = FindOnPage(controls, kDownloadPage, "SysListView32");
        if (!list) return false;
        for (const Item& row : list->items) {
          if (row.text == kDownloadFailed) return true;
        }
        return false;
      },
      kDownloadFailureTimeoutMs))
      << DescribeState();
  Screenshot(main_window_, "page4");
  // The rejected copy may wait in the staging folder for a retry; nothing
  // installed changed.
  ExpectInstalledUnchanged(true);
}

}  // namespace
}  // namespace e2e
