#include "files/reported_moves.h"

#include <utility>

namespace files {

ReportedMoves::ReportedMoves(FileSystem& inner, std::function<void(const std::string&)> report)
    : inner_(inner), report_(std::move(report)) {}

bool ReportedMoves::Exists(const std::string& path) { return inner_.Exists(path); }
std::string ReportedMoves::Signature(const std::string& path) { return inner_.Signature(path); }
FileDigest ReportedMoves::Digest(const std::string& path) { return inner_.Digest(path); }
bool ReportedMoves::ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) {
  return inner_.ReadWhole(path, maxBytes, bytes);
}
std::unique_ptr<ReadableFile> ReportedMoves::OpenForReading(const std::string& path) {
  return inner_.OpenForReading(path);
}
bool ReportedMoves::CanOpenForWriting(const std::string& path) { return inner_.CanOpenForWriting(path); }
std::unique_ptr<WritableFile> ReportedMoves::CreateForWriting(const std::string& path) {
  return inner_.CreateForWriting(path);
}
std::unique_ptr<WritableFile> ReportedMoves::OpenForAppend(const std::string& path) {
  return inner_.OpenForAppend(path);
}
bool ReportedMoves::CreateFolder(const std::string& path) { return inner_.CreateFolder(path); }
bool ReportedMoves::IsLink(const std::string& path) { return inner_.IsLink(path); }
bool ReportedMoves::Flush(const std::string& path) { return inner_.Flush(path); }

bool ReportedMoves::MoveOnto(const std::string& from, const std::string& to) {
  if (report_) report_(to);
  return inner_.MoveOnto(from, to);
}

bool ReportedMoves::RemoveFile(const std::string& path) { return inner_.RemoveFile(path); }
void ReportedMoves::RemoveTree(const std::string& folder) { inner_.RemoveTree(folder); }

}  // namespace files
