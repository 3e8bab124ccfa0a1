#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "base/gbk_text.h"
#include "files/file_mapping.h"

namespace files {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The view alone is kept: a mapping outlives the descriptor it was made from.
class PosixMappedFile final : public MappedFile {
 public:
  PosixMappedFile(void* view, uint64_t size, size_t lead = 0) : view_(view), size_(size), lead_(lead) {}
  ~PosixMappedFile() override {
    if (view_) munmap(view_, static_cast<size_t>(size_) + lead_);
  }
  PosixMappedFile(const PosixMappedFile&) = delete;
  PosixMappedFile& operator=(const PosixMappedFile&) = delete;
  char* Data() override { return view_ ? static_cast<char*>(view_) + lead_ : nullptr; }
  uint64_t Size() const override { return size_; }

 private:
  void* view_;
  uint64_t size_;
  size_t lead_;  // from the page boundary the view starts at
};

class PosixMappableFile final : public MappableFile {
 public:
  PosixMappableFile(Descriptor fd, uint64_t size, int protection)
      : fd_(std::move(fd)), size_(size), protection_(protection) {}
  uint64_t Size() const override { return size_; }
  std::unique_ptr<MappedFile> MapRegion(uint64_t offset, uint64_t length) override {
    if (offset > size_) return nullptr;
    length = std::min(length, size_ - offset);
    if (length == 0) return std::make_unique<PosixMappedFile>(nullptr, 0);
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = offset - offset % page;
    if (offset - start + length > SIZE_MAX) return nullptr;
    void* view = mmap(nullptr, static_cast<size_t>(offset - start + length), protection_, MAP_SHARED, fd_.get(),
                      static_cast<off_t>(start));
    if (view == MAP_FAILED) return nullptr;
    return std::make_unique<PosixMappedFile>(view, length, static_cast<size_t>(offset - start));
  }

 private:
  Descriptor fd_;
  uint64_t size_;
  int protection_;
};

// An existing regular file opened for reading, with its size.
Descriptor OpenRegular(const std::string& path, uint64_t& size) {
  const std::string hostPath = base::Utf8FromGbk(path);
  Descriptor fd(hostPath.empty() ? -1 : open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return Descriptor(-1);
  size = static_cast<uint64_t>(info.st_size);
  return fd;
}

// A file created, replacing, at size bytes, opened for reading and writing.
Descriptor CreateSized(const std::string& path, uint64_t size) {
  const std::string hostPath = base::Utf8FromGbk(path);
  if (hostPath.empty() || size > static_cast<uint64_t>(INT64_MAX)) return Descriptor(-1);
  Descriptor fd(open(hostPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0 || ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return Descriptor(-1);
  return fd;
}

}  // namespace

std::unique_ptr<MappableFile> OpenMappableFile(const std::string& path) {
  uint64_t size = 0;
  Descriptor fd = OpenRegular(path, size);
  if (fd.get() < 0) return nullptr;
  return std::make_unique<PosixMappableFile>(std::move(fd), size, PROT_READ);
}

std::unique_ptr<MappableFile> CreateMappableFile(const std::string& path, uint64_t size) {
  Descriptor fd = CreateSized(path, size);
  if (fd.get() < 0) return nullptr;
  return std::make_unique<PosixMappableFile>(std::move(fd), size, PROT_READ | PROT_WRITE);
}

}  // namespace files
