#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
  int get() const { return fd_; }

 private:
  int fd_;
};

// The view alone is kept: a mapping outlives the descriptor it was made from.
class PosixMappedFile final : public MappedFile {
 public:
  PosixMappedFile(void* view, uint64_t size) : view_(view), size_(size) {}
  ~PosixMappedFile() override {
    if (view_) munmap(view_, static_cast<size_t>(size_));
  }
  PosixMappedFile(const PosixMappedFile&) = delete;
  PosixMappedFile& operator=(const PosixMappedFile&) = delete;
  char* Data() override { return static_cast<char*>(view_); }
  uint64_t Size() const override { return size_; }

 private:
  void* view_;
  uint64_t size_;
};

std::unique_ptr<MappedFile> Map(int fd, uint64_t size, int protection) {
  if (size == 0) return std::make_unique<PosixMappedFile>(nullptr, 0);
  if (size > SIZE_MAX) return nullptr;
  void* view = mmap(nullptr, static_cast<size_t>(size), protection, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return nullptr;
  return std::make_unique<PosixMappedFile>(view, size);
}

}  // namespace

std::unique_ptr<MappedFile> MapFileForReading(const std::string& path) {
  const std::string hostPath = base::Utf8FromGbk(path);
  if (hostPath.empty()) return nullptr;
  const Descriptor fd(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  return Map(fd.get(), static_cast<uint64_t>(info.st_size), PROT_READ);
}

std::unique_ptr<MappedFile> CreateMappedFile(const std::string& path, uint64_t size) {
  const std::string hostPath = base::Utf8FromGbk(path);
  if (hostPath.empty() || size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
  const Descriptor fd(open(hostPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0 || ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return nullptr;
  return Map(fd.get(), size, PROT_READ | PROT_WRITE);
}

}  // namespace files
