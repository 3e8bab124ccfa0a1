#include "e2e/host_files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "base/gbk_text.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "e2e/harness.h"

namespace e2e {
namespace {

constexpr int kHostTimeoutMs = 60000;

std::atomic<int> g_path_counter{0};

void ReadTree(const std::string& folder, const std::string& relative,
              std::map<std::string, std::string>* files) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(base::WideFromGbk(folder + relative + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = base::GbkFromWide(found.cFileName);
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ReadTree(folder, relative + name + "\\", files);
    } else {
      (*files)[relative + name] = ReadBytes(folder + relative + name).value_or("<unreadable>");
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

std::optional<std::string> ReadBytes(const std::string& path) {
  base::UniqueFileHandle file(CreateFileW(base::WideFromGbk(path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  std::string content;
  char buffer[1 << 16];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) content.append(buffer, got);
  return content;
}

bool WriteBytes(const std::string& path, const std::string& content) {
  const std::wstring wide = base::WideFromGbk(path);
  for (size_t at = wide.find(L'\\', 3); at != std::wstring::npos; at = wide.find(L'\\', at + 1)) {
    CreateDirectoryW(wide.substr(0, at).c_str(), nullptr);
  }
  base::UniqueFileHandle file(
      CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
         written == content.size();
}

std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> files;
  ReadTree(folder, "", &files);
  return files;
}

std::string UniqueHostPath(std::string_view stem) {
  return "/tmp/updater-e2e-" + std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++g_path_counter);
}

HostResult RunHostScript(const std::string& script) {
  const std::string base = UniqueHostPath("script");
  const std::string marker = base + ".status", output = base + ".out";
  // The status appears whole or not at all.
  const std::string wrapped = "exec >" + output + " 2>&1\n" + script + "\nstatus=$?\necho $status >" + marker +
                              ".part && mv " + marker + ".part " + marker + "\n";
  HostResult result;
  if (!WriteBytes(WindowsPathOf(base + ".sh"), wrapped)) return result;
  std::string status;
  result.finished = StartHostProgram("/bin/bash", base + ".sh") &&
                    WaitUntil(
                        [&] {
                          status = ReadBytes(WindowsPathOf(marker)).value_or("");
                          return !status.empty();
                        },
                        kHostTimeoutMs);
  result.output = ReadBytes(WindowsPathOf(output)).value_or("");
  if (result.finished) result.status = std::atoi(status.c_str());
  for (const std::string& path : {base + ".sh", marker, output}) {
    DeleteFileW(base::WideFromGbk(WindowsPathOf(path)).c_str());
  }
  return result;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

long long LargestFileIn(const std::string& folder) {
  WIN32_FIND_DATAW found{};
  base::UniqueFindHandle search(FindFirstFileW((base::WideFromGbk(folder) + L"*").c_str(), &found));
  if (!search) return -1;
  long long largest = -1;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    largest = std::max(largest, (static_cast<long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
  } while (FindNextFileW(search.get(), &found));
  return largest;
}

void CloseConnectionsToPort(const std::string& port) {
  RunHostScript("ss -K dst 127.0.0.1 dport = :" + port + " >/dev/null");
}

}  // namespace e2e
