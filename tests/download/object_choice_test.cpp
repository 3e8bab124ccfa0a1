// The choice of what to fetch for a changed file, from the list's text
// through the list reader to the ordered objects.
#include "download/object_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "site/file_objects.h"
#include "xml/xml_document.h"

namespace {

struct ChoiceRow {
  const char* name;
  const char* attributes;                       // after Name="app\main.dll" Hash="1A2B"
  const char* ownSignature;                     // the installed app\main.dll
  std::map<std::string, std::string> installed;  // other installed names -> signature
  std::vector<std::string> expected;             // object names, plain file last
};

void PrintTo(const ChoiceRow& row, std::ostream* out) { *out << row.name; }

class ObjectChoiceTest : public testing::TestWithParam<ChoiceRow> {};

TEST_P(ObjectChoiceTest, TriesMatchingDeltasThenPackedThenPlain) {
  const ChoiceRow& row = GetParam();
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(std::string("<Files><File Name=\"app\\main.dll\" Hash=\"1A2B\"") +
                                     row.attributes + "/></Files>"));
  const std::vector<engine::FileEntry> entries = engine::ReadServerFileList(document);
  ASSERT_EQ(entries.size(), 1u) << "a bad object must never cost the file";
  std::vector<std::string> asked;
  const auto objects = engine::ObjectsToTry(entries[0], row.ownSignature, [&](const std::string& name) {
    asked.push_back(name);
    const auto found = row.installed.find(name);
    return found == row.installed.end() ? std::string() : found->second;
  });
  std::vector<std::string> names;
  for (const engine::ObjectToTry& object : objects) names.push_back(object.name);
  EXPECT_EQ(names, row.expected);
  EXPECT_EQ(objects.back().kind, engine::ObjectKind::kPlain);
  // A renamed base is read once however many deltas name it.
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(std::adjacent_find(asked.begin(), asked.end()), asked.end());
}

const char kPlain[] = "app\\main.dll";
const char kPacked[] = "update\\packed\\app\\main.dll.zst";

