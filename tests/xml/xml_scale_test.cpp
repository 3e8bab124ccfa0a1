// Sizes far beyond any real update document: loading, querying and freeing
// must stay linear and must not recurse per nesting level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xml_document.h"

namespace {

using xml::XmlDocument;

constexpr int kDepth = 100000;
constexpr size_t kBigSize = 50u * 1024 * 1024;

std::string Nested(int depth) {
  std::string text;
  text.reserve(static_cast<size_t>(depth) * 7 + 8);
  for (int i = 0; i < depth; ++i) text += "<e>";
  text += "deep";
  for (int i = 0; i < depth; ++i) text += "</e>";
  return text;
}

TEST(LargeDocument, DeepNestingLoadsQueriesAndFrees) {
  const std::string bytes = Nested(kDepth);
  std::string path = "e";
  for (int i = 1; i < kDepth; ++i) path += "/e";
  {
    XmlDocument doc;
    ASSERT_TRUE(doc.LoadFromBytes(bytes));
    EXPECT_EQ(doc.GetText(path), "deep");
    int count = -1;
    ASSERT_TRUE(doc.ChildCount(path, count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(doc.GetText(path + "/e"), "");
  }  // destroyed here: must not overflow the stack
  XmlDocument reused;
  ASSERT_TRUE(reused.LoadFromBytes(bytes));
  reused.Release();
  EXPECT_FALSE(reused.IsLoaded());
}

TEST(LargeDocument, DeepNestingMissingOneEndTagFails) {
  std::string bytes = Nested(kDepth);
  bytes.resize(bytes.size() - 4);
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(bytes));
}

// Rows "<F Name="f00000001.dat" Hash="00000007"/>" one after another.
std::string FileListOfSize(size_t size, int& children) {
  const std::string row = "<F Name=\"f00000000.dat\" Hash=\"00000000\"/>";
  const size_t nameDigits = row.find('0');
  const size_t hashDigits = row.find("Hash=") + 6;
  std::string text = "<Files>";
  text.reserve(size + row.size() + 16);
  children = 0;
  while (text.size() < size) {
    ++children;
    const size_t at = text.size();
    text += row;
    for (unsigned value = children, i = 8; i-- > 0; value /= 10) text[at + nameDigits + i] = char('0' + value % 10);
    for (unsigned value = children * 7u, i = 8; i-- > 0; value /= 16) text[at + hashDigits + i] = "0123456789ABCDEF"[value % 16];
  }
  text += "</Files>";
  return text;
}

TEST(LargeDocument, FiftyMegabyteSingleLineFileList) {
  int children = 0;
  const std::string bytes = FileListOfSize(kBigSize, children);
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(bytes));
  int count = 0;
  ASSERT_TRUE(doc.ChildCount("Files", count));
  EXPECT_EQ(count, children);
  // Walking every child by position, as the file-list step does.
  int inPlace = 0;
  for (int i = 1; i <= count; ++i) {
    const std::string name = doc.GetAttribute("Files/@" + std::to_string(i), "Name");
    inPlace += name.size() == 13 && std::stoi(name.substr(1, 8)) == i;
  }
  EXPECT_EQ(inPlace, count);
  EXPECT_EQ(doc.GetAttribute("Files/@1", "Name"), "f00000001.dat");
  EXPECT_EQ(doc.GetAttribute("Files/@1000000", "Hash"), "006ACFC0");  // 7,000,000
}

TEST(LargeDocument, FiftyMegabyteSingleLineFailsAtItsLastByte) {
  int children = 0;
  std::string bytes = FileListOfSize(kBigSize, children);
  bytes += ">";
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(bytes));
}

TEST(LargeDocument, FiftyMegabyteTextAndValue) {
  std::string text(kBigSize / 2, 'x');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = '&';  // long pending sequences
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<R v=\"" + text + "\">" + text + "</R>"));
  EXPECT_EQ(doc.GetText("R"), text);
  EXPECT_EQ(doc.GetAttribute("R", "v"), text);
}

TEST(LargeDocument, UnterminatedConstructsRunToTheEnd) {
  const std::string filler(kBigSize / 4, 'y');
  XmlDocument doc;
  EXPECT_TRUE(doc.LoadFromBytes("<R/><!--" + filler));
  EXPECT_FALSE(doc.LoadFromBytes("<R><![CDATA[" + filler));
  EXPECT_FALSE(doc.LoadFromBytes("<R a=\"" + filler));
  EXPECT_TRUE(doc.LoadFromBytes("<R></R><S a=\"" + filler));
}

TEST(LargeDocument, TextInManyPieces) {
  std::string bytes = "<R>";
  for (int i = 0; i < 200000; ++i) bytes += "ab<!x>";
  bytes += "</R>";
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(bytes));
  EXPECT_EQ(doc.GetText("R").size(), 400000u);
}

std::string ManyAttributes(int count) {
  std::string text = "<R";
  for (int i = 0; i < count; ++i) text += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  return text;
}

TEST(LargeDocument, HundredThousandAttributes) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(ManyAttributes(100000) + "/>"));
  EXPECT_EQ(doc.GetAttribute("R", "a0"), "0");
  EXPECT_EQ(doc.GetAttribute("R", "a99999"), "99999");
  EXPECT_FALSE(doc.LoadFromBytes(ManyAttributes(100000) + " a50000=\"again\"/>"));
}

TEST(LargeDocument, ManyTopLevelElementsKeepOnlyTheLast) {
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes += "<A><B/></A>";
  bytes += "<Z><Y/></Z>";
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(bytes));
  EXPECT_EQ(doc.RootName(), "Z");
  std::vector<std::string> names;
  ASSERT_TRUE(doc.ChildNames("Z", names));
  EXPECT_EQ(names, std::vector<std::string>{"Y"});
}

}  // namespace
