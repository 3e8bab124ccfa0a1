// "updpub check" against broken server trees: each tree has one fault, and
// the check must report that fault, once, at its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "base/gbk_text.h"
#include "site/update_config.h"
#include "tool_support.h"
#include "updpub/check/site_check.h"

namespace {

using namespace tool_testing;

constexpr char kConfigAddress[] = "http://mirror.test/cfg/update.xml";
constexpr char kConfig[] = "cfg/update.xml";
constexpr char kList1[] = "srv1/2.0/filelist.xml";
constexpr char kList2[] = "srv2/2.0/filelist.xml";

// A published site laid out as a web server holds it: the configuration in
// cfg/, one server's copy of the version in srv1/.
class MirrorTree {
 public:
  MirrorTree() {
    WriteRelease(scratch_.path() / "release", release_);
    updpub::PublishOptions options = Options(scratch_.path() / "release", scratch_.path() / "built", "2.0");
    options.adCode = "<a href=\"http://example.com/\">home</a>";
    options.pack = false;  // the rows edit File lines as a site without objects has them
    const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
    EXPECT_EQ(result.exitCode, updpub::kPublished);
    fs::create_directories(root() / "cfg");
    fs::create_directories(root() / "srv1");
    fs::rename(scratch_.path() / "built" / "update.xml", root() / kConfig);
    fs::rename(scratch_.path() / "built" / "2.0", root() / "srv1" / "2.0");
  }

  fs::path root() const { return scratch_.path() / "www"; }
  fs::path Path(const std::string& relative) const { return root() / relative; }
  const std::map<std::string, std::string>& release() const { return release_; }

  // Another server holding a copy of srv1's files.
  void AddServer(const std::string& name, const std::string& folder) {
    fs::copy(root() / "srv1", root() / folder, fs::copy_options::recursive);
    ReplaceInFile(Path(kConfig), "    </ServerGroup>",
                  "      <Server Name=\"" + name + "\" Addr=\"http://mirror.test/" + folder +
                      "/\"/>\r\n    </ServerGroup>");
  }

  void Edit(const std::string& relative, const std::function<void(std::string&)>& edit) {
    std::string bytes = ReadBytes(Path(relative));
    edit(bytes);
    WriteBytes(Path(relative), bytes);
  }

