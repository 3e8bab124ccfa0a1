#include "files/file_mapping.h"

namespace files {

// A whole file is its one region: the view keeps what it maps open.
std::unique_ptr<MappedFile> MapFileForReading(const std::string& path) {
  const std::unique_ptr<MappableFile> file = OpenMappableFile(path);
  return file ? file->MapRegion(0, file->Size()) : nullptr;
}

std::unique_ptr<MappedFile> CreateMappedFile(const std::string& path, uint64_t size) {
  const std::unique_ptr<MappableFile> file = CreateMappableFile(path, size);
  return file ? file->MapRegion(0, size) : nullptr;
}

}  // namespace files
