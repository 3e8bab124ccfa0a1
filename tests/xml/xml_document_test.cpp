#include "xml/xml_document.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using xml::XmlDocument;

// The shape of the server's configuration document.
constexpr char kConfig[] =
    "<?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n"
    "<!-- update configuration -->\r\n"
    "<Update>\r\n"
    "  <Setting>\r\n"
    "    <SoftName>\r\n"
    "       Tool  \t\r\n"
    "    </SoftName>\r\n"
    "    <ShortName>tl</ShortName>\r\n"
    "    <UTF8Encode>0</UTF8Encode>\r\n"
    "    <MainExe>Tool.exe</MainExe><!-- started after the update -->\r\n"
    "    <AdCode><![CDATA[<a href=\"http://example.com/\">Home</a>]]></AdCode>\r\n"
    "    <Version>2.1.0</Version>\r\n"
    "    <Empty></Empty>\r\n"
    "    <ServerGroup>\r\n"
    "      <Server Name=\"Main &amp; backup\" Addr=\"http://a.example.com/tool/\"/>\r\n"
    "      <Note>not a server</Note>\r\n"
    "      <Server Name=\"Mirror\" Addr=\"http://b.example.com/tool/\" />\r\n"
    "    </ServerGroup>\r\n"
    "  </Setting>\r\n"
    "  <Log>\r\n"
    "<![CDATA[\r\n"
    "1. fixed <crash> &amp; more\r\n"
    "]]>\r\n"
    "  </Log>\r\n"
    "</Update>\r\n";

constexpr char kFileList[] =
    "<?xml version=\"1.0\"?>\n"
    "<Files>\n"
    "<File Name=\"Tool.exe\" Hash=\"1A2B3C4D\"/>\n"
    "<File Name=\"data\\\xC5\xE4\xD6\xC3.ini\" Hash=\"9F\"/>\n"
    "</Files>\n";

class ConfigDocument : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(doc_.LoadFromBytes(kConfig)); }
  XmlDocument doc_;
};

TEST_F(ConfigDocument, ReadsTrimmedTextsByFullPath) {
  EXPECT_TRUE(doc_.IsLoaded());
  EXPECT_EQ(doc_.RootName(), "Update");
  EXPECT_EQ(doc_.GetText("Update/Setting/SoftName"), "Tool");
  EXPECT_EQ(doc_.GetText("Update/Setting/ShortName"), "tl");
  EXPECT_EQ(doc_.GetText("Update/Setting/UTF8Encode"), "0");
  EXPECT_EQ(doc_.GetText("Update/Setting/MainExe"), "Tool.exe");
  EXPECT_EQ(doc_.GetText("Update/Setting/Version"), "2.1.0");
}

TEST_F(ConfigDocument, PathMustBeginAtTheRoot) {
  EXPECT_EQ(doc_.GetText("Setting/SoftName"), "");
  EXPECT_EQ(doc_.GetText("SoftName"), "");
  EXPECT_EQ(doc_.GetText("update/Setting/SoftName"), "");  // names are case-sensitive
}

TEST_F(ConfigDocument, MissingElementReadsLikeEmptyText) {
  EXPECT_EQ(doc_.GetText("Update/Setting/Missing"), "");
  EXPECT_EQ(doc_.GetText("Update/Setting/Empty"), "");
  EXPECT_EQ(doc_.GetText("Update/Setting/SoftName/Deeper"), "");
  EXPECT_EQ(doc_.GetText("Update/Setting/"), "");
  EXPECT_EQ(doc_.GetText(""), "");
}

TEST_F(ConfigDocument, CdataTextIsTakenLiterally) {
  EXPECT_EQ(doc_.GetText("Update/Setting/AdCode"), "<a href=\"http://example.com/\">Home</a>");
  EXPECT_EQ(doc_.GetText("Update/Log"), "1. fixed <crash> &amp; more");
}

