#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xml_document.h"

namespace {

using xml::XmlDocument;

struct MalformedCase {
  const char* label;
  std::string bytes;
};

std::ostream& operator<<(std::ostream& out, const MalformedCase& c) { return out << c.label; }

class MalformedDocument : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDocument, FailsAndLeavesNothingLoaded) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<Files><F/></Files>"));
  EXPECT_FALSE(doc.LoadFromBytes(GetParam().bytes));
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_EQ(doc.RootName(), "");
  int count = -3;
  EXPECT_FALSE(doc.ChildCount("Files", count));
  EXPECT_EQ(count, -3);
}

INSTANTIATE_TEST_SUITE_P(
    FailureList, MalformedDocument,
    ::testing::Values(
        MalformedCase{"Empty", ""},
        MalformedCase{"OnlySpaces", "   \t "},
        MalformedCase{"OnlyLineBreaks", "\r\n\r\n"},
        MalformedCase{"OnlyDeclaration", "<?xml version=\"1.0\"?>"},
        MalformedCase{"OnlyComment", "<!-- nothing here -->"},
        MalformedCase{"OnlyText", "plain text"},
        MalformedCase{"GreaterThanInText", "<Log>1 > 0</Log>"},
        MalformedCase{"GreaterThanBeforeFirstTag", "> <Files/>"},
        MalformedCase{"GreaterThanAfterEmptyTag", "<Files><F/> > </Files>"},
        MalformedCase{"GreaterThanAfterEndTag", "<Files></Files> >"},
        MalformedCase{"GreaterThanAfterCdata", "<Log><![CDATA[x]]> ]]></Log>"},
        MalformedCase{"GreaterThanAfterSkippedConstruct", "<Log><!x> > </Log>"},
        MalformedCase{"LessThanInsideTag", "<Files><F</Files>"},
        MalformedCase{"LessThanBetweenAttributes", "<F a=\"1\" <G/></F>"},
        MalformedCase{"LessThanInsideDeclaration", "<!DOCTYPE a [ <!ENTITY e \"v\"> ]><a/>"},
        MalformedCase{"BareEndTag", "</>"},
        MalformedCase{"BareEndTagInsideElement", "<Files></></Files>"},
        MalformedCase{"EndTagMismatch", "<Files></Filez>"},
        MalformedCase{"EndTagCaseMismatch", "<Files></files>"},
        MalformedCase{"EndTagOutOfOrder", "<a><b></a></b>"},
        MalformedCase{"EndTagWithNothingOpen", "</Files>"},
        MalformedCase{"EndTagAfterEmptyTag", "<Files/></Files>"},
        MalformedCase{"EndTagAfterRootClosed", "<Files></Files></Files>"},
        MalformedCase{"StillOpen", "<Update><Setting></Setting>"},
        MalformedCase{"StillOpenWithUnfinishedTag", "<Update><Setting"},
        MalformedCase{"EqualsWithoutName", "<F =\"1\"/>"},
        MalformedCase{"EqualsWithoutNameAfterPair", "<F a=\"1\" =\"2\"/>"},
        MalformedCase{"QuoteInName", "<F a\"b=\"1\"/>"},
        MalformedCase{"DuplicateAttribute", "<Server Name=\"a\" Addr=\"b\" Name=\"c\"/>"},
        MalformedCase{"DuplicateAdjacentAttribute", "<Server Name=\"a\" Name=\"b\"/>"},
        MalformedCase{"EqualsInQuotedValue", "<Server Addr=\"http://h/get.php?id=5\"/>"},
        MalformedCase{"EqualsInQuotedValueBeforePair",
                      "<Server Addr=\"http://h/?a=1\" Name=\"n\"/>"},
        // With a second equals sign the quote no longer lands in a name.
        MalformedCase{"TwoEqualsInQuotedValue",
                      "<Server Name=\"a\" Addr=\"http://h/get.php?a=1&amp;b=2\"/>"},
        MalformedCase{"ThreeEqualsInQuotedValue", "<F a=\"x=y=z=w\"/>"},
        MalformedCase{"TwoEqualsInQuotedValueBeforePair", "<F a=\"x=y=z\" b=\"1\"/>"},
        MalformedCase{"EndsWithLeadByte", "<Files/>\xB0"},
        MalformedCase{"EndsWithLeadByteAfterPairs", "<Files/>\xB0\xA1\xB0"},
        MalformedCase{"EndsWithLeadByteInComment", "<Files/><!-- \xB0"},
        MalformedCase{"TrailByteSwallowsLessThan", "<Log>\xB0</Log>"},
        MalformedCase{"Utf8ByteOrderMark", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<Files/>"},
        MalformedCase{"CommentSwallowsEndTag", "<Files><!-- open </Files>"},
        MalformedCase{"CommentInQuotesSwallowsRest", "<F a=\"<!--\"/></F>"},
        MalformedCase{"UnfinishedCdataInsideElement", "<Log><![CDATA[ no end </Log>"}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.label); });

