#include "files/file_holder_win.h"

#include <windows.h>
#include <restartmanager.h>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace files {
namespace {

constexpr DWORD kNoSession = 0xFFFFFFFF;
// The first is named; a few more are asked for, so a second holder does not
// turn the answer into "more data".
constexpr UINT kProcessesAsked = 8;

void EndSession(DWORD session) { RmEndSession(session); }
DWORD NoSession() { return kNoSession; }
using UniqueRestartSession = base::UniqueHandle<DWORD, EndSession, NoSession>;

}  // namespace

std::string ProgramHolding(const std::string& path) {
  DWORD handle = kNoSession;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (RmStartSession(&handle, 0, key) != ERROR_SUCCESS) return "";
  const UniqueRestartSession session(handle);
  const std::wstring wide = base::WideFromGbk(path);
  LPCWSTR names[] = {wide.c_str()};
  if (RmRegisterResources(session.get(), 1, names, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return "";
  RM_PROCESS_INFO processes[kProcessesAsked] = {};
  UINT needed = 0;
  UINT count = kProcessesAsked;
  DWORD reasons = 0;
  if (RmGetList(session.get(), &needed, &count, processes, &reasons) != ERROR_SUCCESS || count == 0) return "";
  return base::GbkFromWide(processes[0].strAppName);
}

}  // namespace files
