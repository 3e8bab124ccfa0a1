// Signed sites: what "publish --sign" writes, that a failure at any step
// leaves the previous signed site as it was, and that "check --key" refuses
// every way a signed site can be wrong with its own finding.
#include <gtest/gtest.h>

#include <functional>

#include "base/gbk_text.h"
#include "tool_support.h"
#include "updpub/check/site_check.h"
#include "updpub/keys/crypto.h"
#include "xml/xml_document.h"

namespace {

using namespace tool_testing;
namespace crypto = updpub::crypto;

constexpr int64_t kNow = 1800000000;
constexpr int64_t kDay = 24 * 60 * 60;
constexpr char kConfigAddress[] = "http://mirror.test/cfg/update.xml";
constexpr char kConfig[] = "cfg/update.xml";
constexpr char kList[] = "srv1/2.0/filelist.xml";

fs::path KeyPath(const char* name) { return fs::path(UPDPUB_TEST_KEYS) / name; }

std::string SignatureOf(const std::string& bytes, const char* key = "test.key") {
  std::string signature;
  std::string error;
  EXPECT_TRUE(crypto::Sign(ReadBytes(KeyPath(key)), bytes, signature, error)) << error;
  return signature;
}

updpub::PublishOptions SignedOptions(const fs::path& release, const fs::path& site, const std::string& version) {
  updpub::PublishOptions options = Options(release, site, version);
  options.adCode = "<a href=\"http://example.com/\">home</a>";
  options.signingKey = KeyPath("test.key");
  options.now = kNow;
  return options;
}

std::string AllFindings(const updpub::CheckReport& report) {
  std::string text;
  for (const updpub::Finding& finding : report.findings) text += updpub::FindingLine(finding) + "\n";
  return text;
}

// Four bytes that, appended to `bytes`, make its CRC-32 `target`. The CRC
// register runs backwards one byte at a time: the top byte of each table
// entry tells which entry was used.
std::string CrcForcingTail(std::string_view bytes, uint32_t target) {
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  uint32_t state = target ^ 0xFFFFFFFFu;
  for (int step = 0; step < 4; ++step) {
    uint32_t index = 0;
    while ((table[index] >> 24) != (state >> 24)) ++index;
    state = ((state ^ table[index]) << 8) | index;
  }
  const uint32_t tail = state ^ (Crc(bytes) ^ 0xFFFFFFFFu);
  std::string out;
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(tail >> (8 * k)));
  return out;
}

TEST(CrcForcingTail, KeepsTheCrcOfAnyContent) {
  for (const std::string& content : {std::string(), std::string("evil"), std::string(1000, '\xFF')}) {
    const uint32_t target = Crc("the original file");
    EXPECT_EQ(Crc(content + CrcForcingTail(content, target)), target) << content.size();
  }
}

TEST(SignedPublish, DocumentsCarryWhatTheUpdaterChecksAndSignaturesCoverTheirBytes) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  updpub::PublishOptions options = SignedOptions(scratch.path() / "release", scratch.path() / "site", "2.0");
  options.expiresDays = 12;
  const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
  ASSERT_EQ(result.exitCode, updpub::kPublished) << result.failure;

  const std::string config = ReadBytes(scratch.path() / "site" / "update.xml");
  const std::string list = ReadBytes(scratch.path() / "site" / "2.0" / "filelist.xml");
  const std::string publicKey = ReadBytes(KeyPath("test.pub"));
  EXPECT_EQ(crypto::Verify(publicKey, config, ReadBytes(scratch.path() / "site" / "update.xml.sig")),
            crypto::Verdict::kValid);
  EXPECT_EQ(crypto::Verify(publicKey, list, ReadBytes(scratch.path() / "site" / "2.0" / "filelist.xml.sig")),
            crypto::Verdict::kValid);

  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(config));
  EXPECT_EQ(document.GetAttribute("Update", "Expires"), std::to_string(kNow + 12 * kDay));
  ASSERT_TRUE(document.LoadFromBytes(list));
  EXPECT_EQ(document.GetAttribute("Files", "Version"), "2.0");
  EXPECT_EQ(document.GetAttribute("Files", "SoftName"), "测试软件");  // GBK, as the configuration's
  int count = 0;
  ASSERT_TRUE(document.ChildCount("Files", count));
  ASSERT_EQ(count, 4);
  // Files are listed by their names; each Sha256 is that file's.
  for (int i = 1; i <= count; ++i) {
    const std::string path = "Files/@" + std::to_string(i);
    const std::string name = document.GetAttribute(path, "Name");
    std::string relative = base::Utf8FromGbk(name);  // the release is published under UTF-8 names
    for (char& c : relative) c = c == '\\' ? '/' : c;
    const fs::path file = scratch.path() / "site" / "2.0" / fs::path(relative);
    EXPECT_EQ(document.GetAttribute(path, "Sha256"), crypto::DigestText(crypto::Sha256Of(ReadBytes(file)))) << i;
  }
}