TEST_F(ConfigDocument, ServersByPosition) {
  std::vector<std::string> names;
  ASSERT_TRUE(doc_.ChildNames("Update/Setting/ServerGroup", names));
  EXPECT_EQ(names, (std::vector<std::string>{"Server", "Note", "Server"}));
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@1", "Name"), "Main & backup");
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@1", "Addr"), "http://a.example.com/tool/");
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@2", "Name"), "");
  EXPECT_EQ(doc_.GetText("Update/Setting/ServerGroup/@2"), "not a server");
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@3", "Name"), "Mirror");
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@4", "Name"), "");
  // By name the first match wins.
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/Server", "Name"), "Main & backup");
}

TEST_F(ConfigDocument, AttributeNamesAreCaseSensitive) {
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@1", "name"), "");
  EXPECT_EQ(doc_.GetAttribute("Update/Setting/ServerGroup/@1", ""), "");
  EXPECT_EQ(doc_.GetAttribute("", "Name"), "");
}

TEST_F(ConfigDocument, ChildCountCountsEveryName) {
  int count = -1;
  ASSERT_TRUE(doc_.ChildCount("Update", count));
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(doc_.ChildCount("Update/Setting", count));
  EXPECT_EQ(count, 8);
  ASSERT_TRUE(doc_.ChildCount("Update/Setting/ServerGroup", count));
  EXPECT_EQ(count, 3);
}

TEST_F(ConfigDocument, ElementWithoutChildren) {
  int count = -1;
  EXPECT_TRUE(doc_.ChildCount("Update/Log", count));
  EXPECT_EQ(count, 0);
  std::vector<std::string> names{"kept"};
  EXPECT_FALSE(doc_.ChildNames("Update/Log", names));
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST_F(ConfigDocument, AbsentPathLeavesOutputsAlone) {
  int count = 42;
  EXPECT_FALSE(doc_.ChildCount("Update/Nothing", count));
  EXPECT_FALSE(doc_.ChildCount("", count));
  EXPECT_EQ(count, 42);
  std::vector<std::string> names{"kept"};
  EXPECT_FALSE(doc_.ChildNames("Update/Nothing", names));
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST(FileListDocument, ChildrenByPosition) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kFileList));
  int count = 0;
  ASSERT_TRUE(doc.ChildCount("Files", count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(doc.GetAttribute("Files/@1", "Name"), "Tool.exe");
  EXPECT_EQ(doc.GetAttribute("Files/@2", "Name"), "data\\\xC5\xE4\xD6\xC3.ini");
  EXPECT_EQ(doc.GetAttribute("Files/@2", "Hash"), "9F");
  EXPECT_EQ(doc.GetAttribute("Files/@3", "Hash"), "");
}

struct PositionCase {
  const char* segment;
  const char* name;  // expected Name of the selected child, "" for none
};

class PositionSegment : public ::testing::TestWithParam<PositionCase> {};

TEST_P(PositionSegment, SelectsByPositionOrNothing) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(
      "<Files><A Name=\"one\"/><B Name=\"two\"/><C Name=\"three\"/><x Name=\"literal\"/></Files>"));
  const std::string path = std::string("Files/") + GetParam().segment;
  EXPECT_EQ(doc.GetAttribute(path, "Name"), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, PositionSegment,
    ::testing::Values(PositionCase{"@1", "one"}, PositionCase{"@3", "three"},
                      PositionCase{"@4", "literal"}, PositionCase{"@02", "two"},
                      PositionCase{"@0", ""}, PositionCase{"@", ""}, PositionCase{"@5", ""},
                      PositionCase{"@-1", ""}, PositionCase{"@1x", ""}, PositionCase{"@ 1", ""},
                      PositionCase{"@x", ""}, PositionCase{"@99999999999999999999999", ""},
                      PositionCase{"@4294967297", ""},
                      // 2^64 + 2: wrapped around, it would select the second.
                      PositionCase{"@18446744073709551618", ""}, PositionCase{"B", "two"},
                      PositionCase{"x", "literal"}, PositionCase{"b", ""}, PositionCase{"", ""}));