 private:
  ScratchFolder scratch_;
  std::map<std::string, std::string> release_ = SmallRelease();
};

updpub::CheckReport Check(const MirrorTree& tree, std::optional<fs::path> installed = std::nullopt) {
  FolderHttp http(tree.root());
  return updpub::CheckSite(updpub::CheckOptions{kConfigAddress, std::move(installed)}, http);
}

std::string AllFindings(const updpub::CheckReport& report) {
  std::string text;
  for (const updpub::Finding& finding : report.findings) text += updpub::FindingLine(finding) + "\n";
  return text;
}

struct BrokenTree {
  const char* name;
  std::function<void(MirrorTree&)> breakIt;
  const char* where;     // the document the finding names
  std::string lineMark;  // a text on the finding's line of that document; "" for the document as a whole
  updpub::Severity severity;
  const char* says;
};

// Rows print as their names; their members are functions and pointers.
void PrintTo(const BrokenTree& row, std::ostream* out) { *out << row.name; }

class BrokenTreeTest : public testing::TestWithParam<BrokenTree> {};

TEST_P(BrokenTreeTest, ReportsItsOneFinding) {
  const BrokenTree& row = GetParam();
  MirrorTree tree;
  row.breakIt(tree);
  const updpub::CheckReport report = Check(tree);
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  const updpub::Finding& finding = report.findings[0];
  EXPECT_EQ(finding.where, std::string("http://mirror.test/") + row.where);
  const int line = row.lineMark.empty() ? 0 : LineOf(ReadBytes(tree.Path(row.where)), row.lineMark);
  ASSERT_TRUE(row.lineMark.empty() || line > 0) << "no mark in the broken document";
  EXPECT_EQ(finding.line, line) << finding.text;
  EXPECT_EQ(finding.severity, row.severity) << finding.text;
  EXPECT_NE(finding.text.find(row.says), std::string::npos) << finding.text;
  EXPECT_EQ(report.errors > 0, row.severity == updpub::Severity::kError);
}

std::string HashOf(const MirrorTree& tree, const std::string& name) { return CrcHex(tree.release().at(name)); }

void Prepend(MirrorTree& tree, const char* where, const std::string& bytes) {
  tree.Edit(where, [&](std::string& text) { text.insert(0, bytes); });
}

void Replace(MirrorTree& tree, const char* where, const std::string& from, const std::string& to) {
  tree.Edit(where, [&](std::string& text) { ReplaceOnce(text, from, to); });
}

const char kBom[] = "\xEF\xBB\xBF";
using updpub::Severity;

// Texts in plain literals are GBK (the sources are compiled for GBK), as in
// the documents.
const BrokenTree kBrokenTrees[] = {
        BrokenTree{"ConfigByteOrderMark", [](MirrorTree& t) { Prepend(t, kConfig, kBom); }, kConfig, "<?xml",
                   Severity::kError, "byte-order mark"},
        BrokenTree{"ConfigInUtf8",
                   [](MirrorTree& t) { t.Edit(kConfig, [](std::string& s) { s = base::Utf8FromGbk(s); }); }, kConfig,
                   "<SoftName>", Severity::kError, "UTF-8 text where GBK is expected"},
        BrokenTree{"ListByteOrderMark", [](MirrorTree& t) { Prepend(t, kList1, kBom); }, kList1, "<?xml",
                   Severity::kError, "byte-order mark"},
        BrokenTree{"ListInUtf8",
                   [](MirrorTree& t) { t.Edit(kList1, [](std::string& s) { s = base::Utf8FromGbk(s); }); }, kList1,
                   u8"数据", Severity::kError, "UTF-8 text where GBK is expected"},
        BrokenTree{"TabBetweenAttributes", [](MirrorTree& t) { Replace(t, kList1, "a.txt\" Hash=", "a.txt\"\tHash="); },
                   kList1, "a.txt", Severity::kError, "tab or line break between attributes"},
        BrokenTree{"AttributesOnTwoLines",
                   [](MirrorTree& t) { Replace(t, kList1, "a.txt\" Hash=", "a.txt\"\r\n      Hash="); }, kList1,
                   "a.txt", Severity::kError, "tab or line break between attributes"},
        BrokenTree{"SpaceBeforeEquals", [](MirrorTree& t) { Replace(t, kList1, "Name=\"a.txt", "Name =\"a.txt"); },
                   kList1, "a.txt", Severity::kError, "white space before '='"},
        BrokenTree{"SingleQuotes",
                   [](MirrorTree& t) {
                     const std::string hash = HashOf(t, "a.txt");
                     Replace(t, kList1, "Hash=\"" + hash + "\"", "Hash='" + hash + "'");
                   },
                   kList1, "a.txt", Severity::kError, "single quotes"},
        BrokenTree{"QuotEntity",
                   [](MirrorTree& t) { Replace(t, kConfig, "Name=\"电信服务器\"", "Name=\"电信 &quot;主&quot;\""); },
                   kConfig, "&quot;", Severity::kError, "knows \"&quote;\""},
        BrokenTree{"EqualsInsideValue", [](MirrorTree& t) { Replace(t, kConfig, "srv1/\"", "srv1/?a=b/\""); },
                   kConfig, "?a=b", Severity::kError, "'=' inside an attribute value"},
        BrokenTree{"CommentInsideCdata", [](MirrorTree& t) { Replace(t, kConfig, "</a>]]>", "</a><!-- x -->]]>"); },
                   kConfig, "<!--", Severity::kError, "comment mark inside CDATA"},
        BrokenTree{"SecondCdata",
                   [](MirrorTree& t) { Replace(t, kConfig, "</a>]]>", "</a>]]><![CDATA[more]]>"); }, kConfig,
                   "more", Severity::kError, "only the first CDATA section"},
        BrokenTree{"GreaterThanInText", [](MirrorTree& t) { Replace(t, kConfig, "</SoftName>", " > 2</SoftName>"); },
                   kConfig, " > 2", Severity::kError, "'>' outside a tag"},
        BrokenTree{"UnknownEntity", [](MirrorTree& t) { Replace(t, kConfig, "</SoftName>", "&nbsp;</SoftName>"); },
                   kConfig, "&nbsp;", Severity::kWarning, "unknown"},
        BrokenTree{"Utf8FlagSpeltOtherwise",
                   [](MirrorTree& t) { Replace(t, kConfig, "<UTF8Encode>1<", "<UTF8Encode>yes<"); }, kConfig,
                   "<UTF8Encode>", Severity::kWarning, "read as 1"},
        BrokenTree{"LowerCaseHash",
                   [](MirrorTree& t) {
                     std::string hash = HashOf(t, "sub/b.dll");
                     std::string lower = hash;
                     std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
                     ASSERT_NE(lower, hash) << "the fixture's CRC has no letter";
                     Replace(t, kList1, "\"" + hash + "\"", "\"" + lower + "\"");
                   },
                   kList1, "sub\\b.dll", Severity::kWarning, "upper case"},
        BrokenTree{"LeadingZeroHash",
                   [](MirrorTree& t) {
                     const std::string hash = HashOf(t, "short.txt");
                     Replace(t, kList1, "\"" + hash + "\"", "\"0" + hash + "\"");
                   },
                   kList1, "short.txt", Severity::kWarning, "leading zeros"},
        BrokenTree{"HashNotHex",
                   [](MirrorTree& t) { Replace(t, kList1, "\"" + HashOf(t, "a.txt") + "\"", "\"XYZ\""); }, kList1,
                   "a.txt", Severity::kError, "hexadecimal digits"},
        BrokenTree{"UnsafeName",
                   [](MirrorTree& t) {
                     Replace(t, kList1, "</Files>", "  <File Name=\"..\\evil.dll\" Hash=\"1\"/>\r\n</Files>");
                   },
                   kList1, "evil", Severity::kError, "leaves the program folder"},
        BrokenTree{"NameInStagingFolder",
                   [](MirrorTree& t) {
                     Replace(t, kList1, "</Files>", "  <File Name=\"Update/x/y.txt\" Hash=\"1\"/>\r\n</Files>");
                   },
                   kList1, "Update/x", Severity::kError, "where the updater stages its downloads"},
        BrokenTree{"UnencodableName",
                   [](MirrorTree& t) {
                     Replace(t, kList1, "</Files>", "  <File Name=\"100%.dll\" Hash=\"1\"/>\r\n</Files>");
                   },
                   kList1, "100%", Severity::kError, "sends '%' unescaped"},
        BrokenTree{"FileWithoutHash",
                   [](MirrorTree& t) { Replace(t, kList1, "</Files>", "  <File Name=\"c.dll\"/>\r\n</Files>"); },
                   kList1, "c.dll", Severity::kError, "without Name or Hash"},
        BrokenTree{"ElevenServers",
                   [](MirrorTree& t) {
                     std::string servers;
                     for (int i = 2; i <= 11; ++i)
                       servers += "      <Server Name=\"S" + std::to_string(i) +
                                  "\" Addr=\"http://mirror.test/srv1/\"/>\r\n";
                     Replace(t, kConfig, "    </ServerGroup>", servers + "    </ServerGroup>");
                   },
                   kConfig, "Name=\"S11\"", Severity::kError, "more than 10 usable servers"},
        BrokenTree{"AddrWithoutSlash", [](MirrorTree& t) { Replace(t, kConfig, "srv1/\"", "srv1\""); }, kConfig,
                   "srv1\"", Severity::kError, "does not end in '/'"},
        BrokenTree{"ServerWithoutAddr",
                   [](MirrorTree& t) {
                     t.AddServer("B", "srv2");
                     Replace(t, kConfig, " Addr=\"http://mirror.test/srv2/\"", "");
                   },
                   kConfig, "Name=\"B\"", Severity::kError, "without Name or Addr"},
        BrokenTree{"EmptyVersion", [](MirrorTree& t) { Replace(t, kConfig, ">2.0<", "><"); }, kConfig, "<Version>",
                   Severity::kError, "version is empty"},
        BrokenTree{"NotAConfiguration",
                   [](MirrorTree& t) {
                     Replace(t, kConfig, "<Update>", "<Config>");
                     Replace(t, kConfig, "</Update>", "</Config>");
                   },
                   kConfig, "", Severity::kError, "does not take the document for a configuration"},
        BrokenTree{"ListMissing", [](MirrorTree& t) { fs::remove(t.Path(kList1)); }, kList1, "", Severity::kError,
                   "missing (HTTP 404)"},
        BrokenTree{"FileMissing", [](MirrorTree& t) { fs::remove(t.Path("srv1/2.0/sub/b.dll")); }, kList1,
                   "sub\\b.dll", Severity::kError, "missing on server"},
        BrokenTree{"FileDiffers", [](MirrorTree& t) { WriteBytes(t.Path("srv1/2.0/a.txt"), "tampered"); }, kList1,
                   "a.txt", Severity::kError, "has CRC"},
        BrokenTree{"ServersDisagree",
                   [](MirrorTree& t) {
                     t.AddServer("B", "srv2");
                     Replace(t, kList2, "  <File Name=\"a.txt\" Hash=\"" + HashOf(t, "a.txt") + "\"/>\r\n", "");
                     fs::remove(t.Path("srv2/2.0/a.txt"));
                   },
                   kList2, "", Severity::kError, "not listed here: a.txt"},
        BrokenTree{"ServerHasOtherVersionOfFile",
                   [](MirrorTree& t) {
                     t.AddServer("B", "srv2");
                     WriteBytes(t.Path("srv2/2.0/a.txt"), "older");
                     Replace(t, kList2, HashOf(t, "a.txt"), CrcHex("older"));
                   },
                   kList2, "", Severity::kError, "other CRC for a.txt"}};

INSTANTIATE_TEST_SUITE_P(Trees, BrokenTreeTest, testing::ValuesIn(kBrokenTrees),
    [](const testing::TestParamInfo<BrokenTree>& info) { return info.param.name; });

TEST(CheckSite, IntactTreeHasNoFinding) {
  MirrorTree tree;
  tree.AddServer("B", "srv2");
  const updpub::CheckReport report = Check(tree);
  EXPECT_TRUE(report.findings.empty()) << AllFindings(report);
  EXPECT_EQ(report.checked,
            (std::vector<std::string>{kConfigAddress, "http://mirror.test/srv1/2.0/filelist.xml",
                                      "http://mirror.test/srv2/2.0/filelist.xml"}));
}

// As many servers as the updater shows: publish takes them all, and check
// reads the file list of every one.
TEST(CheckSite, AllOfTheMostServersArePublishedAndChecked) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  updpub::PublishOptions options = Options(scratch.path() / "release", scratch.path() / "built", "2.0");
  options.servers.clear();
  std::vector<std::string> expected = {kConfigAddress};
  for (int i = 1; i <= engine::kMaxServers; ++i) {
    const std::string folder = "srv" + std::to_string(i);
    options.servers.emplace_back("S" + std::to_string(i), "http://mirror.test/" + folder + "/");
    expected.push_back("http://mirror.test/" + folder + "/2.0/filelist.xml");
  }
  ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  const fs::path www = scratch.path() / "www";
  fs::create_directories(www / "cfg");
  fs::copy(scratch.path() / "built" / "update.xml", www / kConfig);
  for (int i = 1; i <= engine::kMaxServers; ++i) {
    const fs::path server = www / ("srv" + std::to_string(i));
    fs::create_directories(server);
    fs::copy(scratch.path() / "built" / "2.0", server / "2.0", fs::copy_options::recursive);
  }
  FolderHttp http(www);
  const updpub::CheckReport report = updpub::CheckSite(updpub::CheckOptions{kConfigAddress, std::nullopt}, http);
  EXPECT_TRUE(report.findings.empty()) << AllFindings(report);
  EXPECT_EQ(report.checked, expected);
}

