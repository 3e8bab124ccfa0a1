// Stands in for the main program the updater starts when it finishes: writes
// the file name of the process that started it to "main_program_parent.txt",
// then its command line to "main_program_started.txt" beside itself, and ends.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "base/unique_handle_win.h"

namespace {

constexpr wchar_t kMarkerName[] = L"main_program_started.txt";
constexpr wchar_t kParentName[] = L"main_program_parent.txt";

std::wstring OwnFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

// The executable file name of this process's parent; "" when it is gone.
std::wstring ParentName() {
  base::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return L"";
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == parent) return entry.szExeFile;
  }
  return L"";
}

bool WriteText(const std::wstring& path, const std::wstring& text) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                           &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::wstring folder = OwnFolder();
  if (folder.empty()) return 1;
  if (!WriteText(folder + kParentName, ParentName())) return 1;
  // Written under another name first, so that a reader never sees it half done.
  const std::wstring marker = folder + kMarkerName;
  const std::wstring part = marker + L".part";
  if (!WriteText(part, GetCommandLineW())) return 1;
  return MoveFileExW(part.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
