#include <windows.h>

#include <cstdint>

#include "files/file_reader.h"
#include "files/system_path_win.h"

namespace files {

bool PathExists(const std::string& path) {
  const std::wstring wide = SystemPath(path);
  return !wide.empty() && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FileReader::FileReader(const std::string& path) {
  const std::wstring wide = SystemPath(path);
  if (wide.empty()) return;
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open, which is what
  // the callers want.
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  handle_ = reinterpret_cast<intptr_t>(file);  // INVALID_HANDLE_VALUE is kNoHandle
}

bool FileReader::Read(void* buffer, size_t capacity, size_t* count) {
  *count = 0;
  if (!IsOpen()) return false;
  // ReadFile takes a 32-bit count; the caller just reads again for the rest.
  const DWORD request = capacity > MAXDWORD / 2 ? MAXDWORD / 2 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, request, &got, nullptr)) return false;
  *count = got;
  return true;
}

bool FileReader::Size(uint64_t* size) const {
  LARGE_INTEGER value{};
  if (!IsOpen() || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &value)) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool FileReader::SkipTo(uint64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return IsOpen() && offset <= static_cast<uint64_t>(INT64_MAX) &&
         SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), distance, nullptr, FILE_BEGIN);
}

void FileReader::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNoHandle;
}

}  // namespace files
