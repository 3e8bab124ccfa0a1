#pragma once
// The wizard's decisions, apart from the windows they act on: which sequence a
// button runs given the panels shown. Pages are numbered 1 to 5.
#include <string>
#include <string_view>

namespace wizard {

struct PanelsShown {
  bool page[6] = {};  // index 1..5
};

enum class Step {
  None,
  CheckVersion,      // page 2 -> 3 (also Previous on page 4)
  ShowPage2,         // Previous on page 3
  ShowDownloadPage,  // page 3 -> 4
  RetryDownload,     // page 4 -> 4
  ShowFinishPage,    // page 3 or 4 -> 5
};

// The current page is the lowest-numbered page shown; the tests run in the
// order the buttons check them, so a later page left visible behind an earlier
// one never decides.
Step NextStep(const PanelsShown& shown, std::string_view serverVersion, std::string_view localVersion,
              std::string_view nextCaption);
Step PreviousStep(const PanelsShown& shown);
bool ShouldRunMainProgram(const PanelsShown& shown, bool runChecked);

// The template with its first "XXX" replaced by name, once; a two-byte
// character's trail byte never starts a match.
std::string FillTemplate(std::string_view templateText, std::string_view name);

}  // namespace wizard
