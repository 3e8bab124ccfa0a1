#include "engine/completion_win.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/module_path_win.h"
#include "base/trace.h"
#include "base/wide_text_win.h"
#include "engine/session.h"
#include "files/file_system_win.h"
#include "files/path_text.h"
#include "install/desktop_start_win.h"
#include "install/replacement_script_win.h"
#include "site/signing.h"

namespace engine {
namespace {

constexpr char kUnsafeMainProgramTrace[] = "主程序名称无效:";
constexpr char kDesktopStartTrace[] = "主程序经桌面外壳以当前用户权限启动";
constexpr char kDirectStartTrace[] = "桌面外壳不可用，主程序由本程序直接启动";

std::string OwnExecutableName() {
  const std::wstring path = base::OwnModulePath();
  const size_t slash = path.find_last_of(L'\\');
  return base::GbkFromWide(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

}  // namespace

ApplyInput SessionApplyInput() {
  const Session& session = CurrentSession();
  ApplyInput input;
  input.programFolder = session.ProgramFolder;
  input.ownExeName = OwnExecutableName();
  input.mainExe = session.Config.MainExe;
  input.serverFiles = &session.ServerFileList;
  input.downloadList = &session.DownloadList;
  input.requireSha256 = SigningVerifier() != nullptr;
  return input;
}

void RecordApplyResult(const ApplyResult& result) {
  Session& session = CurrentSession();
  if (result.outcome == ApplyOutcome::kApplied) {
    session.UpdateApplied = true;
    if (result.selfUpdatePending) session.SelfUpdatePending = true;
  }
}

void LeaveOutPendingSelfUpdate(std::vector<FileEntry>& downloadList) {
  if (!CurrentSession().SelfUpdatePending) return;
  const std::string own = OwnExecutableName();
  downloadList.erase(std::remove_if(downloadList.begin(), downloadList.end(),
                                    [&own](const FileEntry& entry) { return IsOwnExecutable(entry.Name, own); }),
                     downloadList.end());
}

void CleanUpStagingAtShutdown() {
  const Session& session = CurrentSession();
  if (session.ProgramFolder.empty()) return;
  if (session.SelfUpdatePending) {
    // A script that cannot be written is not started; the staged executable
    // then stays for a later run.
    StartReplacementScript(session.ProgramFolder, GetCurrentProcessId(), OwnExecutableName());
  } else if (session.UpdateApplied) {
    files::WindowsFileSystem().RemoveTree(session.ProgramFolder + kStagingFolderName);
  }
}

void RunMainProgram() {
  const Session& session = CurrentSession();
  const std::string& mainExe = session.Config.MainExe;
  if (!files::IsSafeRelativeName(mainExe)) {
    base::Trace(kUnsafeMainProgramTrace + mainExe);
    return;
  }
  const std::wstring folder = base::WideFromGbk(session.ProgramFolder);
  const std::wstring program = base::WideFromGbk(session.ProgramFolder + mainExe);
  // Started by this elevated process, the program would run elevated too.
  if (StartAsDesktopUser(program, folder)) {
    base::Trace(kDesktopStartTrace);
    return;
  }
  base::Trace(kDirectStartTrace);
  ShellExecuteW(nullptr, L"Open", program.c_str(), L"", folder.c_str(), SW_SHOWNORMAL);
}

}  // namespace engine
