#pragma once
// Sequential reading of a whole file while other processes may read and write
// it. Paths are GBK texts on every platform.
#include <cstddef>
#include <cstdint>
#include <string>

namespace files {

// True when a file or a folder exists at the path.
bool PathExists(const std::string& path);

// An open file, read from start to end in pieces. Move-only: the handle is
// closed once, by its last owner.
class FileReader {
 public:
  FileReader() = default;
  // Opens a regular file for reading; IsOpen() tells whether it worked. A
  // folder or a file another process holds without sharing does not open.
  explicit FileReader(const std::string& path);
  ~FileReader() { Close(); }

  FileReader(FileReader&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kNoHandle;
  }
  FileReader& operator=(FileReader&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kNoHandle;
    }
    return *this;
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  bool IsOpen() const { return handle_ != kNoHandle; }

  // Reads up to `capacity` bytes into `buffer` and stores the count in
  // `*count`, 0 once the end is reached. False when the read failed.
  bool Read(void* buffer, size_t capacity, size_t* count);

  // The file's size now; false when the system cannot tell.
  bool Size(uint64_t* size) const;

  // The next Read starts `offset` bytes from the start.
  bool SkipTo(uint64_t offset);

 private:
  // A HANDLE on Windows, a descriptor elsewhere; both use -1 for "none".
  static constexpr intptr_t kNoHandle = -1;

  void Close();

  intptr_t handle_ = kNoHandle;
};

}  // namespace files
