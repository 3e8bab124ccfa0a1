// "updpub publish": what it refuses, that a refusal or a failure at any step
// leaves the site as it was, and what it keeps from the current site.
#include <gtest/gtest.h>

#include <functional>

#include "site/update_config.h"
#include "tool_support.h"
#include "xml/xml_document.h"

namespace {

using namespace tool_testing;

// A site already published once, and a new release to publish over it.
class SiteWithRelease {
 public:
  SiteWithRelease() {
    WriteRelease(scratch_.path() / "old", {{"a.txt", "old a"}, {"keep.txt", "kept"}});
    const updpub::PublishResult first = updpub::Publish(Options(old(), site(), "1.0"), updpub::HostSiteFiles(), nullptr);
    EXPECT_EQ(first.exitCode, updpub::kPublished);
    WriteRelease(release(), SmallRelease());
  }
  fs::path old() const { return scratch_.path() / "old"; }
  fs::path release() const { return scratch_.path() / "release"; }
  fs::path site() const { return scratch_.path() / "site"; }
  fs::path scratch() const { return scratch_.path(); }

 private:
  ScratchFolder scratch_;
};

std::string Reasons(const updpub::PublishResult& result) {
  std::string text;
  for (const updpub::Refusal& refusal : result.refusals) text += refusal.file + ": " + refusal.reason + "\n";
  return text + result.failure;
}

struct BadInput {
  const char* name;
  std::function<void(SiteWithRelease&, updpub::PublishOptions&)> spoil;
  const char* says;
};

// Rows print as their names; their members are functions and pointers.
void PrintTo(const BadInput& row, std::ostream* out) { *out << row.name; }

class BadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, IsRefusedAndTheSiteStaysAsItWas) {
  SiteWithRelease fixture;
  updpub::PublishOptions options = Options(fixture.release(), fixture.site(), "2.0");
  GetParam().spoil(fixture, options);
  const auto before = Snapshot(fixture.site());
  const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
  EXPECT_EQ(result.exitCode, updpub::kPublishRefused) << Reasons(result);
  EXPECT_NE(Reasons(result).find(GetParam().says), std::string::npos) << Reasons(result);
  EXPECT_EQ(Snapshot(fixture.site()), before);
}

void AddFile(SiteWithRelease& f, const std::string& name) { WriteBytes(f.release() / name, "x"); }

const BadInput kBadInputs[] = {
        BadInput{"NameWithColon", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "a:b.txt"); },
                 "a:b.txt: the name leaves the program folder"},
        BadInput{"NameOutsideGbk", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, u8"smile😀.txt"); },
                 "GBK code page cannot hold"},
        BadInput{"NameNotUtf8", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "\xB2\xE2.txt"); },
                 "GBK code page cannot hold"},
        BadInput{"NameWithEquals", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "a=b.txt"); },
                 "ends an attribute value at '='"},
        BadInput{"NameWindowsCannotHold", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "a|b.txt"); },
                 "Windows file names cannot hold '|'"},
        BadInput{"NameWithTrailingDot", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "sub./c.txt"); },
                 "trailing dot"},
        BadInput{"DeviceName", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "con.txt"); },
                 "device name"},
        BadInput{"PercentUnderUtf8Scheme", [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "100%.txt"); },
                 "sends '%' unescaped"},
        BadInput{"NamesDifferInCaseOnly",
                 [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "A.TXT"); }, "only in letter case"},
        BadInput{"StagingFolderInRelease",
                 [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "Update/x.dll"); },
                 "staging folder \"update\""},
        BadInput{"FileListInRelease",
                 [](SiteWithRelease& f, updpub::PublishOptions&) { AddFile(f, "filelist.xml"); },
                 "file list of the version"},
        BadInput{"EmptyRelease",
                 [](SiteWithRelease& f, updpub::PublishOptions& o) {
                   fs::create_directories(f.scratch() / "empty");
                   o.from = f.scratch() / "empty";
                 },
                 "holds no file"},
        BadInput{"TooManyServers",
                 [](SiteWithRelease&, updpub::PublishOptions& o) {
                   o.servers.clear();
                   for (int i = 0; i < 11; ++i)
                     o.servers.emplace_back("S" + std::to_string(i), "http://h/" + std::to_string(i) + "/");
                 },
                 "shows only the first 10"},
        BadInput{"EmptySoftName", [](SiteWithRelease&, updpub::PublishOptions& o) { o.softName = ""; },
                 "soft name is empty"},
        BadInput{"SoftNameWithSpaceAtEnd", [](SiteWithRelease&, updpub::PublishOptions& o) { o.softName = "x "; },
                 "drops white space"},
        BadInput{"EmptyVersion", [](SiteWithRelease&, updpub::PublishOptions& o) { o.version = ""; },
                 "version is empty"},
        BadInput{"VersionWithSlash", [](SiteWithRelease&, updpub::PublishOptions& o) { o.version = "../2.0"; },
                 "use only letters"},
        BadInput{"AddrWithoutSlash",
                 [](SiteWithRelease&, updpub::PublishOptions& o) { o.servers = {{"A", "http://h/srv"}}; },
                 "does not end in '/'"},
        BadInput{"AddrWithEquals",
                 [](SiteWithRelease&, updpub::PublishOptions& o) { o.servers = {{"A", "http://h/get?f=x/"}}; },
                 "ends an attribute value at '='"},
        BadInput{"QueryUnderLocalScheme",
                 [](SiteWithRelease&, updpub::PublishOptions& o) {
                   o.utf8Urls = false;
                   o.servers = {{"A", "http://h/get?x/"}};
                 },
                 "local URL scheme escapes"},
        BadInput{"LogOutsideGbk",
                 [](SiteWithRelease& f, updpub::PublishOptions& o) {
                   WriteBytes(f.scratch() / "log.txt", u8"修正 😀");
                   o.logFile = f.scratch() / "log.txt";
                 },
                 "GBK code page cannot hold"},
        BadInput{"SiteInsideRelease",
                 [](SiteWithRelease& f, updpub::PublishOptions& o) {
                   o.from = f.scratch();
                   o.site = f.site();
                 },
                 "lies inside the release"},
        BadInput{"UnreadableCurrentConfiguration",
                 [](SiteWithRelease& f, updpub::PublishOptions&) {
                   WriteBytes(f.site() / "update.xml", "<Update><Setting></Update>");
                 },
                 "cannot read the current configuration"}};

