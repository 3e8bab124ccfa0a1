#pragma once
// The run's ports as the run sees them: once a stop is requested every call
// is refused (a failure, an empty answer, a notification dropped) without
// reaching the real port. The rule "nothing more is asked of the server, the
// disk or the window after a stop" so holds by construction, and the run
// itself checks for a stop only where it decides whether to go on.
#include <memory>
#include <string>
#include <vector>

#include "download/download_run.h"
#include "files/file_system.h"

namespace engine {

// Stopped by the watchdog, or its time-out claimed before the stop is set.
bool StopRequested(const DownloadControl& control);

class StoppableFileSystem final : public files::FileSystem {
 public:
  StoppableFileSystem(files::FileSystem& real, const DownloadControl& control) : real_(real), control_(control) {}

  bool Exists(const std::string& path) override;
  std::string Signature(const std::string& path, const files::ReadActivity& onRead) override;
  files::FileDigest Digest(const std::string& path, const files::ReadActivity& onRead) override;
  bool ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) override;
  std::unique_ptr<files::ReadableFile> OpenForReading(const std::string& path) override;
  std::unique_ptr<files::MappableFile> OpenMappable(const std::string& path) override;
  std::unique_ptr<files::MappableFile> CreateMappable(const std::string& path, uint64_t size) override;
  files::FileOutcome TestWritable(const std::string& path) override;
  std::unique_ptr<files::WritableFile> CreateForWriting(const std::string& path) override;
  std::unique_ptr<files::WritableFile> OpenForAppend(const std::string& path, bool empty) override;
  bool CreateFolder(const std::string& path) override;
  bool IsLink(const std::string& path) override;
  files::FileOutcome Flush(const std::string& path) override;
  files::FileOutcome Replace(const std::string& from, const std::string& to) override;
  files::FileOutcome HardLink(const std::string& existing, const std::string& link) override;
  bool CopySecurity(const std::string& from, const std::string& to) override;
  bool RemoveFile(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  void RemoveTree(const std::string& folder) override;
  std::vector<std::string> ListFiles(const std::string& folder) override;

 private:
  bool Stopped() const { return StopRequested(control_); }

  files::FileSystem& real_;
  const DownloadControl& control_;
};

class StoppableHttp final : public HttpSource {
 public:
  StoppableHttp(HttpSource& real, const DownloadControl& control) : real_(real), control_(control) {}
  HttpAnswer Open(const std::string& url, const RangeRequest& range) override;
  size_t Read(void* buffer, size_t size) override;
  // Passed on after a stop too: it only lets go of the open request.
  void Close() override { real_.Close(); }

 private:
  HttpSource& real_;
  const DownloadControl& control_;
};

// The tick is read whatever happens; a pause after a stop is no pause.
class StoppableClock final : public Clock {
 public:
  StoppableClock(Clock& real, const DownloadControl& control) : real_(real), control_(control) {}
  uint32_t Now() override { return real_.Now(); }
  void Sleep(uint32_t ms) override;

 private:
  Clock& real_;
  const DownloadControl& control_;
};

class StoppableNotifier final : public DownloadNotifier {
 public:
  StoppableNotifier(DownloadNotifier& real, const DownloadControl& control) : real_(real), control_(control) {}
  void FileStart(int index) override;
  void Progress(int index, const TransferProgress& progress) override;
  void Resumed(int index, const TransferProgress& progress) override;
  void FileEnd(int index, bool success) override;
  void TryAgain(int attempt) override;
  void Complete(bool success) override;
  void Trace(std::string_view text) override;

 private:
  bool Stopped() const { return StopRequested(control_); }

  DownloadNotifier& real_;
  const DownloadControl& control_;
};

}  // namespace engine
