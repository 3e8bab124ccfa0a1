#pragma once
// A file system that reports every move onto an installed file before it is
// made and passes every operation on to the system it wraps, so that the
// placing of staged files can be followed (and interrupted) from outside,
// one step at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "files/file_system.h"

namespace files {

class ReportedMoves : public FileSystem {
 public:
  // report receives the target of each move, before the move is made.
  ReportedMoves(FileSystem& inner, std::function<void(const std::string&)> report);

  bool Exists(const std::string& path) override;
  std::string Signature(const std::string& path) override;
  FileDigest Digest(const std::string& path) override;
  bool ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  bool CanOpenForWriting(const std::string& path) override;
  std::unique_ptr<WritableFile> CreateForWriting(const std::string& path) override;
  std::unique_ptr<WritableFile> OpenForAppend(const std::string& path) override;
  bool CreateFolder(const std::string& path) override;
  bool IsLink(const std::string& path) override;
  bool Flush(const std::string& path) override;
  bool MoveOnto(const std::string& from, const std::string& to) override;
  bool RemoveFile(const std::string& path) override;
  void RemoveTree(const std::string& folder) override;

 private:
  FileSystem& inner_;
  std::function<void(const std::string&)> report_;
};

}  // namespace files