// A signed site whose version the rollback floor cannot weigh is still
// published, with a warning that names the floor; a dotted one has none.
TEST(SignedPublish, AVersionTheFloorCannotHoldIsPublishedWithAWarning) {
  for (const char* version : {"1.2-beta", "2.0"}) {
    SCOPED_TRACE(version);
    ScratchFolder scratch;
    WriteRelease(scratch.path() / "release", SmallRelease());
    const updpub::PublishResult result = updpub::Publish(
        SignedOptions(scratch.path() / "release", scratch.path() / "site", version), updpub::HostSiteFiles(), nullptr);
    ASSERT_EQ(result.exitCode, updpub::kPublished) << result.failure;
    if (std::string(version) == "2.0") {
      EXPECT_TRUE(result.warnings.empty());
    } else {
      ASSERT_EQ(result.warnings.size(), 1u);
      EXPECT_NE(result.warnings[0].find("rollback floor"), std::string::npos) << result.warnings[0];
    }
  }
}

TEST(SignedPublish, WithoutAKeyTheDocumentsKeepTheirForm) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  updpub::PublishOptions options = Options(scratch.path() / "release", scratch.path() / "site", "2.0");
  ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  const std::string config = ReadBytes(scratch.path() / "site" / "update.xml");
  const std::string list = ReadBytes(scratch.path() / "site" / "2.0" / "filelist.xml");
  EXPECT_NE(config.find("\r\n<Update>\r\n"), std::string::npos);
  EXPECT_NE(list.find("\r\n<Files>\r\n"), std::string::npos);
  EXPECT_EQ(list.find("Sha256"), std::string::npos);
  EXPECT_FALSE(fs::exists(scratch.path() / "site" / "update.xml.sig"));
  EXPECT_FALSE(fs::exists(scratch.path() / "site" / "2.0" / "filelist.xml.sig"));
}

struct BadSigning {
  const char* name;
  std::function<void(const fs::path& scratch, updpub::PublishOptions&)> spoil;
  const char* says;
};
void PrintTo(const BadSigning& row, std::ostream* out) { *out << row.name; }

class BadSigningTest : public testing::TestWithParam<BadSigning> {};

TEST_P(BadSigningTest, IsRefusedBeforeAnythingIsWritten) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  updpub::PublishOptions options = SignedOptions(scratch.path() / "release", scratch.path() / "site", "2.0");
  GetParam().spoil(scratch.path(), options);
  const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
  ASSERT_EQ(result.exitCode, updpub::kPublishRefused);
  std::string reasons;
  for (const updpub::Refusal& refusal : result.refusals) reasons += refusal.file + ": " + refusal.reason + "\n";
  EXPECT_NE(reasons.find(GetParam().says), std::string::npos) << reasons;
  EXPECT_FALSE(fs::exists(scratch.path() / "site"));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadSigningTest,
    testing::Values(
        BadSigning{"MissingKey", [](const fs::path& s, updpub::PublishOptions& o) { o.signingKey = s / "none.key"; },
                   "cannot open"},
        BadSigning{"PublicKeyGiven",
                   [](const fs::path&, updpub::PublishOptions& o) { o.signingKey = KeyPath("test.pub"); },
                   "not a private key"},
        BadSigning{"NoDays", [](const fs::path&, updpub::PublishOptions& o) { o.expiresDays = 0; }, "give 1 to"},
        BadSigning{"TooManyDays", [](const fs::path&, updpub::PublishOptions& o) { o.expiresDays = 3651; },
                   "give 1 to"},
        BadSigning{"SoftNameWithEquals", [](const fs::path&, updpub::PublishOptions& o) { o.softName = "a=b"; },
                   "carries the soft name as an attribute"}),
    [](const testing::TestParamInfo<BadSigning>& info) { return info.param.name; });

