#pragma once
#include "files/file_system.h"

namespace files {

// The engine's file operations on the real file system, through the W calls
// with GBK paths converted at this boundary.
class WindowsFileSystem : public FileSystem {
 public:
  bool Exists(const std::string& path) override;
  std::string Signature(const std::string& path, const ReadActivity& onRead = {}) override;
  FileDigest Digest(const std::string& path, const ReadActivity& onRead = {}) override;
  bool ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::unique_ptr<MappableFile> OpenMappable(const std::string& path) override { return OpenMappableFile(path); }
  std::unique_ptr<MappableFile> CreateMappable(const std::string& path, uint64_t size) override {
    return CreateMappableFile(path, size);
  }
  FileOutcome TestWritable(const std::string& path) override;
  std::unique_ptr<WritableFile> CreateForWriting(const std::string& path) override;
  std::unique_ptr<WritableFile> OpenForAppend(const std::string& path, bool empty) override;
  bool CreateFolder(const std::string& path) override;
  bool IsLink(const std::string& path) override;
  FileOutcome Flush(const std::string& path) override;
  FileOutcome Replace(const std::string& from, const std::string& to) override;
  FileOutcome HardLink(const std::string& existing, const std::string& link) override;
  bool CopySecurity(const std::string& from, const std::string& to) override;
  bool RemoveFile(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  std::vector<std::string> ListFiles(const std::string& folder) override;
  void RemoveTree(const std::string& folder) override;
};

// From the call on, every WindowsFileSystem refuses hard links as a volume
// without them does (FAT, exFAT). Only a test build of the updater calls it,
// at start, so that the soak can run on such a "volume".
void RefuseHardLinks();

}  // namespace files
