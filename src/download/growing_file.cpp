#include "download/growing_file.h"

#include <memory>

namespace engine {
namespace {

// Bytes the write buffer may hold while writes keep failing.
constexpr size_t kWriteBufferLimit = 2 * kWriteThreshold;

}  // namespace

bool GrowingFile::Write(const char* data, size_t size, size_t& landed) {
  landed = 0;
  if (run_.control.output.Append(run_.fs, path_, data, size)) {
    onDisk_ += size;
    landed = size;
    return true;
  }
  if (run_.Stopped()) return false;
  // The handle may be broken: a fresh one is opened for the next write, at
  // the length measured now.
  const std::unique_ptr<files::ReadableFile> reader = run_.fs.OpenForReading(path_);
  uint64_t length = 0;
  if (reader && reader->Size(length) && length >= onDisk_ && length - onDisk_ <= size) {
    landed = static_cast<size_t>(length - onDisk_);
    onDisk_ = length;
  }
  return false;
}

bool Spill(RunState& run, GrowingFile& out, bool due) {
  std::vector<char>& buffer = run.buffer;
  if (buffer.size() < kWriteThreshold && !(due && !buffer.empty())) return true;
  if (run.Stopped()) return false;
  run.lastWriteTick = run.clock.Now();
  size_t landed = 0;
  const bool whole = out.Write(buffer.data(), buffer.size(), landed);
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(landed));
  return whole || buffer.size() < kWriteBufferLimit;
}

void FlushBuffer(RunState& run, GrowingFile& out) {
  size_t landed = 0;
  if (!run.buffer.empty()) out.Write(run.buffer.data(), run.buffer.size(), landed);
  run.buffer.clear();
}

}  // namespace engine