TEST(CheckSite, InstalledFolderPlanListsWhatDiffersWithItsSize) {
  MirrorTree tree;
  ScratchFolder installed;
  const auto& release = tree.release();
  WriteBytes(installed.path() / "a.txt", release.at("a.txt"));
  WriteBytes(installed.path() / "sub" / "b.dll", "an older library");
  WriteBytes(installed.path() / u8"数据" / u8"说明 1.txt", release.at(u8"数据/说明 1.txt"));
  const updpub::CheckReport report = Check(tree, installed.path());
  ASSERT_TRUE(report.plan.has_value());
  EXPECT_EQ(report.plan->files, (std::vector<std::string>{"short.txt", "sub\\b.dll"}));
  EXPECT_EQ(report.plan->bytes, release.at("sub/b.dll").size() + release.at("short.txt").size());
  EXPECT_EQ(report.plan->unknownSizes, 0u);
}

// The Windows build's client hands out an error page as if it were the file.
class StatuslessHttp final : public updpub::HttpGetter {
 public:
  explicit StatuslessHttp(fs::path root) : folder_(std::move(root)) {}
  updpub::HttpResult Get(const std::string& url, const std::function<void(const char*, size_t)>& body) override {
    updpub::HttpResult result = folder_.Get(url, body);
    result.status = 0;
    return result;
  }

