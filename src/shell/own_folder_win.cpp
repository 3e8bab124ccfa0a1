#include "shell/own_folder_win.h"

#include <windows.h>
#include <psapi.h>

#include <string>

#include "base/gbk_text.h"
#include "base/module_path_win.h"
#include "base/trace.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "engine/session.h"
#include "files/path_text.h"

namespace shell {
namespace {

constexpr size_t kParentPathCapacity = 4096;
constexpr DWORD kParentAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kBasicInformationSize = 24;
constexpr size_t kParentIdWord = 5;  // the inherited-from process id
constexpr char kFolderNotInGbkTrace[] = "程序目录名含有GBK无法表示的字符";

using QueryInformationProcess = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

QueryInformationProcess FindQueryInformationProcess() {
  static const auto function = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto found = ntdll ? reinterpret_cast<QueryInformationProcess>(
                             reinterpret_cast<void*>(GetProcAddress(ntdll, "ZwQueryInformationProcess")))
                       : nullptr;
    if (!found) {
      MessageBoxW(nullptr, L"NTDLL.DLL ZwQueryInformationProcess", L"DLL ERROR", MB_OK | MB_ICONERROR);
      ExitProcess(0);
    }
    return found;
  }();
  return function;
}

std::wstring OwnFolderWide() {
  std::wstring path = base::OwnModulePath();
  // Cut, and end in a separator, before converting: in GBK a backslash byte
  // can also be the second half of a character (誠 is D5 5C), so neither the
  // last 0x5C byte of the converted path nor its final byte tells a separator.
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) {
    path.push_back(L'\\');
  } else {
    path.resize(slash + 1);
  }
  return path;
}

// The executable path of the process that created this one. When the parent
// is gone or its name can't be read, the text of spaces the buffer started
// with is what comes back.
std::string ParentProcessPath() {
  DWORD information[kBasicInformationSize / sizeof(DWORD)] = {};
  FindQueryInformationProcess()(GetCurrentProcess(), kProcessBasicInformation, information,
                                kBasicInformationSize, nullptr);
  const auto parentId = static_cast<DWORD>(information[kParentIdWord]);
  std::wstring buffer(kParentPathCapacity, L' ');
  base::UniqueKernelHandle parent(OpenProcess(kParentAccess, FALSE, parentId));
  if (parent) {
    // Only overwrites the buffer when it succeeds, so spaces stay otherwise.
    const DWORD length = GetModuleFileNameExW(parent.get(), nullptr, buffer.data(),
                                              static_cast<DWORD>(kParentPathCapacity));
    if (length > 0) buffer.resize(length);
  }
  return base::GbkFromWide(buffer);
}

}  // namespace

void DetermineOwnFolderAndParent() {
  auto& session = engine::CurrentSession();
  const std::wstring folder = OwnFolderWide();
  session.ProgramFolder = base::GbkFromWide(folder);
  // A lone surrogate has no UTF-8 form either, and no GBK one.
  const std::string utf8 = base::Utf8FromWide(folder);
  session.ProgramFolderHeldInGbk = !utf8.empty() && base::HoldsInGbk(utf8);
  if (!session.ProgramFolderHeldInGbk) base::Trace(kFolderNotInGbkTrace);
  session.ParentPath = ParentProcessPath();
  base::Trace("父进程为" + session.ParentPath);
  if (files::SameFolder(session.ProgramFolder, session.ParentPath)) base::Trace("父进程与自身在同一目录");
}

}  // namespace shell
