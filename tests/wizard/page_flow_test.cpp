#include "wizard/page_flow.h"

#include <gtest/gtest.h>

#include <string>

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

// What each page's buttons do when it is the only page shown.
struct PageCase {
  int page;
  Step next;
  Step previous;
  bool closeRunsMainProgram;  // with the box ticked; never without
};

class EachPage : public testing::TestWithParam<PageCase> {};

TEST_P(EachPage, DecidesItsButtons) {
  const PageCase& c = GetParam();
  const PanelsShown shown = Shown({c.page});
  EXPECT_EQ(NextStep(shown, "2.0", "1.0", wizard::texts::kNext), c.next);
  EXPECT_EQ(PreviousStep(shown), c.previous);
  EXPECT_EQ(wizard::ShouldRunMainProgram(shown, true), c.closeRunsMainProgram);
  EXPECT_FALSE(wizard::ShouldRunMainProgram(shown, false));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, EachPage,
    testing::Values(PageCase{1, Step::None, Step::None, false},
                    PageCase{2, Step::CheckVersion, Step::None, false},
                    PageCase{3, Step::ShowDownloadPage, Step::ShowPage2, false},
                    PageCase{4, Step::ShowFinishPage, Step::CheckVersion, false},
                    PageCase{5, Step::None, Step::None, true}),
    [](const testing::TestParamInfo<PageCase>& info) { return "Page" + std::to_string(info.param.page); });

TEST(NextStep, SameVersionSkipsTheDownloadAndRetryCaptionRetries) {
  EXPECT_EQ(NextStep(Shown({3}), "2.0", "2.0", wizard::texts::kNext), Step::ShowFinishPage);
  EXPECT_EQ(NextStep(Shown({4}), "2.0", "1.0", wizard::texts::kRetry), Step::RetryDownload);
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