XmlDocument Loaded(const std::string& bytes) {
  XmlDocument doc;
  EXPECT_TRUE(doc.LoadFromBytes(bytes)) << bytes;
  return doc;
}

TEST(CommentRemoval, CommentsAnywhereAreIgnored) {
  XmlDocument doc = Loaded(
      "<!-- a --><?xml version=\"1.0\"?><!---->\n<R><!-- b -->"
      "<S>te<!-- c -->xt</S><!-- <T/> --></R><!-- d -->");
  EXPECT_EQ(doc.RootName(), "R");
  EXPECT_EQ(doc.GetText("R/S"), "text");
  int count = 0;
  ASSERT_TRUE(doc.ChildCount("R", count));
  EXPECT_EQ(count, 1);
}

TEST(CommentRemoval, KnowsNeitherQuotesNorCdata) {
  XmlDocument quoted = Loaded("<R a=\"1<!-- x -->2\"/>");
  EXPECT_EQ(quoted.GetAttribute("R", "a"), "12");
  XmlDocument cdata = Loaded("<R><![CDATA[x<!--y]]>-->z]]></R>");
  EXPECT_EQ(cdata.GetText("R"), "xz");
}

TEST(CommentRemoval, UnterminatedCommentRunsToTheEnd) {
  XmlDocument doc = Loaded("<R>x</R><!-- <S> never closed");
  EXPECT_EQ(doc.RootName(), "R");
}

TEST(CommentRemoval, OtherBangConstructsStay) {
  // "<!-" without the second hyphen is no comment; inside text it is skipped.
  XmlDocument doc = Loaded("<R>a<!-b>c</R>");
  EXPECT_EQ(doc.GetText("R"), "ac");
}

TEST(CommentRemoval, ClosingDelimiterAfterTwoByteCharacterCounts) {
  XmlDocument doc = Loaded("<R><!--\xB0\xA1-->x</R>");
  EXPECT_EQ(doc.GetText("R"), "x");
}

TEST(Tags, DeclarationsAndInstructionsAreSkipped) {
  XmlDocument doc = Loaded(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE R>\n"
      "<R><?pi data?><S/></R>");
  EXPECT_EQ(doc.RootName(), "R");
  std::vector<std::string> names;
  ASSERT_TRUE(doc.ChildNames("R", names));
  EXPECT_EQ(names, std::vector<std::string>{"S"});
}

TEST(Tags, QuotedStretchesAreLiteral) {
  XmlDocument doc = Loaded("<R a=\"<b>\" c=\"x/>y\" d=\"/\"><S/></R>");
  EXPECT_EQ(doc.GetAttribute("R", "a"), "<b>");
  EXPECT_EQ(doc.GetAttribute("R", "c"), "x/>y");
  EXPECT_EQ(doc.GetAttribute("R", "d"), "/");
  int count = 0;
  ASSERT_TRUE(doc.ChildCount("R", count));
  EXPECT_EQ(count, 1);
}