INSTANTIATE_TEST_SUITE_P(Inputs, BadInputTest, testing::ValuesIn(kBadInputs),
    [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST(PublishFailure, AtEveryStepLeavesThePreviousSite) {
  SiteWithRelease fixture;
  // Publishing the same version again replaces its folder: the hardest case.
  updpub::PublishOptions options = Options(fixture.release(), fixture.site(), "1.0");
  options.softName = "new name";
  const auto before = Snapshot(fixture.site());
  int step = 1;
  for (;; ++step) {
    FailingSiteFiles files(step);
    const updpub::PublishResult result = updpub::Publish(options, files, nullptr);
    if (result.exitCode == updpub::kPublished) break;
    EXPECT_NE(result.exitCode, updpub::kPublished);
    ASSERT_EQ(Snapshot(fixture.site()), before) << "failure at step " << step << ": " << Reasons(result);
    ASSERT_LT(step, 100);
  }
  // Reading the site, folders, four copies, two documents written and read
  // back, three renames: every one of them was made to fail once.
  EXPECT_GE(step, 12);
  EXPECT_EQ(ReadBytes(fixture.site() / "1.0" / "short.txt"), SmallRelease().at("short.txt"));
  EXPECT_FALSE(fs::exists(fixture.site() / "1.0" / "keep.txt"));
  for (const auto& entry : fs::directory_iterator(fixture.site()))
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
}

TEST(Publish, KeepsWhatTheCommandLineDoesNotGive) {
  SiteWithRelease fixture;
  WriteBytes(fixture.scratch() / "log.txt", "first log");
  updpub::PublishOptions first = Options(fixture.old(), fixture.site(), "1.0");
  first.logFile = fixture.scratch() / "log.txt";
  first.adCode = "<a href=\"https://example.com/\">home</a>";
  first.mainExe = "Main.exe";
  first.servers = {{"A", "http://a.example.com/"}, {"B", "http://b.example.com/"}};
  ASSERT_EQ(updpub::Publish(first, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);

  updpub::PublishOptions second;
  second.from = fixture.release();
  second.site = fixture.site();
  second.version = "2.0";
  ASSERT_EQ(updpub::Publish(second, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);

  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(ReadBytes(fixture.site() / "update.xml")));
  engine::UpdateConfig config;
  engine::ParseConfig(document, config);
  EXPECT_EQ(config.Version, "2.0");
  EXPECT_EQ(config.SoftName, "测试软件");
  EXPECT_EQ(config.Log, "first log");
  EXPECT_EQ(config.AdCode, "<a href=\"https://example.com/\">home</a>");
  EXPECT_EQ(config.MainExe, "Main.exe");
  EXPECT_TRUE(config.UTF8Encode);
  ASSERT_EQ(config.ServerCount, 2);
  EXPECT_EQ(config.Servers[1].Addr, "http://b.example.com/");
  // The earlier version stays for clients that still fetch it.
  EXPECT_EQ(ReadBytes(fixture.site() / "1.0" / "keep.txt"), "kept");
}

TEST(NormalisedLog, EveryLineBreakBecomesCrLfAndEndsAreTrimmed) {
  EXPECT_EQ(updpub::NormalisedLog("\xEF\xBB\xBF\n a\nb\r\n\r\nc\rd \n\n"), "a\r\nb\r\n\r\nc\r\nd");
}

}  // namespace
