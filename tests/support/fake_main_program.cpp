// Stands in for the main program the updater starts when it finishes: writes
// its command line to "main_program_started.txt" beside itself and ends.
#include <windows.h>

#include <string>

#include "base/unique_handle_win.h"

namespace {

constexpr wchar_t kMarkerName[] = L"main_program_started.txt";

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

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::wstring folder = OwnFolder();
  if (folder.empty()) return 1;
  // Written under another name first, so that a reader never sees it half done.
  const std::wstring marker = folder + kMarkerName;
  const std::wstring part = marker + L".part";
  {
    base::UniqueFileHandle file(CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 1;
    const std::wstring line = GetCommandLineW();
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                   &written, nullptr)) {
      return 1;
    }
  }
  return MoveFileExW(part.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