TEST(Tags, OnlySpaceEndsTheName) {
  // Tab and line break become part of the name, in start and end tag alike.
  XmlDocument doc = Loaded("<Files\r\n><F\tName=\"x\"/></Files\r\n>");
  EXPECT_EQ(doc.RootName(), "Files\r\n");
  EXPECT_EQ(doc.GetText("Files"), "");
  std::vector<std::string> names;
  ASSERT_TRUE(doc.ChildNames("Files\r\n", names));
  EXPECT_EQ(names, std::vector<std::string>{"F\tName=\"x\""});
}

TEST(Tags, EndTagIgnoresWhatFollowsASpace) {
  XmlDocument doc = Loaded("<R>t</R  extra>");
  EXPECT_EQ(doc.GetText("R"), "t");
}

TEST(Tags, UnfinishedTagAfterEverythingClosedIsIgnored) {
  EXPECT_EQ(Loaded("<R/><S a=\"1").RootName(), "R");
  EXPECT_EQ(Loaded("<R></R><").RootName(), "R");
  EXPECT_EQ(Loaded("<R></R>\n<?xml").RootName(), "R");
}

TEST(Tags, LaterTopLevelElementBecomesTheRoot) {
  XmlDocument doc = Loaded("<A><X/></A>\n<B><Y>y</Y></B>");
  EXPECT_EQ(doc.RootName(), "B");
  EXPECT_EQ(doc.GetText("B/Y"), "y");
  int count = 0;
  EXPECT_FALSE(doc.ChildCount("A", count));
  EXPECT_EQ(Loaded("<A/><B/><C/>").RootName(), "C");
}

TEST(Tags, TrailBytesAreNeverMarkup) {
  // 0x81 pairs with the byte after it: '>' in text, '"' in a value and '/'
  // before '>' are all second bytes here.
  XmlDocument text = Loaded("<R>\x81></R>");
  EXPECT_EQ(text.GetText("R"), "\x81>");
  XmlDocument quote = Loaded("<R a=\"\x81\"x\"/>");
  EXPECT_EQ(quote.GetAttribute("R", "a"), "\x81\"x");
  XmlDocument slash = Loaded("<R a=\x81/><S/></R>");
  EXPECT_EQ(slash.GetAttribute("R", "a"), "\x81/");
  int count = 0;
  ASSERT_TRUE(slash.ChildCount("R", count));
  EXPECT_EQ(count, 1);
}

TEST(Tags, TwoByteSpacesBeforeTheDeclarationAreDropped) {
  // Ideographic spaces (0xA1 0xA1) and plain spaces ahead of the document.
  XmlDocument doc = Loaded("  \xA1\xA1\xA1\xA1 <?xml version=\"1.0\"?>\r\n<Files></Files>");
  EXPECT_EQ(doc.RootName(), "Files");
}

TEST(Attributes, ValuesQuotedOrNot) {
  XmlDocument doc = Loaded("<R  a=\"x y\"   b=plain c='q' d=\"\" e=tail/>");
  EXPECT_EQ(doc.GetAttribute("R", "a"), "x y");
  EXPECT_EQ(doc.GetAttribute("R", "b"), "plain");
  EXPECT_EQ(doc.GetAttribute("R", "c"), "'q'");  // apostrophes are ordinary bytes
  EXPECT_EQ(doc.GetAttribute("R", "d"), "");
  EXPECT_EQ(doc.GetAttribute("R", "e"), "tail");
}

TEST(Attributes, OnlySpaceSeparatesPairs) {
  XmlDocument doc = Loaded("<R a=\"1\"\r\n b=\"2\"\tc=\"3\" d=\"4\"/>");
  EXPECT_EQ(doc.GetAttribute("R", "a"), "1");
  EXPECT_EQ(doc.GetAttribute("R", "b"), "");
  EXPECT_EQ(doc.GetAttribute("R", "\r\n b"), "2");
  EXPECT_EQ(doc.GetAttribute("R", "c"), "");
  EXPECT_EQ(doc.GetAttribute("R", "\tc"), "3");
  EXPECT_EQ(doc.GetAttribute("R", "d"), "4");
}