TEST(SignedPublishFailure, AtEveryStepLeavesThePreviousSignedSite) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "old", {{"a.txt", "old a"}});
  WriteRelease(scratch.path() / "release", SmallRelease());
  const fs::path site = scratch.path() / "site";
  ASSERT_EQ(updpub::Publish(SignedOptions(scratch.path() / "old", site, "1.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  // The same version again, signed: every document and signature is replaced.
  updpub::PublishOptions options = SignedOptions(scratch.path() / "release", site, "1.0");
  options.now = kNow + kDay;
  const auto before = Snapshot(site);
  int step = 1;
  for (;; ++step) {
    FailingSiteFiles files(step);
    if (updpub::Publish(options, files, nullptr).exitCode == updpub::kPublished) break;
    ASSERT_EQ(Snapshot(site), before) << "failure at step " << step;
    ASSERT_LT(step, 100);
  }
  // Two signatures written and read back, and the old one's rename, beyond
  // the unsigned publish's steps.
  EXPECT_GE(step, 18);
  EXPECT_NE(Snapshot(site), before);
  const std::string publicKey = ReadBytes(KeyPath("test.pub"));
  EXPECT_EQ(crypto::Verify(publicKey, ReadBytes(site / "update.xml"), ReadBytes(site / "update.xml.sig")),
            crypto::Verdict::kValid);
  for (const auto& entry : fs::directory_iterator(site))
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
}

// The host's files until the publish is killed after its `renames`-th
// rename: from then on nothing it does reaches the disk, its clean-up
// neither.
class KilledSiteFiles final : public updpub::SiteFiles {
 public:
  explicit KilledSiteFiles(int renames) : renamesLeft_(renames) {}
  bool MakeFolders(const fs::path& folder, std::string& error) override {
    return Alive(error) && host_.MakeFolders(folder, error);
  }
  bool MakeNewFolder(const fs::path& folder, std::string& error) override {
    return Alive(error) && host_.MakeNewFolder(folder, error);
  }
  updpub::CopyOutcome Copy(const fs::path& from, const fs::path& to, std::vector<char>& buffer,
                           const std::function<void(uint64_t)>& progress, bool withSha256) override {
    updpub::CopyOutcome killed;
    return Alive(killed.error) ? host_.Copy(from, to, buffer, progress, withSha256) : killed;
  }
  bool WriteFile(const fs::path& path, std::string_view bytes, std::string& error) override {
    return Alive(error) && host_.WriteFile(path, bytes, error);
  }
  bool ReadFile(const fs::path& path, std::string& bytes, std::string& error) override {
    return Alive(error) && host_.ReadFile(path, bytes, error);
  }
  bool Rename(const fs::path& from, const fs::path& to, std::string& error) override {
    if (!Alive(error) || !host_.Rename(from, to, error)) return false;
    --renamesLeft_;
    return true;
  }
  bool Exists(const fs::path& path) override { return host_.Exists(path); }
  void RemoveAll(const fs::path& path) override {
    std::string ignored;
    if (Alive(ignored)) host_.RemoveAll(path);
  }

 private:
  bool Alive(std::string& error) const {
    if (renamesLeft_ > 0) return true;
    error = "killed";
    return false;
  }
  int renamesLeft_;
  updpub::SiteFiles& host_ = updpub::HostSiteFiles();
};

// A publish killed after any of its renames leaves a configuration and a
// signature that an updater with the key takes (the old pair or the new),
// except between the last two: the format has one signature per document,
// so there the signature is already the new one. Check names that state and
// publishing the same release again mends it.
TEST(SignedPublishKill, LeavesAnAcceptedPairAtEveryRenameButOneThatCheckNamesAndARepeatMends) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "old", {{"a.txt", "old a"}});
  WriteRelease(scratch.path() / "release", SmallRelease());
  const fs::path published = scratch.path() / "published";
  ASSERT_EQ(updpub::Publish(SignedOptions(scratch.path() / "old", published, "1.0"), updpub::HostSiteFiles(), nullptr)
                .exitCode,
            updpub::kPublished);
  const std::string publicKey = ReadBytes(KeyPath("test.pub"));
  int refused = 0;
  int renames = 0;
  for (;; ++renames) {
    SCOPED_TRACE("killed after rename " + std::to_string(renames));
    const fs::path site = scratch.path() / ("site" + std::to_string(renames));
    fs::copy(published, site, fs::copy_options::recursive);
    const updpub::PublishOptions options = SignedOptions(scratch.path() / "release", site, "2.0");
    KilledSiteFiles killed(renames);
    if (updpub::Publish(options, killed, nullptr).exitCode == updpub::kPublished) break;
    ASSERT_LT(renames, 10);
    const std::string config = ReadBytes(site / "update.xml");
    xml::XmlDocument document;
    ASSERT_TRUE(document.LoadFromBytes(config));
    EXPECT_TRUE(fs::exists(site / document.GetText("Update/Setting/Version") / "filelist.xml"));
    const std::string signature = fs::exists(site / "update.xml.sig") ? ReadBytes(site / "update.xml.sig") : "";
    if (crypto::Verify(publicKey, config, signature) == crypto::Verdict::kValid) continue;
    ++refused;

    updpub::CheckOptions checkOptions;
    checkOptions.target = site.string();
    checkOptions.publicKeys = {KeyPath("test.pub")};
    checkOptions.now = kNow;
    FolderHttp unused(site);
    const updpub::CheckReport report = updpub::CheckSite(checkOptions, unused);
    ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
    EXPECT_NE(report.findings[0].text.find("the configuration a publish cut short left staged"), std::string::npos)
        << report.findings[0].text;
    ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
    EXPECT_EQ(crypto::Verify(publicKey, ReadBytes(site / "update.xml"), ReadBytes(site / "update.xml.sig")),
              crypto::Verdict::kValid);
    EXPECT_EQ(updpub::CheckSite(checkOptions, unused).errors, 0) << AllFindings(updpub::CheckSite(checkOptions, unused));
  }
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(renames, 3);  // the version folder, the signature, the configuration
}

