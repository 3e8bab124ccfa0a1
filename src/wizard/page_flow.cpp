#include "wizard/page_flow.h"

#include "base/byte_text.h"
#include "wizard/wizard_texts.h"

namespace wizard {

Step NextStep(const PanelsShown& shown, std::string_view serverVersion, std::string_view localVersion,
              std::string_view nextCaption) {
  if (shown.page[2]) return Step::CheckVersion;
  if (shown.page[3]) return serverVersion == localVersion ? Step::ShowFinishPage : Step::ShowDownloadPage;
  if (shown.page[4]) return nextCaption == texts::kRetry ? Step::RetryDownload : Step::ShowFinishPage;
  return Step::None;
}

Step PreviousStep(const PanelsShown& shown) {
  if (shown.page[3]) return Step::ShowPage2;
  if (shown.page[4]) return Step::CheckVersion;
  return Step::None;
}

bool ShouldRunMainProgram(const PanelsShown& shown, bool runChecked) { return shown.page[5] && runChecked; }

std::string FillTemplate(std::string_view templateText, std::string_view name) {
  const std::string_view mark = texts::kTemplateMark;
  for (size_t i = 0; i + mark.size() <= templateText.size(); ++i) {
    if (templateText.compare(i, mark.size(), mark) == 0) {
      std::string filled(templateText.substr(0, i));
      filled.append(name);
      filled.append(templateText.substr(i + mark.size()));
      return filled;
    }
    if (base::IsLeadByte(static_cast<unsigned char>(templateText[i]), base::kDocumentFirstLeadByte)) ++i;
  }
  return std::string(templateText);
}

}  // namespace wizard
