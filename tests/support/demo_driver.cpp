// Steps the real updater through its wizard the way a user would, for the
// demo on a machine without a display: waits for each page, photographs it,
// presses Next, and finally Close on the finish page.
//
//   demo_driver UPDATER_EXE CONFIG_URL INSTALLED_VERSION
//
// Screenshots go to the folder in UPDATER_ARTIFACTS as page1.bmp .. page5.bmp.
// The exit code is 0 once the updater reached the finish page and ended.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/harness.h"
#include "e2e/wizard_texts.h"

namespace {

// The demo allows each page twice the tests' step.
constexpr int kStepTimeoutMs = 120000;
using e2e::kFinish;
using e2e::kFinishPage;
using e2e::kNext;
const char* const kPages[] = {e2e::kReadConfigPage, e2e::kServerPage, e2e::kContentPage, e2e::kDownloadPage,
                              kFinishPage};

void Say(const std::string& text) {
  std::printf("demo_driver: %s\n", text.c_str());
  std::fflush(stdout);
}

const e2e::Control* MainButton(const std::vector<e2e::Control>& controls, std::string_view caption) {
  const e2e::Control* found = e2e::FindMainButton(controls, caption);
  return found && found->visible && found->enabled ? found : nullptr;
}

void Photograph(HWND window, int page) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);
  const std::string name = "page" + std::to_string(page);
  if (e2e::SaveScreenshot(window, name)) Say("screenshot " + name + ".bmp");
}

int PageNumber(const std::string& page) {
  for (int i = 0; i < 5; ++i) {
    if (page == kPages[i]) return i + 1;
  }
  return 0;
}

// Waits until the caption's button can be pressed, then presses it.
bool Press(HWND window, std::string_view caption) {
  return e2e::ClickMainButtonWhenEnabled(window, caption, kStepTimeoutMs);
}

int Drive(const std::string& exe, const std::string& arguments) {
  e2e::Updater updater;
  if (!updater.Start(exe, arguments)) {
    Say("the updater could not be started");
    return 1;
  }
  HWND window = updater.WaitForMainWindow(kStepTimeoutMs);
  if (!window) {
    Say("no wizard window appeared");
    for (const std::string& line : updater.Traces()) Say("trace " + line);
    for (const std::string& crash : updater.Crashes()) Say("crash " + crash);
    return 1;
  }
  int photographed = 0;
  // The first page usually lasts only as long as the configuration takes.
  if (PageNumber(e2e::VisiblePage(e2e::ReadControls(window))) == 1) {
    Say("page 1: " + std::string(kPages[0]));
    Photograph(window, 1);
    photographed = 1;
  }
  std::string page;
  // Page by page: each one is photographed once it is shown and settled
  // (the download page while it works), then Next moves on.
  while (updater.running()) {
    page = e2e::VisiblePage(e2e::ReadControls(window));
    const int number = PageNumber(page);
    if (number > photographed) {
      // Page 1 passes by itself, often faster than it can be seen.
      if (number == 3) {
        e2e::WaitUntil([&] { return MainButton(e2e::ReadControls(window), kNext) != nullptr; }, kStepTimeoutMs);
      }
      Say("page " + std::to_string(number) + ": " + page);
      Photograph(window, number);
      photographed = number;
      if (number == 2 || number == 3) Press(window, kNext);
      if (number == 5) {
        Press(window, kFinish);
        break;
      }
    }
    const std::vector<e2e::Control> controls = e2e::ReadControls(window);
    if (MainButton(controls, e2e::kRetry)) {
      Say("the download failed: see the screenshot");
      Photograph(window, 4);
      return 1;
    }
    Sleep(100);
  }
  const auto code = updater.WaitForExit(kStepTimeoutMs);
  for (const std::string& line : updater.Traces()) Say("trace " + line);
  if (photographed != 5 || !code) {
    Say("the wizard did not reach the finish page");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: demo_driver UPDATER_EXE CONFIG_URL INSTALLED_VERSION\n");
    return 2;
  }
  return Drive(argv[1], std::string(argv[2]) + " " + argv[3]);
}
