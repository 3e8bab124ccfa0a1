#include "wizard/page_flow.h"

#include <gtest/gtest.h>

#include "wizard/wizard_texts.h"

namespace {

using wizard::NextStep;
using wizard::PanelsShown;
using wizard::PreviousStep;
using wizard::Step;

PanelsShown Shown(std::initializer_list<int> pages) {
  PanelsShown shown;
  for (int page : pages) shown.page[page] = true;
  return shown;
}

TEST(NextStep, FollowsThePageShown) {
  const char* next = wizard::texts::kNext;
  EXPECT_EQ(NextStep(Shown({1}), "2.0", "1.0", next), Step::None);
  EXPECT_EQ(NextStep(Shown({2}), "2.0", "1.0", next), Step::CheckVersion);
  EXPECT_EQ(NextStep(Shown({3}), "2.0", "1.0", next), Step::ShowDownloadPage);
  EXPECT_EQ(NextStep(Shown({3}), "2.0", "2.0", next), Step::ShowFinishPage);
  EXPECT_EQ(NextStep(Shown({4}), "2.0", "1.0", next), Step::ShowFinishPage);
  EXPECT_EQ(NextStep(Shown({4}), "2.0", "1.0", wizard::texts::kRetry), Step::RetryDownload);
  EXPECT_EQ(NextStep(Shown({5}), "2.0", "1.0", next), Step::None);
}

TEST(NextStep, VersionsCompareAsExactBytes) {
  EXPECT_EQ(NextStep(Shown({3}), "", "1.0", ""), Step::ShowDownloadPage);
  EXPECT_EQ(NextStep(Shown({3}), "2.0", "2.0 ", ""), Step::ShowDownloadPage);
  EXPECT_EQ(NextStep(Shown({3}), "V2", "v2", ""), Step::ShowDownloadPage);
}

TEST(NextStep, EarlierPageLeftShownBehindALaterOneDecides) {
  // Previous on page 3 shows page 2 again without hiding page 3.
  EXPECT_EQ(NextStep(Shown({2, 3}), "2.0", "1.0", ""), Step::CheckVersion);
  EXPECT_EQ(PreviousStep(Shown({3, 4})), Step::ShowPage2);
}

TEST(NextStep, RetryCaptionMustMatchExactly) {
  EXPECT_EQ(NextStep(Shown({4}), "2", "1", "重试"), Step::ShowFinishPage);
  EXPECT_EQ(NextStep(Shown({4}), "2", "1", "重试(&r)"), Step::ShowFinishPage);
}

TEST(PreviousStep, OnlyPagesThreeAndFourGoBack) {
  EXPECT_EQ(PreviousStep(Shown({1})), Step::None);
  EXPECT_EQ(PreviousStep(Shown({2})), Step::None);
  EXPECT_EQ(PreviousStep(Shown({3})), Step::ShowPage2);
  EXPECT_EQ(PreviousStep(Shown({4})), Step::CheckVersion);
  EXPECT_EQ(PreviousStep(Shown({5})), Step::None);
}

TEST(ShouldRunMainProgram, OnlyFromTheFinishPageWithTheBoxTicked) {
  EXPECT_TRUE(wizard::ShouldRunMainProgram(Shown({5}), true));
  EXPECT_FALSE(wizard::ShouldRunMainProgram(Shown({5}), false));
  EXPECT_FALSE(wizard::ShouldRunMainProgram(Shown({4}), true));
  EXPECT_FALSE(wizard::ShouldRunMainProgram(Shown({2}), true));
}

TEST(FillTemplate, ReplacesTheFirstMarkOnce) {
  EXPECT_EQ(wizard::FillTemplate("本程序为[XXX]的模块", "工具"), "本程序为[工具]的模块");
  EXPECT_EQ(wizard::FillTemplate("[XXX] and XXX", "A"), "[A] and XXX");
  EXPECT_EQ(wizard::FillTemplate("[XXX]", "XXX-XXX"), "[XXX-XXX]");
  EXPECT_EQ(wizard::FillTemplate("no mark", "A"), "no mark");
  EXPECT_EQ(wizard::FillTemplate("XXXX", ""), "X");
}

TEST(FillTemplate, TrailByteNeverStartsAMatch) {
  // 0x81 0x58 is one GBK character whose trail byte is 'X'; a byte search
  // would take it and the two letters after it for the mark.
  EXPECT_EQ(wizard::FillTemplate("\x81XXX[XXX]", "N"), "\x81XXX[N]");
  EXPECT_EQ(wizard::FillTemplate("\x81XXXX", "N"), "\x81XN");
}

}  // namespace
