#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "base/gbk_text.h"
#include "files/file_reader.h"

namespace files {
namespace {

// The host's file names are UTF-8; a text that is not valid GBK names nothing.
std::string HostPath(const std::string& path) { return base::Utf8FromGbk(path); }

}  // namespace

bool PathExists(const std::string& path) {
  const std::string hostPath = HostPath(path);
  struct stat info;
  return !hostPath.empty() && stat(hostPath.c_str(), &info) == 0;
}

FileReader::FileReader(const std::string& path) {
  const std::string hostPath = HostPath(path);
  if (hostPath.empty()) return;
  const int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  handle_ = fd;
  // A folder opens here but cannot be read as a file, as on Windows.
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    Close();
    return;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

bool FileReader::Read(void* buffer, size_t capacity, size_t* count) {
  *count = 0;
  if (!IsOpen()) return false;
  if (capacity > SSIZE_MAX) capacity = SSIZE_MAX;
  ssize_t got;
  do {
    got = read(static_cast<int>(handle_), buffer, capacity);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  *count = static_cast<size_t>(got);
  return true;
}

bool FileReader::Size(uint64_t* size) const {
  struct stat info;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool FileReader::SkipTo(uint64_t offset) {
  return IsOpen() && offset <= static_cast<uint64_t>(INT64_MAX) &&
         lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

void FileReader::Close() {
  if (IsOpen()) close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

}  // namespace files
