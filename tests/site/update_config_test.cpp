#include "site/update_config.h"

#include <gtest/gtest.h>

#include <string>

#include "xml/xml_document.h"

namespace {

using engine::ParseConfig;
using engine::UpdateConfig;

std::string ConfigWith(const std::string& setting, const std::string& rest = "") {
  return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n<Update>\r\n<Setting>\r\n" + setting +
         "\r\n</Setting>\r\n" + rest + "</Update>\r\n";
}

class ParseConfigTest : public ::testing::Test {
 protected:
  UpdateConfig Parse(const std::string& text) {
    EXPECT_TRUE(document_.LoadFromBytes(text.data(), text.size())) << text;
    UpdateConfig config = initial_;
    ParseConfig(document_, config);
    return config;
  }

  xml::XmlDocument document_;
  UpdateConfig initial_;
};

TEST_F(ParseConfigTest, ReadsEveryField) {
  const UpdateConfig config = Parse(ConfigWith(
      "<SoftName> 测试软件 </SoftName><ShortName>Tool</ShortName><UTF8Encode>1</UTF8Encode>"
      "<MainExe>Main.exe</MainExe><AdCode><![CDATA[<a href=\"http://x/\">官网</a>]]></AdCode>"
      "<Version>2.0.1</Version>",
      "<Log><![CDATA[\r\n1. 修正 <b> & more\r\n]]></Log>"));
  EXPECT_EQ(config.SoftName, "测试软件");
  EXPECT_EQ(config.ShortName, "Tool");
  EXPECT_TRUE(config.UTF8Encode);
  EXPECT_EQ(config.MainExe, "Main.exe");
  EXPECT_EQ(config.AdCode, "<a href=\"http://x/\">官网</a>");
  EXPECT_EQ(config.Version, "2.0.1");
  EXPECT_EQ(config.Log, "1. 修正 <b> & more");
  EXPECT_EQ(config.ServerCount, 0);
}

class Utf8FlagTest : public ParseConfigTest,
                     public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(Utf8FlagTest, OnlyZeroOrNothingMeansOff) {
  const auto& [element, expected] = GetParam();
  EXPECT_EQ(Parse(ConfigWith(std::string("<SoftName>A</SoftName>") + element)).UTF8Encode, expected)
      << element;
}

INSTANTIATE_TEST_SUITE_P(
    Values, Utf8FlagTest,
    ::testing::Values(std::make_pair("<UTF8Encode>0</UTF8Encode>", false),
                      std::make_pair("<UTF8Encode> 0 </UTF8Encode>", false),
                      std::make_pair("<UTF8Encode></UTF8Encode>", false), std::make_pair("", false),
                      std::make_pair("<UTF8Encode>1</UTF8Encode>", true),
                      std::make_pair("<UTF8Encode>true</UTF8Encode>", true),
                      std::make_pair("<UTF8Encode>false</UTF8Encode>", true),
                      std::make_pair("<UTF8Encode>00</UTF8Encode>", true)));

TEST_F(ParseConfigTest, ServersKeepDocumentOrderAndSkipUnusableChildren) {
  const UpdateConfig config = Parse(ConfigWith(
      "<SoftName>A</SoftName><ServerGroup>\r\n"
      "<Server Name=\"NoAddress\"/>\r\n"
      "<Server Addr=\"http://noname/\"/>\r\n"
      "<Mirror Name=\"Other\" Addr=\"http://other/\"/>\r\n"
      "<Server Name=\"电信 &amp; 网通\" Addr=\"http://a/\"/>\r\n"
      "<server Name=\"LowerCase\" Addr=\"http://l/\"/>\r\n"
      "<Server Name=\"Second\" Addr=\"http://b/\"></Server>\r\n"
      "</ServerGroup>"));
  ASSERT_EQ(config.ServerCount, 2);
  EXPECT_EQ(config.Servers[0].Name, "电信 & 网通");
  EXPECT_EQ(config.Servers[0].Addr, "http://a/");
  EXPECT_EQ(config.Servers[1].Name, "Second");
  EXPECT_EQ(config.Servers[1].Addr, "http://b/");
}

TEST_F(ParseConfigTest, UsableServersBeyondTenAreIgnored) {
  std::string group = "<SoftName>A</SoftName><ServerGroup>";
  for (int i = 1; i <= 12; ++i) {
    group += "<Server Name=\"S" + std::to_string(i) + "\" Addr=\"http://s" + std::to_string(i) + "/\"/>";
  }
  group += "</ServerGroup>";
  const UpdateConfig config = Parse(ConfigWith(group));
  ASSERT_EQ(config.ServerCount, engine::kMaxServers);
  EXPECT_EQ(config.Servers[9].Name, "S10");
}

TEST_F(ParseConfigTest, TargetVersionFromCommandLineWinsInTestMode) {
  initial_.TestMode = true;
  initial_.Version = "9.9";
  EXPECT_EQ(Parse(ConfigWith("<SoftName>A</SoftName><Version>2.0</Version>")).Version, "9.9");
}

TEST_F(ParseConfigTest, EmptyTargetVersionInTestModeTakesTheDocumentsVersion) {
  initial_.TestMode = true;
  EXPECT_EQ(Parse(ConfigWith("<SoftName>A</SoftName><Version>2.0</Version>")).Version, "2.0");
}

TEST_F(ParseConfigTest, DocumentVersionReplacesAnyEarlierValueOutsideTestMode) {
  initial_.Version = "9.9";
  EXPECT_EQ(Parse(ConfigWith("<SoftName>A</SoftName><Version>2.0</Version>")).Version, "2.0");
}

TEST(IsUpdateConfig, NeedsTheSoftNameText) {
  const auto check = [](const std::string& text) {
    xml::XmlDocument document;
    document.LoadFromBytes(text.data(), text.size());
    return engine::IsUpdateConfig(document);
  };
  EXPECT_TRUE(check(ConfigWith("<SoftName>Tool</SoftName>")));
  EXPECT_FALSE(check(ConfigWith("<SoftName>  </SoftName><Version>1</Version>")));
  EXPECT_FALSE(check("<Files><Setting><SoftName>Tool</SoftName></Setting></Files>"));
  EXPECT_FALSE(check("<html><body>Not found</body>"));
  EXPECT_FALSE(check(""));
}

}  // namespace
