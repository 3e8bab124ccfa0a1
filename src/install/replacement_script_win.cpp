#include "install/replacement_script_win.h"

#include <windows.h>
#include <shellapi.h>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "files/system_path_win.h"
#include "install/replacement_script.h"

namespace engine {
namespace {

// ShellExecute reports success with a value above 32.
constexpr INT_PTR kShellExecuteFailureLimit = 32;

bool WriteScript(const std::string& scriptPath, const std::string& text) {
  base::UniqueFileHandle file(CreateFileW(files::SystemPath(scriptPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

}  // namespace

bool StartReplacementScript(const std::string& programFolder, uint32_t processId, const std::string& exeName) {
  const std::string script = programFolder + kReplacementScriptName;
  if (!WriteScript(script, ReplacementScriptText())) return false;
  // The arguments cross in UTF-16: cmd hands them to the script as they are,
  // whatever code page it reads the script's own bytes in. The program folder
  // is the script's working directory, which every name in it is relative to.
  const std::wstring arguments = base::WideFromGbk(ReplacementScriptArguments(processId, exeName));
  const auto started = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", base::WideFromGbk(script).c_str(),
                                                               arguments.c_str(),
                                                               base::WideFromGbk(programFolder).c_str(), SW_HIDE));
  return started > kShellExecuteFailureLimit;
}

}  // namespace engine
