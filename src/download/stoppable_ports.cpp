#include "download/stoppable_ports.h"

namespace engine {
namespace {

using files::FileOutcome;

// A file opened before the stop refuses every read or write after it.
class StoppableWritable final : public files::WritableFile {
 public:
  StoppableWritable(std::unique_ptr<files::WritableFile> real, const DownloadControl& control)
      : real_(std::move(real)), control_(control) {}
  bool Write(const void* data, size_t size) override {
    return !StopRequested(control_) && real_->Write(data, size);
  }
  // Closing lets go of the file; it is what a stop wants.
  void Close() override { real_->Close(); }

 private:
  std::unique_ptr<files::WritableFile> real_;
  const DownloadControl& control_;
};

class StoppableReadable final : public files::ReadableFile {
 public:
  StoppableReadable(std::unique_ptr<files::ReadableFile> real, const DownloadControl& control)
      : real_(std::move(real)), control_(control) {}
  bool Read(void* buffer, size_t capacity, size_t& count) override {
    count = 0;
    return !StopRequested(control_) && real_->Read(buffer, capacity, count);
  }
  bool Size(uint64_t& size) override { return !StopRequested(control_) && real_->Size(size); }

 private:
  std::unique_ptr<files::ReadableFile> real_;
  const DownloadControl& control_;
};

}  // namespace

bool StopRequested(const DownloadControl& control) {
  return control.stopRequested.load() || control.end.load() == RunEnd::kTimedOut;
}

bool StoppableFileSystem::Exists(const std::string& path) { return !Stopped() && real_.Exists(path); }

std::string StoppableFileSystem::Signature(const std::string& path, const files::ReadActivity& onRead) {
  return Stopped() ? std::string() : real_.Signature(path, onRead);
}

files::FileDigest StoppableFileSystem::Digest(const std::string& path, const files::ReadActivity& onRead) {
  return Stopped() ? files::FileDigest{} : real_.Digest(path, onRead);
}

bool StoppableFileSystem::ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) {
  return !Stopped() && real_.ReadWhole(path, maxBytes, bytes);
}

std::unique_ptr<files::ReadableFile> StoppableFileSystem::OpenForReading(const std::string& path) {
  if (Stopped()) return nullptr;
  std::unique_ptr<files::ReadableFile> file = real_.OpenForReading(path);
  if (!file) return nullptr;
  return std::make_unique<StoppableReadable>(std::move(file), control_);
}

// A view is memory: once it is made, a stop has nothing to refuse in it.
std::unique_ptr<files::MappableFile> StoppableFileSystem::OpenMappable(const std::string& path) {
  return Stopped() ? nullptr : real_.OpenMappable(path);
}

std::unique_ptr<files::MappableFile> StoppableFileSystem::CreateMappable(const std::string& path, uint64_t size) {
  return Stopped() ? nullptr : real_.CreateMappable(path, size);
}

FileOutcome StoppableFileSystem::TestWritable(const std::string& path) {
  return Stopped() ? FileOutcome::kFailed : real_.TestWritable(path);
}

std::unique_ptr<files::WritableFile> StoppableFileSystem::CreateForWriting(const std::string& path) {
  if (Stopped()) return nullptr;
  std::unique_ptr<files::WritableFile> file = real_.CreateForWriting(path);
  if (!file) return nullptr;
  return std::make_unique<StoppableWritable>(std::move(file), control_);
}

std::unique_ptr<files::WritableFile> StoppableFileSystem::OpenForAppend(const std::string& path, bool empty) {
  if (Stopped()) return nullptr;
  std::unique_ptr<files::WritableFile> file = real_.OpenForAppend(path, empty);
  if (!file) return nullptr;
  return std::make_unique<StoppableWritable>(std::move(file), control_);
}

bool StoppableFileSystem::CreateFolder(const std::string& path) { return !Stopped() && real_.CreateFolder(path); }

// A stopped run trusts no folder.
bool StoppableFileSystem::IsLink(const std::string& path) { return Stopped() || real_.IsLink(path); }

FileOutcome StoppableFileSystem::Flush(const std::string& path) {
  return Stopped() ? FileOutcome::kFailed : real_.Flush(path);
}

FileOutcome StoppableFileSystem::Replace(const std::string& from, const std::string& to) {
  return Stopped() ? FileOutcome::kFailed : real_.Replace(from, to);
}

FileOutcome StoppableFileSystem::HardLink(const std::string& existing, const std::string& link) {
  return Stopped() ? FileOutcome::kFailed : real_.HardLink(existing, link);
}

bool StoppableFileSystem::CopySecurity(const std::string& from, const std::string& to) {
  return !Stopped() && real_.CopySecurity(from, to);
}

bool StoppableFileSystem::RemoveFile(const std::string& path) { return !Stopped() && real_.RemoveFile(path); }

bool StoppableFileSystem::RemoveFolder(const std::string& path) { return !Stopped() && real_.RemoveFolder(path); }

void StoppableFileSystem::RemoveTree(const std::string& folder) {
  if (!Stopped()) real_.RemoveTree(folder);
}

std::vector<std::string> StoppableFileSystem::ListFiles(const std::string& folder) {
  return Stopped() ? std::vector<std::string>() : real_.ListFiles(folder);
}

HttpAnswer StoppableHttp::Open(const std::string& url, const RangeRequest& range) {
  return StopRequested(control_) ? HttpAnswer{} : real_.Open(url, range);
}

size_t StoppableHttp::Read(void* buffer, size_t size) {
  return StopRequested(control_) ? 0 : real_.Read(buffer, size);
}

void StoppableClock::Sleep(uint32_t ms) {
  if (!StopRequested(control_)) real_.Sleep(ms);
}

void StoppableNotifier::FileStart(int index) {
  if (!Stopped()) real_.FileStart(index);
}
void StoppableNotifier::Progress(int index, const TransferProgress& progress) {
  if (!Stopped()) real_.Progress(index, progress);
}
void StoppableNotifier::Resumed(int index, const TransferProgress& progress) {
  if (!Stopped()) real_.Resumed(index, progress);
}
void StoppableNotifier::FileEnd(int index, bool success) {
  if (!Stopped()) real_.FileEnd(index, success);
}
void StoppableNotifier::TryAgain(int attempt) {
  if (!Stopped()) real_.TryAgain(attempt);
}
void StoppableNotifier::Complete(bool success) {
  if (!Stopped()) real_.Complete(success);
}
void StoppableNotifier::Trace(std::string_view text) {
  if (!Stopped()) real_.Trace(text);
}

}  // namespace engine
