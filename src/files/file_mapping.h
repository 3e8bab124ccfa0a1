#pragma once
// A whole file seen as memory: a large file is read or written without a
// copy in the heap, the system paging it in and out through the file itself,
// so it costs address space rather than committed memory. Paths are GBK
// texts on every platform.
#include <cstdint>
#include <memory>
#include <string>

namespace files {

// A mapped file, unmapped and closed by its destructor. An empty file needs
// no view: Data() is then null.
class MappedFile {
 public:
  virtual ~MappedFile() = default;
  // Writable only where the file was created mapped.
  virtual char* Data() = 0;
  virtual uint64_t Size() const = 0;
};

// An existing file mapped read-only, whole, while others may read and write
// it. Null when it cannot be opened, or mapped (more than the address space
// has room for in one piece).
std::unique_ptr<MappedFile> MapFileForReading(const std::string& path);

// Creates, replacing, a file of size bytes (zeros) and maps it writable,
// whole, while others may only read it. Null when it cannot be created at
// that size, or mapped.
std::unique_ptr<MappedFile> CreateMappedFile(const std::string& path, uint64_t size);

}  // namespace files
