#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xml_document.h"

namespace {

using xml::XmlDocument;

struct ReplacementCase {
  const char* written;
  const char* handedOut;
};

class EntityReplacement : public ::testing::TestWithParam<ReplacementCase> {};

TEST_P(EntityReplacement, InElementText) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(std::string("<R>") + GetParam().written + "</R>"));
  EXPECT_EQ(doc.GetText("R"), GetParam().handedOut);
}

TEST_P(EntityReplacement, InAttributeValue) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(std::string("<R v=\"") + GetParam().written + "\"/>"));
  EXPECT_EQ(doc.GetAttribute("R", "v"), GetParam().handedOut);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, EntityReplacement,
    ::testing::Values(
        ReplacementCase{"&lt;", "<"}, ReplacementCase{"&gt;", ">"}, ReplacementCase{"&amp;", "&"},
        ReplacementCase{"&apos;", "'"}, ReplacementCase{"&quote;", "\""},
        // The standard double-quote entity and character references stay.
        ReplacementCase{"&quot;", "&quot;"}, ReplacementCase{"&#65;", "&#65;"},
        ReplacementCase{"&#x41;", "&#x41;"}, ReplacementCase{"&LT;", "&LT;"},
        ReplacementCase{"&quote;&quot;&lt;&gt;", "\"&quot;<>"},
        // One pass: a replaced ampersand doesn't start a new sequence.
        ReplacementCase{"&amp;lt;", "&lt;"}, ReplacementCase{"&amp;amp;", "&amp;"},
        // Unfinished sequences are handed out as written.
        ReplacementCase{"a & b", "a & b"}, ReplacementCase{"&lt", "&lt"},
        ReplacementCase{"&&lt;", "&<"}, ReplacementCase{"&lt&gt;", "&lt>"},
        ReplacementCase{"&l\xB0\xA1t;", "&l\xB0\xA1t;"}, ReplacementCase{"&\xB0\xA1&gt;", "&\xB0\xA1>"},
        ReplacementCase{"&;", "&;"}, ReplacementCase{"x;&gt;;", "x;>;"},
        ReplacementCase{"&nbsp;&copy;", "&nbsp;&copy;"}));

TEST(EntityReplacement, AlsoInNamesHandedOut) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<a&amp;b><c&lt;d/><e&quot;f/></a&amp;b>"));
  EXPECT_EQ(doc.RootName(), "a&b");
  std::vector<std::string> names;
  ASSERT_TRUE(doc.ChildNames("a&b", names));
  EXPECT_EQ(names, (std::vector<std::string>{"c<d", "e&quot;f"}));
}

TEST(EntityReplacement, NotInCdataText) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<R><![CDATA[&lt;&amp;&quote;]]></R>"));
  EXPECT_EQ(doc.GetText("R"), "&lt;&amp;&quote;");
}

struct KeyCase {
  const char* key;      // as a caller passes it
  const char* written;  // as the document writes the same name
};

class KeyEncoding : public ::testing::TestWithParam<KeyCase> {
 protected:
  XmlDocument Load() const {
    const std::string name = GetParam().written;
    XmlDocument doc;
    EXPECT_TRUE(doc.LoadFromBytes("<R><" + name + " " + name + "=\"v\">t</" + name + "></R>"));
    return doc;
  }
};

TEST_P(KeyEncoding, PathSegmentFindsTheWrittenName) {
  XmlDocument doc = Load();
  EXPECT_EQ(doc.GetText(std::string("R/") + GetParam().key), "t");
}

TEST_P(KeyEncoding, AttributeNameFindsTheWrittenName) {
  XmlDocument doc = Load();
  EXPECT_EQ(doc.GetAttribute("R/@1", GetParam().key), "v");
}

TEST_P(KeyEncoding, WrittenFormGivenAsKeyIsEncodedAgain) {
  // Only a name with nothing to encode is found by its written form.
  const bool same = std::string(GetParam().key) == GetParam().written;
  XmlDocument doc = Load();
  EXPECT_EQ(doc.GetText(std::string("R/") + GetParam().written), same ? "t" : "");
  EXPECT_EQ(doc.GetAttribute("R/@1", GetParam().written), same ? "v" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Characters, KeyEncoding,
    ::testing::Values(KeyCase{"a\"b", "a&quote;b"}, KeyCase{"a&b", "a&amp;b"},
                      KeyCase{"it's", "it&apos;s"}, KeyCase{"x<y", "x&lt;y"},
                      KeyCase{"x>y", "x&gt;y"}, KeyCase{"<&>", "&lt;&amp;&gt;"},
                      KeyCase{"plain", "plain"},
                      // Two-byte characters pass unencoded.
                      KeyCase{"\xD6\xB5", "\xD6\xB5"}));

TEST(KeyEncoding, StandardQuoteEntityIsNotWhatAQuoteKeyFinds) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<R><a&quot;b>t</a&quot;b></R>"));
  EXPECT_EQ(doc.GetText("R/a\"b"), "");
  EXPECT_EQ(doc.GetText("R/a&quot;b"), "");  // the key's ampersand is encoded too
}

TEST(KeyEncoding, RootSegmentIsEncodedToo) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<A&amp;B><C>t</C></A&amp;B>"));
  EXPECT_EQ(doc.GetText("A&B/C"), "t");
  EXPECT_EQ(doc.GetText("A&amp;B/C"), "");
}

}  // namespace
