// Awkward values published and read back through the updater's own reader,
// independently of the tool's own read-back comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/gbk_text.h"
#include "site/file_list.h"
#include "site/update_config.h"
#include "tool_support.h"
#include "updpub/check/site_check.h"
#include "xml/xml_document.h"

namespace {

using namespace tool_testing;

engine::UpdateConfig ReadConfig(const fs::path& site) {
  xml::XmlDocument document;
  EXPECT_TRUE(document.LoadFromBytes(ReadBytes(site / "update.xml")));
  EXPECT_TRUE(engine::IsUpdateConfig(document));
  engine::UpdateConfig config;
  engine::ParseConfig(document, config);
  return config;
}

std::vector<engine::FileEntry> ReadList(const fs::path& listPath) {
  xml::XmlDocument document;
  EXPECT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(listPath))));
  engine::SkippedNames skipped;
  std::vector<engine::FileEntry> entries = engine::ReadServerFileList(document, &skipped);
  EXPECT_TRUE(skipped.leavingFolder.empty() && skipped.inStagingFolder.empty());
  return entries;
}

std::string Gbk(const std::string& utf8) { return base::GbkFromUtf8(utf8); }

class AwkwardTextTest : public testing::TestWithParam<std::string> {};

// Each value goes into every text field, and into a server's name when an
// attribute can hold it.
TEST_P(AwkwardTextTest, EveryFieldReadsBackAsGiven) {
  ScratchFolder scratch;
  const std::string value = GetParam();
  WriteRelease(scratch.path() / "release", {{"a.txt", "a"}});
  WriteBytes(scratch.path() / "log.txt", value);
  updpub::PublishOptions options = Options(scratch.path() / "release", scratch.path() / "site", "2.0");
  options.softName = options.shortName = options.mainExe = options.adCode = value;
  options.logFile = scratch.path() / "log.txt";
  const bool attributeCanHold = value.find('=') == std::string::npos;
  if (attributeCanHold) options.servers = {{value, "http://mirror.test/srv1/"}, {"second", "http://mirror.test/srv2/"}};

  const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
  ASSERT_EQ(result.exitCode, updpub::kPublished) << (result.refusals.empty() ? "" : result.refusals[0].reason);

  const engine::UpdateConfig config = ReadConfig(scratch.path() / "site");
  EXPECT_EQ(config.SoftName, Gbk(value));
  EXPECT_EQ(config.ShortName, Gbk(value));
  EXPECT_EQ(config.MainExe, Gbk(value));
  EXPECT_EQ(config.AdCode, Gbk(value));
  EXPECT_EQ(config.Log, Gbk(value));
  EXPECT_EQ(config.Version, "2.0");
  EXPECT_TRUE(config.UTF8Encode);
  if (attributeCanHold) {
    ASSERT_EQ(config.ServerCount, 2);
    EXPECT_EQ(config.Servers[0].Name, Gbk(value));
    EXPECT_EQ(config.Servers[1].Addr, "http://mirror.test/srv2/");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, AwkwardTextTest,
    testing::Values(std::string("He said \"hi\" & 'bye' <b>bold</b>"),
                    std::string(u8"测试软件 “引号” 《书名》 ＆ 全角"),
                    std::string("&quote; &quot; &amp; &#65; &lt;x&gt; & ; &"),
                    std::string("]]> ends CDATA, <!-- is no comment --> and <![CDATA[x]]> stays"),
                    std::string(u8"<a href=\"https://example.com/?q=1&lang=zh\">访问 \"官网\"</a>"),
                    std::string(u8"€ 5, 盶盷盵眧: second bytes \\ ] [ |"),
                    std::string(u8"/ slash \\ backslash @1 @")));

TEST(RoundTrip, LongLogWithBlankLinesKeepsEveryLineWithWindowsBreaks) {
  ScratchFolder scratch;
  std::string log;
  std::string expected;
  for (int i = 0; i < 400; ++i) {
    const std::string line = i % 3 == 2 ? "" : std::string(u8"第") + std::to_string(i) + u8" 行：修正 <问题> & \"引号\"";
    log += line + "\n";
    expected += line + "\r\n";
  }
  expected.erase(expected.size() - 2);  // the last line break is white space at the end
  WriteRelease(scratch.path() / "release", {{"a.txt", "a"}});
  WriteBytes(scratch.path() / "log.txt", "\xEF\xBB\xBF\n\n" + log + "\n\n");
  updpub::PublishOptions options = Options(scratch.path() / "release", scratch.path() / "site", "2.0");
  options.logFile = scratch.path() / "log.txt";
  ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  EXPECT_EQ(ReadConfig(scratch.path() / "site").Log, Gbk(expected));
}

TEST(RoundTrip, ServerAddressWithQueryAndServersInOrder) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", {{"a.txt", "a"}});
  updpub::PublishOptions options = Options(scratch.path() / "release", scratch.path() / "site", "2.0");
  options.servers = {{u8"电信 \"主\" & <备>", "http://mirror.example.com:8080/get.php?dl&mirror/"},
                     {"it's B", "https://b.example.com/~u/a+b/"},
                     {u8"网通", "http://127.0.0.1/srv/"}};
  ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  const engine::UpdateConfig config = ReadConfig(scratch.path() / "site");
  ASSERT_EQ(config.ServerCount, 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(config.Servers[i].Name, Gbk(options.servers[i].first));
    EXPECT_EQ(config.Servers[i].Addr, options.servers[i].second);
  }
}

