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

// A file whose regions are mapped one at a time, so that a file of any size
// costs only the address space of the regions in view. A region's view
// stays valid after this object is gone.
class MappableFile {
 public:
  virtual ~MappableFile() = default;
  virtual uint64_t Size() const = 0;
  // Bytes [offset, offset + length) clipped to the file's end, writable where
  // the file was created for mapping. Null when offset lies beyond the end or
  // the region cannot be mapped; a region of no bytes has no view.
  virtual std::unique_ptr<MappedFile> MapRegion(uint64_t offset, uint64_t length) = 0;
};

// An existing file opened for mapping read-only, shared as MapFileForReading.
std::unique_ptr<MappableFile> OpenMappableFile(const std::string& path);
// Creates, replacing, a file of size bytes (zeros) to be mapped writable in
// regions, shared as CreateMappedFile. Null when it cannot be created.
std::unique_ptr<MappableFile> CreateMappableFile(const std::string& path, uint64_t size);

// An existing file mapped read-only, whole, while others may read and write
// it. Null when it cannot be opened, or mapped (more than the address space
// has room for in one piece).
std::unique_ptr<MappedFile> MapFileForReading(const std::string& path);

// Creates, replacing, a file of size bytes (zeros) and maps it writable,
// whole, while others may only read it. Null when it cannot be created at
// that size, or mapped.
std::unique_ptr<MappedFile> CreateMappedFile(const std::string& path, uint64_t size);

}  // namespace files