TEST(SignedPublish, AnUnsignedPublishTakesTheOldSignatureAway) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "release", SmallRelease());
  const fs::path site = scratch.path() / "site";
  ASSERT_EQ(updpub::Publish(SignedOptions(scratch.path() / "release", site, "1.0"), updpub::HostSiteFiles(), nullptr)
                .exitCode,
            updpub::kPublished);
  ASSERT_EQ(updpub::Publish(Options(scratch.path() / "release", site, "2.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  EXPECT_FALSE(fs::exists(site / "update.xml.sig"));
  EXPECT_TRUE(fs::exists(site / "1.0" / "filelist.xml.sig"));  // the old version stays whole
}

// A signed site laid out as a web server holds it.
class SignedMirror {
 public:
  SignedMirror() {
    WriteRelease(scratch_.path() / "release", SmallRelease());
    const updpub::PublishResult result = updpub::Publish(
        SignedOptions(scratch_.path() / "release", scratch_.path() / "built", "2.0"), updpub::HostSiteFiles(), nullptr);
    EXPECT_EQ(result.exitCode, updpub::kPublished) << result.failure;
    fs::create_directories(root() / "cfg");
    fs::create_directories(root() / "srv1");
    fs::rename(scratch_.path() / "built" / "update.xml", Path(kConfig));
    fs::rename(scratch_.path() / "built" / "update.xml.sig", Path(std::string(kConfig) + ".sig"));
    fs::rename(scratch_.path() / "built" / "2.0", root() / "srv1" / "2.0");
  }
  fs::path root() const { return scratch_.path() / "www"; }
  fs::path Path(const std::string& relative) const { return root() / relative; }

  // Edits a document and signs it again: a site the vendor did publish.
  void EditSigned(const char* relative, const std::function<void(std::string&)>& edit) {
    std::string bytes = ReadBytes(Path(relative));
    edit(bytes);
    WriteBytes(Path(relative), bytes);
    WriteBytes(Path(std::string(relative) + ".sig"), SignatureOf(bytes));
  }
  void Edit(const std::string& relative, const std::function<void(std::string&)>& edit) {
    std::string bytes = ReadBytes(Path(relative));
    edit(bytes);
    WriteBytes(Path(relative), bytes);
  }

 private:
  ScratchFolder scratch_;
};

updpub::CheckReport CheckSigned(const SignedMirror& mirror, int64_t now = kNow, const char* key = "test.pub") {
  FolderHttp http(mirror.root());
  updpub::CheckOptions options;
  options.target = kConfigAddress;
  options.publicKeys = {KeyPath(key)};
  options.now = now;
  return updpub::CheckSite(options, http);
}

TEST(SignedCheck, AGoodSiteHasNoFindingWithTheKeyOrWithout) {
  SignedMirror mirror;
  const updpub::CheckReport signedReport = CheckSigned(mirror);
  EXPECT_EQ(signedReport.findings.size(), 0u) << AllFindings(signedReport);
  EXPECT_EQ(signedReport.checked,
            (std::vector<std::string>{"http://mirror.test/cfg/update.xml", "http://mirror.test/cfg/update.xml.sig",
                                      "http://mirror.test/srv1/2.0/filelist.xml",
                                      "http://mirror.test/srv1/2.0/filelist.xml.sig"}));
  FolderHttp http(mirror.root());
  const updpub::CheckReport plain = updpub::CheckSite(updpub::CheckOptions{kConfigAddress, std::nullopt}, http);
  EXPECT_EQ(plain.findings.size(), 0u) << AllFindings(plain);
}

TEST(SignedCheck, AKeyThatIsNoPublicKeyIsTheOnlyFinding) {
  SignedMirror mirror;
  const updpub::CheckReport report = CheckSigned(mirror, kNow, "test.key");
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  EXPECT_NE(report.findings[0].text.find("not a public key"), std::string::npos);
}

struct BrokenSignedSite {
  const char* name;
  std::function<void(SignedMirror&)> breakIt;
  const char* where;     // the file the finding names
  std::string lineMark;  // a text on the finding's line of that file; "" for the file as a whole
  const char* says;
  int64_t now = kNow;
};
void PrintTo(const BrokenSignedSite& row, std::ostream* out) { *out << row.name; }

class BrokenSignedSiteTest : public testing::TestWithParam<BrokenSignedSite> {};

TEST_P(BrokenSignedSiteTest, ReportsItsOneFinding) {
  const BrokenSignedSite& row = GetParam();
  SignedMirror mirror;
  row.breakIt(mirror);
  const updpub::CheckReport report = CheckSigned(mirror, row.now);
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  const updpub::Finding& finding = report.findings[0];
  EXPECT_EQ(finding.where, std::string("http://mirror.test/") + row.where);
  const int line = row.lineMark.empty() ? 0 : LineOf(ReadBytes(mirror.Path(row.where)), row.lineMark);
  ASSERT_TRUE(row.lineMark.empty() || line > 0) << "no mark in the file";
  EXPECT_EQ(finding.line, line) << finding.text;
  EXPECT_EQ(finding.severity, updpub::Severity::kError) << finding.text;
  EXPECT_NE(finding.text.find(row.says), std::string::npos) << finding.text;
}

const std::string kConfigSig = std::string(kConfig) + ".sig";
const std::string kListSig = std::string(kList) + ".sig";

void Resign(SignedMirror& m, const std::string& document, const char* key) {
  WriteBytes(m.Path(document + ".sig"), SignatureOf(ReadBytes(m.Path(document)), key));
}

const BrokenSignedSite kBrokenSignedSites[] = {
    BrokenSignedSite{"FlippedByteInConfig",
                     [](SignedMirror& m) { m.Edit(kConfig, [](std::string& s) { ReplaceOnce(s, "home", "hone"); }); },
                     kConfigSig.c_str(), "", "does not match"},
    BrokenSignedSite{"FlippedByteInList",
                     [](SignedMirror& m) { m.Edit(kList, [](std::string& s) { ReplaceOnce(s, "  <File", " \t<File"); }); },
                     kListSig.c_str(), "", "does not match"},
    BrokenSignedSite{"ConfigSignedByAnotherKey", [](SignedMirror& m) { Resign(m, kConfig, "other.key"); },
                     kConfigSig.c_str(), "", "does not match"},
    BrokenSignedSite{"ListSignedByAnotherKey", [](SignedMirror& m) { Resign(m, kList, "other.key"); },
                     kListSig.c_str(), "", "does not match"},
    BrokenSignedSite{"TruncatedConfigSignature",
                     [](SignedMirror& m) { m.Edit(kConfigSig, [](std::string& s) { s.pop_back(); }); },
                     kConfigSig.c_str(), "", "63 bytes instead of 64"},
    BrokenSignedSite{"EmptyListSignature", [](SignedMirror& m) { WriteBytes(m.Path(kListSig), ""); },
                     kListSig.c_str(), "", "0 bytes instead of 64"},
    BrokenSignedSite{"MissingConfigSignature", [](SignedMirror& m) { fs::remove(m.Path(kConfigSig)); },
                     kConfigSig.c_str(), "", "signature is missing"},
    BrokenSignedSite{"ListOfAnotherVersion",
                     [](SignedMirror& m) {
                       m.EditSigned(kList, [](std::string& s) { ReplaceOnce(s, "Version=\"2.0\"", "Version=\"1.9\""); });
                     },
                     kList, "<Files", "Version is \"1.9\", the configuration's \"2.0\""},
    BrokenSignedSite{"ListOfAnotherSoftName",
                     [](SignedMirror& m) {
                       m.EditSigned(kList, [](std::string& s) { ReplaceOnce(s, "SoftName=\"测试", "SoftName=\"演示"); });
                     },
                     kList, "<Files", "belongs to another release"},
    BrokenSignedSite{"ListWithoutVersion",
                     [](SignedMirror& m) {
                       m.EditSigned(kList, [](std::string& s) { ReplaceOnce(s, " Version=\"2.0\"", ""); });
                     },
                     kList, "<Files", "no Version on <Files>"},
    BrokenSignedSite{"ExpiredConfiguration", [](SignedMirror&) {}, kConfig, "<Update",
                     "expired at 2027-02-14 08:00:00 UTC", kNow + updpub::kDefaultExpiresDays * kDay + 1},
    BrokenSignedSite{"ConfigurationWithoutExpiry",
                     [](SignedMirror& m) {
                       m.EditSigned(kConfig, [](std::string& s) { ReplaceOnce(s, "<Update Expires=", "<Update X="); });
                     },
                     kConfig, "<Update", "no Expires"},
    BrokenSignedSite{"FileKeepsItsCrcButNotItsSha256",
                     [](SignedMirror& m) {
                       const fs::path file = m.Path("srv1/2.0/a.txt");
                       const std::string forged = "evil";
                       WriteBytes(file, forged + CrcForcingTail(forged, Crc(ReadBytes(file))));
                     },
                     kList, "a.txt", "its CRC matches"},
    BrokenSignedSite{"FileWithoutSha256",
                     [](SignedMirror& m) {
                       m.EditSigned(kList, [](std::string& s) {
                         const size_t at = s.find("Sha256=");
                         s.erase(at - 1, 74);
                       });
                     },
                     kList, "a.txt", "no Sha256"},
};

INSTANTIATE_TEST_SUITE_P(Sites, BrokenSignedSiteTest, testing::ValuesIn(kBrokenSignedSites),
                         [](const testing::TestParamInfo<BrokenSignedSite>& info) { return info.param.name; });

TEST(SignedCheck, AConfigurationAboutToExpireIsAWarning) {
  SignedMirror mirror;
  const updpub::CheckReport report = CheckSigned(mirror, kNow + (updpub::kDefaultExpiresDays - 2) * kDay);
  ASSERT_EQ(report.findings.size(), 1u) << AllFindings(report);
  EXPECT_EQ(report.findings[0].severity, updpub::Severity::kWarning);
  EXPECT_EQ(report.errors, 0);
}

}  // namespace
