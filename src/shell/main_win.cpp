// Entry point of the updater: checks the command line the main program passes,
// opens the wizard and runs its message loop. The exit code is always 0.
#include <windows.h>
#include <commctrl.h>

#include "base/scoped_com_win.h"
#include "base/trace.h"
#include "base/wide_text_win.h"
#include "engine/session.h"
#include "shell/command_line.h"
#include "shell/message_loop_win.h"
#include "shell/own_folder_win.h"
#include "wizard/main_window_win.h"
#ifdef UPDATER_SIGNED
#include <memory>
#include <string>
#include <utility>

#include "site/document_verifier_win.h"
#include "site/key_ring.h"
#include "site/signing.h"
#endif
#ifdef UPDATER_TEST_SWITCHES
#include "files/file_system_win.h"
#endif

namespace {

constexpr int kExitCode = 0;
constexpr char kArgumentsWrong[] = "命令参数错误";
constexpr char kArgumentsRight[] = "命令参数正确";
constexpr char kTestModePrefix[] = "启动调试模式，目标网络版本：";
constexpr char kStartFromMainProgram[] = "请从主程序启动本更新程序。";
constexpr char kNoticeTitle[] = "提示";
[[maybe_unused]] constexpr char kVendorKeyUnusable[] = "公钥无效";

// An updater built with the vendor's keys accepts only what one of them
// signed. Only such a build looks for keys at all; a key that does not load
// is told and accepts nothing, and with none loaded every signature is refused.
void UseVendorKeys() {
#ifdef UPDATER_SIGNED
  static engine::KeyRing keys;
  for (const std::string& pem : engine::EmbeddedPublicKeyPems()) {
    auto key = std::make_unique<engine::CngDocumentVerifier>(pem);
    if (!key->Loaded()) base::Trace(kVendorKeyUnusable);
    keys.Add(std::move(key));
  }
  engine::UseDocumentVerifier(&keys);
#endif
}

// A test build takes switches from its environment that make the machine
// look otherwise; the updater that is shipped has none.
void UseTestSwitches() {
#ifdef UPDATER_TEST_SWITCHES
  constexpr char kNoHardLinks[] = "UPDATER_TEST_NO_HARD_LINKS";
  if (GetEnvironmentVariableA(kNoHardLinks, nullptr, 0) > 0) files::RefuseHardLinks();
#endif
}

void InitControls() {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES |
                                                    ICC_PROGRESS_CLASS | ICC_LINK_CLASS};
  InitCommonControlsEx(&classes);
}

void Run() {
  const std::string line = base::GbkFromWide(GetCommandLineW());
  const auto arguments = shell::InterpretArguments(shell::SplitCommandLine(line));
  if (!arguments) {
    base::Trace(kArgumentsWrong);
    MessageBoxW(nullptr, base::WideFromGbk(kStartFromMainProgram).c_str(),
                base::WideFromGbk(kNoticeTitle).c_str(), MB_OK | MB_ICONINFORMATION);
    return;
  }
  base::Trace(kArgumentsRight);
  auto& session = engine::CurrentSession();
  session.ConfigAddress = arguments->configAddress;
  session.Config.LocalVersion = arguments->localVersion;
  if (arguments->testMode) {
    session.Config.TestMode = true;
    session.Config.Version = arguments->targetVersion;
    base::Trace(kTestModePrefix + arguments->targetVersion);
  }
  UseVendorKeys();
  UseTestSwitches();
  InitControls();
  shell::DetermineOwnFolderAndParent();
  // Without a window nothing could ever end the loop; the process would linger
  // unseen, so it ends at once instead.
  if (HWND mainWindow = wizard::CreateMainWindow()) shell::MessageLoop(mainWindow);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  base::ScopedCom com;  // the picture loader needs COM on this thread
  try {
    Run();
  } catch (...) {
    // Nothing is left to tell the user; the exit code stays 0 as always.
  }
  // A worker may still be running. Returning would let the runtime destroy
  // the controls, their bindings and whatever else is static under it;
  // ExitProcess stops every other thread before anything is torn down.
  ExitProcess(kExitCode);
}