// Names the list holds, the files under the names each scheme fetches, and a
// check that finds them all.
class FileNameRoundTrip : public testing::TestWithParam<bool> {};

TEST_P(FileNameRoundTrip, ListsAndServesEveryName) {
  const bool utf8 = GetParam();
  ScratchFolder scratch;
  std::map<std::string, std::string> release = {
      {"a&b.txt", "1"}, {"it's here.txt", "2"}, {u8"中文 目录/文件 (1).txt", "3"}, {"semi;colon,comma.txt", "4"},
      {"[x]{y}.txt", "5"}, {"~tilde+plus.txt", "6"}, {u8"盶盷/盵眧.dll", "7"}, {"empty.bin", ""}};
  if (!utf8) {
    release["#hash.txt"] = "8";
    release["100%.txt"] = "9";
  }
  WriteRelease(scratch.path() / "release", release);
  const fs::path site = scratch.path() / "site";
  updpub::PublishOptions options = Options(scratch.path() / "release", site, "2.0");
  options.utf8Urls = utf8;
  ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);

  std::map<std::string, std::string> expected;  // GBK name -> Hash
  for (const auto& [name, content] : release) {
    std::string listName = Gbk(name);
    for (size_t i = 0; i < listName.size(); ++i) {
      if (static_cast<unsigned char>(listName[i]) >= 0x81) {
        ++i;
      } else if (listName[i] == '/') {
        listName[i] = '\\';
      }
    }
    expected[listName] = CrcHex(content);
    // Stored under the bytes a server looks up for the scheme.
    const std::string stored = utf8 ? name : Gbk(name);
    EXPECT_EQ(ReadBytes(site / "2.0" / stored), content) << name;
  }
  std::map<std::string, std::string> listed;
  for (const engine::FileEntry& entry : ReadList(site / "2.0" / "filelist.xml")) listed[entry.Name] = entry.Hash;
  EXPECT_EQ(listed, expected);

  FolderHttp unused(scratch.path());
  const updpub::CheckReport report = updpub::CheckSite(updpub::CheckOptions{site.string(), std::nullopt}, unused);
  EXPECT_EQ(report.errors + report.warnings, 0) << updpub::FindingLine(report.findings.at(0));
}

INSTANTIATE_TEST_SUITE_P(Schemes, FileNameRoundTrip, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Utf8" : "Local"; });

}  // namespace