TEST(Attributes, AttributesInDocumentOrderFirstOfEachName) {
  XmlDocument doc = Loaded("<R a=\"1\" A=\"2\"><S a=\"3\"/></R>");
  EXPECT_EQ(doc.GetAttribute("R", "a"), "1");
  EXPECT_EQ(doc.GetAttribute("R", "A"), "2");
  EXPECT_EQ(doc.GetAttribute("R/S", "a"), "3");
}

TEST(Attributes, TrailingNameWithoutValueIsIgnored) {
  XmlDocument doc = Loaded("<R a=\"1\" flag/>");
  EXPECT_EQ(doc.GetAttribute("R", "a"), "1");
  EXPECT_EQ(doc.GetAttribute("R", "flag"), "");
}

TEST(Text, TrimmedOfSpacesTabsAndLineBreaks) {
  XmlDocument doc = Loaded("<R> \t\r\n inner  text \r\n\t </R>");
  EXPECT_EQ(doc.GetText("R"), "inner  text");
}

TEST(Text, TrimmingLeavesSecondBytesAlone) {
  XmlDocument doc = Loaded("<R> \x81 </R>");
  EXPECT_EQ(doc.GetText("R"), "\x81 ");
}

TEST(Text, OnlyTheStretchBeforeTheFirstChildCounts) {
  XmlDocument doc = Loaded("<R> head <S>inner</S> tail <T/> more </R>");
  EXPECT_EQ(doc.GetText("R"), "head");
  EXPECT_EQ(doc.GetText("R/S"), "inner");
  EXPECT_EQ(doc.GetText("R/T"), "");
}

TEST(Text, CdataSectionReplacesTheRestOfTheText) {
  XmlDocument doc = Loaded("<R> before <![CDATA[ \r\n <b>&amp;&lt; \r\n ]]> after </R>");
  EXPECT_EQ(doc.GetText("R"), "<b>&amp;&lt;");
}

TEST(Text, EmptyCdataDropsTheTextAroundIt) {
  XmlDocument doc = Loaded("<R>&amp;<![CDATA[]]></R>");
  EXPECT_EQ(doc.GetText("R"), "");
}

TEST(Text, CdataMayHoldTwoByteCharactersAndBrackets) {
  XmlDocument doc = Loaded("<R><![CDATA[\xB0\xA1]x]>]]></R>");
  EXPECT_EQ(doc.GetText("R"), "\xB0\xA1]x]>");
}

TEST(Text, SecondCdataSectionNeverReplacesTheFirst) {
  XmlDocument doc = Loaded("<R><![CDATA[one]]> <![CDATA[two]]></R>");
  EXPECT_EQ(doc.GetText("R"), "one");
}

// "\x9B\x5D" is one GBK character whose second byte is "]" (and "\x81\x3E"
// one whose second byte is ">"): neither may end a section or a construct.
TEST(Text, TrailBytesNeverEndACdataSection) {
  XmlDocument bracket = Loaded("<Log><![CDATA[a\x9B\x5D]>b]]></Log>");
  EXPECT_EQ(bracket.GetText("Log"), "a\x9B\x5D]>b");
  XmlDocument greater = Loaded("<Log><![CDATA[a\x9B\x5D\x81\x3E<b>]]></Log>");
  EXPECT_EQ(greater.GetText("Log"), "a\x9B\x5D\x81\x3E<b>");
}

TEST(Text, TrailByteNeverEndsASkippedConstruct) {
  XmlDocument doc = Loaded("<R>one<!x \x81>y> two</R>");
  EXPECT_EQ(doc.GetText("R"), "one two");
}

TEST(Text, BangConstructsInsideTextAreSkipped) {
  XmlDocument doc = Loaded("<R>one<!DOCTYPE x> two </R>");
  EXPECT_EQ(doc.GetText("R"), "one two");
}

TEST(Text, GreaterThanWrittenAsEntityLoads) {
  XmlDocument doc = Loaded("<R>1 &gt; 0</R>");
  EXPECT_EQ(doc.GetText("R"), "1 > 0");
}

TEST(Text, CdataAfterAnEndTagIsHarmless) {
  XmlDocument doc = Loaded("<R><S/></R><![CDATA[a>b]]>");
  EXPECT_EQ(doc.RootName(), "R");
}

}  // namespace
