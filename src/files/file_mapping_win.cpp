#include <windows.h>

#include <algorithm>
#include <cstddef>

#include "base/unique_handle_win.h"
#include "files/file_mapping.h"
#include "files/system_path_win.h"

namespace files {
namespace {

// A region's view: the system keeps the section and the file open for as
// long as a view of them exists.
class RegionView final : public MappedFile {
 public:
  RegionView(base::UniqueView view, size_t lead, uint64_t size) : view_(std::move(view)), lead_(lead), size_(size) {}
  char* Data() override { return view_ ? static_cast<char*>(view_.get()) + lead_ : nullptr; }
  uint64_t Size() const override { return size_; }

 private:
  base::UniqueView view_;
  size_t lead_;  // from the granularity boundary the view starts at
  uint64_t size_;
};

class WindowsMappableFile final : public MappableFile {
 public:
  WindowsMappableFile(base::UniqueFileHandle file, base::UniqueKernelHandle section, uint64_t size, bool writable)
      : file_(std::move(file)), section_(std::move(section)), size_(size), writable_(writable) {}
  uint64_t Size() const override { return size_; }
  std::unique_ptr<MappedFile> MapRegion(uint64_t offset, uint64_t length) override {
    if (offset > size_) return nullptr;
    length = std::min(length, size_ - offset);
    if (length == 0) return std::make_unique<RegionView>(base::UniqueView(), 0, 0);
    // A view begins at a multiple of the allocation granularity.
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const uint64_t start = offset - offset % info.dwAllocationGranularity;
    const uint64_t span = offset - start + length;
    if (span > SIZE_MAX) return nullptr;
    base::UniqueView view(MapViewOfFile(section_.get(), writable_ ? FILE_MAP_WRITE : FILE_MAP_READ,
                                        static_cast<DWORD>(start >> 32), static_cast<DWORD>(start & 0xFFFFFFFFu),
                                        static_cast<SIZE_T>(span)));
    if (!view) return nullptr;
    return std::make_unique<RegionView>(std::move(view), static_cast<size_t>(offset - start), length);
  }

 private:
  base::UniqueFileHandle file_;
  base::UniqueKernelHandle section_;  // none for an empty file
  uint64_t size_;
  bool writable_;
};

// A section of size bytes over file, which it extends when larger.
std::unique_ptr<MappableFile> Mappable(base::UniqueFileHandle file, uint64_t size, bool writable) {
  base::UniqueKernelHandle section;
  if (size > 0) {
    section.reset(CreateFileMappingW(file.get(), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                     static_cast<DWORD>(size >> 32), static_cast<DWORD>(size & 0xFFFFFFFFu),
                                     nullptr));
    if (!section) return nullptr;
  }
  return std::make_unique<WindowsMappableFile>(std::move(file), std::move(section), size, writable);
}

base::UniqueFileHandle OpenShared(const std::string& path) {
  return base::UniqueFileHandle(CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

base::UniqueFileHandle CreateReplacing(const std::string& path) {
  return base::UniqueFileHandle(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::unique_ptr<MappableFile> OpenMappableFile(const std::string& path) {
  base::UniqueFileHandle file = OpenShared(path);
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return nullptr;
  return Mappable(std::move(file), static_cast<uint64_t>(size.QuadPart), false);
}

std::unique_ptr<MappableFile> CreateMappableFile(const std::string& path, uint64_t size) {
  base::UniqueFileHandle file = CreateReplacing(path);
  if (!file) return nullptr;
  return Mappable(std::move(file), size, true);
}

}  // namespace files
