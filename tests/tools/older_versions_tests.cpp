// Which older versions of a site serve as bases, newest first, and which
// file of one a new file is encoded against.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "site/version_order.h"
#include "tool_support.h"
#include "updpub/publish/older_versions.h"
#include "updpub/publish/text_rules.h"

namespace {

using namespace tool_testing;
using Names = std::vector<std::string>;

TEST(OlderVersions, NewestFirstByNumberWithTheReplacedVersionAheadAndAtMostK) {
  ScratchFolder scratch;
  const fs::path site = scratch.path();
  for (const char* version : {"1.9", "1.10", "1.2", "0.9", "beta", "2.0", "1.01", "1.1"})
    WriteBytes(site / version / "filelist.xml", "<Files/>");
  // Neither a folder without a list, nor an unfinished publish, nor a file.
  fs::create_directories(site / "9.0");
  WriteBytes(site / ".2.5.tmp" / "filelist.xml", "<Files/>");
  WriteBytes(site / "8.0", "not a folder");

  EXPECT_EQ(updpub::OlderVersions(site, "1.2", "2.0", SIZE_MAX),
            (Names{"1.2", "1.10", "1.9", "1.1", "1.01", "0.9", "beta"}));
  EXPECT_EQ(updpub::OlderVersions(site, "1.2", "2.0", 3), (Names{"1.2", "1.10", "1.9"}));
  // A replaced version that is not on the site changes nothing.
  EXPECT_EQ(updpub::OlderVersions(site, "7.7", "1.1", 4), (Names{"2.0", "1.10", "1.9", "1.2"}));
  EXPECT_EQ(updpub::OlderVersions(site, "", "2.0", 0), Names{});
}

TEST(OlderVersions, CompareNumbersAsNumbers) {
  EXPECT_LT(updpub::CompareVersions("1.9", "1.10"), 0);
  EXPECT_GT(updpub::CompareVersions("10.0", "9.99"), 0);
  EXPECT_LT(updpub::CompareVersions("1.0", "1.0.1"), 0);
  EXPECT_EQ(updpub::CompareVersions("1.01", "1.1"), 0);
  // Dotted decimal versions rank exactly as the updater orders them.
  const std::pair<const char*, const char*> pairs[] = {{"1.2", "1.2.0"}, {"1.2.0.0", "1.2"}, {"1.2", "1.2.1"},
                                                       {"01.10", "1.9"}, {"3", "2.99.99"}, {"0.0", "0"}};
  for (const auto& [a, b] : pairs) {
    const engine::VersionOrder order = engine::CompareDottedVersions(a, b);
    const int expected = order == engine::VersionOrder::kLower ? -1 : order == engine::VersionOrder::kEqual ? 0 : 1;
    const int got = updpub::CompareVersions(a, b);
    EXPECT_EQ((got > 0) - (got < 0), expected) << a << " against " << b;
  }
  EXPECT_LT(updpub::CompareVersions("2.0-beta", "2.0.1"), 0);
  EXPECT_GT(updpub::CompareVersions("1.0", "release"), 0);
  EXPECT_LT(updpub::CompareVersions("alpha", "beta"), 0);
}

// An older version's files; the release still holds the names in `kept`.
struct BaseCase {
  std::vector<updpub::OlderFile> older;
  Names kept;

  const updpub::OlderFile* For(const std::string& name) const {
    Names folded;
    for (const std::string& keptName : kept) folded.push_back(updpub::FoldedName(keptName));
    std::sort(folded.begin(), folded.end());
    return updpub::BaseFor(name, older, folded);
  }
};

std::vector<updpub::OlderFile> Files(const Names& names) {
  std::vector<updpub::OlderFile> files;
  for (const std::string& name : names) files.push_back(updpub::OlderFile{name, 0, fs::path(name)});
  return files;
}

std::string NameOf(const updpub::OlderFile* file) { return file ? file->listName : "(none)"; }

TEST(BaseFor, AFileKeepsItsOwnNameInAnyCase) {
  const BaseCase versions{Files({"lib-8.17.2.dll", "Bin\\App.EXE", "bin\\app2.exe"}), {"bin\\app.exe"}};
  EXPECT_EQ(NameOf(versions.For("bin\\app.exe")), "Bin\\App.EXE");
}

TEST(BaseFor, ANewNameTakesTheMostSimilarGoneFileOfItsExtension) {
  const BaseCase versions{Files({"lib-8.17.2.txt", "lib-8.17.2a.dll", "libz.dll", "lib-8.16.0.dll",
                                 "lib-8.17.old.dll", "LIB-8.17.2.DLL"}),
                          {"lib-8.17.2a.dll", "libz.dll"}};
  // Still-shipped files are no candidates, however close; the longest common
  // prefix wins ("lib-8.17." over "lib-8.1"), then the fewest edits.
  EXPECT_EQ(NameOf(versions.For("lib-8.17.3.dll")), "LIB-8.17.2.DLL");
}

TEST(BaseFor, NoCandidateOfAnotherExtensionOrStillShipped) {
  const BaseCase versions{Files({"app.exe", "readme", "tools.d\\notes", "lib-1.dll"}), {"lib-1.dll"}};
  EXPECT_EQ(versions.For("app.dll"), nullptr);
  EXPECT_EQ(versions.For("lib-2.dll"), nullptr);
  // A dot in a folder's name is no extension: files without one pair up.
  EXPECT_EQ(NameOf(versions.For("readme2")), "readme");
  EXPECT_EQ(NameOf(versions.For("tools.d\\notes2")), "tools.d\\notes");
  EXPECT_EQ(BaseCase{}.For("app.exe"), nullptr);
}

}  // namespace