 private:
  FolderHttp folder_;
};

TEST(CheckSite, ClientWithoutStatusReportsAMissingFileAsDifferentAndSaysSo) {
  MirrorTree tree;
  fs::remove(tree.Path("srv1/2.0/a.txt"));
  StatuslessHttp http(tree.root());
  const updpub::CheckReport report = updpub::CheckSite(updpub::CheckOptions{kConfigAddress, std::nullopt}, http);
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  EXPECT_NE(report.findings[0].text.find("has CRC " + CrcHex("Not Found")), std::string::npos);
  EXPECT_NE(report.findings[0].text.find("or it is missing"), std::string::npos);
}

TEST(CheckSite, SiteFolderStandsForEveryServer) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  const fs::path site = scratch.path() / "site";
  ASSERT_EQ(updpub::Publish(Options(scratch.path() / "release", site, "2.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  fs::remove(site / "2.0" / "a.txt");
  FolderHttp unused(scratch.path());
  const updpub::CheckReport report = updpub::CheckSite(updpub::CheckOptions{site.string(), std::nullopt}, unused);
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  EXPECT_EQ(report.findings[0].where, (site / "2.0" / "filelist.xml").string());
  EXPECT_NE(report.findings[0].text.find("\"a.txt\" is missing in the site folder"), std::string::npos);
  EXPECT_EQ(unused.requests, 0);
}

}  // namespace