TEST(PathResolution, PositionSegmentsChainAndApplyOnlyBelowTheRoot) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<R><G><S v=\"a\"/><S v=\"b\"/></G><G><S v=\"c\"/></G></R>"));
  EXPECT_EQ(doc.GetAttribute("R/@2/@1", "v"), "c");
  EXPECT_EQ(doc.GetAttribute("R/G/@2", "v"), "b");
  EXPECT_EQ(doc.GetAttribute("@1/G/@1", "v"), "");
}

TEST(PathResolution, SlashAsSecondByteDoesNotSplit) {
  // 0x81 0x2F is one two-byte character, so the name below is one segment and
  // its tag is a start tag, not an empty-element tag.
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<R><\x81/x>t</\x81/x></R>"));
  EXPECT_EQ(doc.GetText("R/\x81/x"), "t");
  std::vector<std::string> names;
  ASSERT_TRUE(doc.ChildNames("R", names));
  EXPECT_EQ(names, std::vector<std::string>{"\x81/x"});
}

TEST(PathResolution, GbkNames) {
  // "更新" / "设置" in GBK.
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<\xB8\xFC\xD0\xC2><\xC9\xE8\xD6\xC3 \xC3\xFB=\"\xD6\xB5\">"
                                "\xCE\xC4</\xC9\xE8\xD6\xC3></\xB8\xFC\xD0\xC2>"));
  EXPECT_EQ(doc.RootName(), "\xB8\xFC\xD0\xC2");
  EXPECT_EQ(doc.GetText("\xB8\xFC\xD0\xC2/\xC9\xE8\xD6\xC3"), "\xCE\xC4");
  EXPECT_EQ(doc.GetAttribute("\xB8\xFC\xD0\xC2/\xC9\xE8\xD6\xC3", "\xC3\xFB"), "\xD6\xB5");
}

TEST(DocumentLifecycle, NothingLoaded) {
  XmlDocument doc;
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_EQ(doc.RootName(), "");
  EXPECT_EQ(doc.GetText("Update"), "");
  EXPECT_EQ(doc.GetAttribute("Update", "Name"), "");
  int count = 7;
  EXPECT_FALSE(doc.ChildCount("Update", count));
  EXPECT_EQ(count, 7);
  std::vector<std::string> names;
  EXPECT_FALSE(doc.ChildNames("Update", names));
  EXPECT_FALSE(doc.LoadFromBytes(nullptr, 0));
  EXPECT_FALSE(doc.LoadFromBytes(nullptr, 5));
}

TEST(DocumentLifecycle, ReleaseEmptiesTheDocument) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kFileList));
  doc.Release();
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_EQ(doc.RootName(), "");
  int count = 9;
  EXPECT_FALSE(doc.ChildCount("Files", count));
  EXPECT_EQ(count, 9);
  doc.Release();  // twice is harmless
  EXPECT_FALSE(doc.IsLoaded());
}

TEST(DocumentLifecycle, LoadReplacesTheTree) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kConfig));
  ASSERT_TRUE(doc.LoadFromBytes(kFileList));
  EXPECT_EQ(doc.RootName(), "Files");
  EXPECT_EQ(doc.GetText("Update/Setting/SoftName"), "");
  EXPECT_EQ(doc.GetAttribute("Files/@1", "Name"), "Tool.exe");
}

TEST(DocumentLifecycle, FailedLoadLeavesNothingLoaded) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kConfig));
  EXPECT_FALSE(doc.LoadFromBytes("<Update><Setting></Update>"));
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_EQ(doc.RootName(), "");
  EXPECT_EQ(doc.GetText("Update/Setting/SoftName"), "");
}

TEST(DocumentLifecycle, MoveHandsOverTheTree) {
  XmlDocument first;
  ASSERT_TRUE(first.LoadFromBytes(kFileList));
  XmlDocument second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(first.RootName(), "");
  EXPECT_EQ(second.GetAttribute("Files/@2", "Hash"), "9F");
  XmlDocument third;
  ASSERT_TRUE(third.LoadFromBytes(kConfig));
  third = std::move(second);
  EXPECT_EQ(third.RootName(), "Files");
  EXPECT_FALSE(second.IsLoaded());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