const ChoiceRow kRows[] = {
    {"NoObjects", "", "77", {}, {kPlain}},
    {"PackedOnly", " Size=\"5000\" Packed=\"900\"", "77", {}, {kPacked, kPlain}},
    {"DeltaForInstalledBaseSmallestFirst",
     " Size=\"5000\" Packed=\"900\" Delta1=\"55:40\" Delta2=\"77:300\" Delta3=\"0077:30\"", "77", {},
     {"update\\delta\\0077\\app\\main.dll.zst", "update\\delta\\77\\app\\main.dll.zst", kPacked, kPlain}},
    {"NoMatchingBase", " Size=\"5000\" Packed=\"900\" Delta1=\"55:40\"", "77", {}, {kPacked, kPlain}},
    {"MissingInstalledFileMatchesNoBase", " Size=\"5000\" Delta1=\"0:40\"", "", {}, {kPlain}},
    {"RenamedBase", " Size=\"5000\" Delta1=\"ABC:40:app\\old.dll\" Delta2=\"ABD:20:app\\gone.dll\"", "77",
     {{"app\\old.dll", "abc"}}, {"update\\delta\\ABC\\app\\main.dll.zst", kPlain}},
    {"RenamedBaseAskedOnce", " Size=\"5000\" Delta1=\"1:40:old.dll\" Delta2=\"2:30:old.dll\"", "77",
     {{"old.dll", "2"}}, {"update\\delta\\2\\app\\main.dll.zst", kPlain}},
    {"WithoutSizeNoObject", " Packed=\"900\" Delta1=\"77:40\"", "77", {}, {kPlain}},
    {"SizeNotDecimal", " Size=\"5e3\" Packed=\"900\"", "77", {}, {kPlain}},
    {"MalformedObjectsDroppedOthersKept",
     " Size=\"5000\" Packed=\"-9\" Delta1=\"77:4x\" Delta2=\"123456789:5\" Delta3=\"G7:5\" Delta4=\"77:0\""
     " Delta5=\"77:9:..\\x.dll\" Delta6=\"77:9:Update\\x.dll\" Delta7=\"77:9:c:x\" Delta8=\"77:60\"",
     "77", {}, {"update\\delta\\77\\app\\main.dll.zst", kPlain}},
    {"BaseOutsideTheFolderOrInStagingDroppedThoughItsCrcMatches",
     " Size=\"5000\" Delta1=\"77:9:..\\x.dll\" Delta2=\"77:9:update\\x.dll\" Delta3=\"77:9:update \\x.dll\"", "1",
     {{"..\\x.dll", "77"}, {"update\\x.dll", "77"}, {"update \\x.dll", "77"}}, {kPlain}},
    {"ReaderStopsAtFirstMissingNumber", " Size=\"5000\" Delta1=\"1:40\" Delta3=\"77:40\"", "77", {}, {kPlain}},
    // A code delta comes before any delta, even a smaller one.
    {"CodeDeltaFirstThenDeltaThenPacked",
     " Size=\"5000\" Packed=\"900\" Delta1=\"77:30\" CodeDelta1=\"77:40\" CodeDelta2=\"55:10\"", "77", {},
     {"update\\code\\77\\app\\main.dll.ucd", "update\\delta\\77\\app\\main.dll.zst", kPacked, kPlain}},
    {"CodeDeltasSmallestFirst", " Size=\"5000\" CodeDelta1=\"77:40\" CodeDelta2=\"ABC:30:old.dll\"", "77",
     {{"old.dll", "abc"}},
     {"update\\code\\ABC\\app\\main.dll.ucd", "update\\code\\77\\app\\main.dll.ucd", kPlain}},
    {"CodeDeltaWithoutSizeDropped", " CodeDelta1=\"77:40\"", "77", {}, {kPlain}},
    {"EveryKindInItsPlace",
     " Size=\"5000\" Packed=\"900\" Delta1=\"77:30\" Delta2=\"ABC:20:old.dll\" CodeDelta1=\"77:10\"", "77",
     {{"old.dll", "abc"}},
     {"update\\code\\77\\app\\main.dll.ucd", "update\\delta\\ABC\\app\\main.dll.zst",
      "update\\delta\\77\\app\\main.dll.zst", kPacked, kPlain}},
};

INSTANTIATE_TEST_SUITE_P(Lists, ObjectChoiceTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<ChoiceRow>& info) { return info.param.name; });

TEST(FileObjects, AttributesWrittenReadBackAsTheSameEntry) {
  engine::FileEntry entry;
  entry.Name = "a\\b.dll";
  entry.Hash = "1";
  entry.Size = 123456;
  entry.PackedSize = 4000;
  entry.Deltas = {{"FFFFFFFF", 40, ""}, {"A", 50, "a\\it's & <old>.dll"}};
  entry.CodeDeltas = {{"B", 20, ""}, {"C", 30, "a\\c.dll"}};
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes("<Files><File Name=\"a\\b.dll\" Hash=\"1\"" +
                                     engine::FileObjectAttributes(entry) + "/></Files>"));
  const std::vector<engine::FileEntry> read = engine::ReadServerFileList(document);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].Size, entry.Size);
  EXPECT_EQ(read[0].PackedSize, entry.PackedSize);
  ASSERT_EQ(read[0].Deltas.size(), 2u);
  EXPECT_EQ(read[0].Deltas[1].BaseName, entry.Deltas[1].BaseName);
  EXPECT_EQ(read[0].Deltas[0].BaseCrc, "FFFFFFFF");
  EXPECT_EQ(read[0].Deltas[1].Size, 50u);
  ASSERT_EQ(read[0].CodeDeltas.size(), 2u);
  EXPECT_EQ(read[0].CodeDeltas[0].BaseCrc, "B");
  EXPECT_EQ(read[0].CodeDeltas[1].BaseName, "a\\c.dll");
  EXPECT_EQ(read[0].CodeDeltas[1].Size, 30u);
}

}  // namespace
