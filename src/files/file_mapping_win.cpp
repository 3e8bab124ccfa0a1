#include <windows.h>

#include <cstddef>

#include "base/unique_handle_win.h"
#include "files/file_mapping.h"
#include "files/system_path_win.h"

namespace files {
namespace {

// The members go in reverse order: the view, then the section, then the
// file, which a section still open would keep from being moved or removed.
class WindowsMappedFile final : public MappedFile {
 public:
  WindowsMappedFile(base::UniqueFileHandle file, base::UniqueKernelHandle section, base::UniqueView view,
                    uint64_t size)
      : file_(std::move(file)), section_(std::move(section)), view_(std::move(view)), size_(size) {}
  char* Data() override { return static_cast<char*>(view_.get()); }
  uint64_t Size() const override { return size_; }

 private:
  base::UniqueFileHandle file_;
  base::UniqueKernelHandle section_;
  base::UniqueView view_;
  uint64_t size_;
};

// A section of size bytes over file (which it extends when larger) and one
// view of it all. An empty file has neither: the system maps no empty one.
std::unique_ptr<MappedFile> Map(base::UniqueFileHandle file, uint64_t size, bool writable) {
  if (size == 0) return std::make_unique<WindowsMappedFile>(std::move(file), base::UniqueKernelHandle(),
                                                            base::UniqueView(), 0);
  if (size > SIZE_MAX) return nullptr;
  base::UniqueKernelHandle section(CreateFileMappingW(file.get(), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                                      static_cast<DWORD>(size >> 32),
                                                      static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr));
  if (!section) return nullptr;
  base::UniqueView view(
      MapViewOfFile(section.get(), writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size)));
  if (!view) return nullptr;
  return std::make_unique<WindowsMappedFile>(std::move(file), std::move(section), std::move(view), size);
}

}  // namespace

std::unique_ptr<MappedFile> MapFileForReading(const std::string& path) {
  base::UniqueFileHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return nullptr;
  return Map(std::move(file), static_cast<uint64_t>(size.QuadPart), false);
}

std::unique_ptr<MappedFile> CreateMappedFile(const std::string& path, uint64_t size) {
  base::UniqueFileHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  return Map(std::move(file), size, true);
}

}  // namespace files
