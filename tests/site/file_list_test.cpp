#include "site/file_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "download/difference.h"
#include "site/listed_hashes.h"
#include "support/memory_file_system.h"
#include "xml/xml_document.h"

namespace {

using engine::FileEntry;

std::vector<std::string> Names(const std::vector<FileEntry>& entries) {
  std::vector<std::string> names;
  for (const FileEntry& entry : entries) names.push_back(entry.Name);
  return names;
}

class TrimListTextTest : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(TrimListTextTest, RemovesBlanksAtEnds) {
  EXPECT_EQ(engine::TrimListText(GetParam().first), GetParam().second);
}

// B0 A1 is a character, so an A1 after it is no ideographic space.
INSTANTIATE_TEST_SUITE_P(
    Bodies, TrimListTextTest,
    testing::Values(std::make_pair(" \xA1\xA1 <F/> \xA1\xA1", "<F/>"), std::make_pair("  \xA1\xA1 ", ""),
                    std::make_pair("\r\n\t", "\r\n\t"), std::make_pair(std::string(" a \0 b", 6), "a"),
                    std::make_pair("x\xB0\xA1\xA1", "x\xB0\xA1\xA1"),
                    std::make_pair("x\xB0\xA1\xA1\xA1", "x\xB0\xA1")));

TEST(ReadServerFileList, KeepsUsableSafeChildrenInOrder) {
  const std::string body =
      "\xA1\xA1 <?xml version=\"1.0\" encoding=\"gb2312\"?>\r\n<Files>"
      "<File Name=\"Main.exe\" Hash=\"1A2B\"/><Library Name=\"data\\x.dll\" Hash=\"ff\"/>"
      "<File Name=\"NoHash.dll\"/><File Hash=\"12\"/><File Name=\"\" Hash=\"12\"/>"
      "<File Name=\"a\\..\\..\\x\" Hash=\"1\"/><File Name=\"\xD5\x5C..\\y\" Hash=\"2\"/>"
      "<File Name=\"Update/x/y.txt\" Hash=\"3\"/><File Name=\"update.\\x\" Hash=\"4\"/>"
      "<File Name=\"updates\\z\" Hash=\"5\"/><File Name=\"update.txt\" Hash=\"6\"/>"
      "<File Name=\"update \\x.dll\" Hash=\"7\"/>"
      "</Files> \r\n";
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(body)));
  engine::SkippedNames skipped;
  const std::vector<FileEntry> entries = engine::ReadServerFileList(document, &skipped);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"Main.exe", "data\\x.dll", "\xD5\x5C..\\y",
                                                      "updates\\z", "update.txt"}));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[1].Hash, "ff");
  EXPECT_EQ(skipped.leavingFolder, std::vector<std::string>{"a\\..\\..\\x"});
  EXPECT_EQ(skipped.inStagingFolder, (std::vector<std::string>{"Update/x/y.txt", "update.\\x", "update \\x.dll"}));

  ASSERT_TRUE(document.LoadFromBytes("<List><File Name=\"a\" Hash=\"1\"/></List>"));
  EXPECT_TRUE(engine::ReadServerFileList(document).empty());
}

struct MatchCase {
  const char* signature;
  const char* hash;
  bool matches;
};

class SignatureMatchesTest : public testing::TestWithParam<MatchCase> {};

TEST_P(SignatureMatchesTest, ComparesValues) {
  EXPECT_EQ(engine::SignatureMatches(GetParam().signature, GetParam().hash), GetParam().matches)
      << "signature " << GetParam().signature << ", hash " << GetParam().hash;
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SignatureMatchesTest,
    testing::Values(MatchCase{"1A2B3C4D", "1a2B3c4d", true}, MatchCase{"FFFFFFFF", "ffffffff", true},
                    MatchCase{"A2B", "00000a2b", true}, MatchCase{"0", "00", true},
                    MatchCase{"A2B", "000000A2B", false}, MatchCase{"A2B", "0xA2B", false},
                    MatchCase{"A2B", " A2B", false}, MatchCase{"A2B", "+A2B", false},
                    MatchCase{"A2B", "A2C", false}, MatchCase{"A2B", "A2G", false},
                    MatchCase{"A2B", "", false}, MatchCase{"", "0", false}, MatchCase{"", "XYZ", false}));

TEST(FilesToDownload, ListsMissingAndDifferentInOrder) {
  const std::string folder = "C:\\P\\";
  testing_support::MemoryFileSystem fs;
  for (const char* name : {"same.dll", "changed.dll", "zeros.dll", "odd.dll"}) fs.Put(folder + name, "v31");
  fs.folders.insert(folder + "dir.dll\\");
  fs.folders.insert(folder + "zero\\");
  ASSERT_EQ(fs.Signature(folder + "zeros.dll"), "A88A8FA");  // CRC-32 of "v31"
  const std::vector<FileEntry> server = {{"missing.dll", "1"},   {"same.dll", "a88a8fa"},
                                         {"changed.dll", "A88A8FB"}, {"zeros.dll", "0A88A8FA"},
                                         {"odd.dll", "0xA88A8FA"}, {"dir.dll", "1234"},
                                         {"zero", "0"}, {"gone.dll", "XYZ"}};
  EXPECT_EQ(Names(engine::FilesToDownload(server, folder, fs)),
            (std::vector<std::string>{"missing.dll", "changed.dll", "odd.dll", "dir.dll", "gone.dll"}));
}

// 誠 is D5 5C: its second byte is no separator, so "sub\誠.dll" lies in the
// folder sub, not in one named by the first byte.
TEST(FolderOfEntry, CutsAtEitherSeparatorNeverInsideACharacter) {
  const std::string base = "C:\\P\\";
  const std::pair<const char*, const char*> cases[] = {{"a/b\\x.dll", "a\\b\\"},
                                                       {"\xD5\x5C\\x.dll", "\xD5\x5C\\"},
                                                       {"sub\\\xD5\x5C.dll", "sub\\"}};
  for (const auto& [name, folder] : cases) EXPECT_EQ(engine::FolderOfEntry(base, name), base + folder) << name;
}

}  // namespace
