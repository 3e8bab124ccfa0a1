#pragma once
// The staging side of a transfer or a decode: a file that grows by appends,
// and the run's buffer of bytes on their way to it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/run_state.h"

namespace engine {

// Held open from its first write to Close, so that a scanner is not handed
// the whole file again after every piece. The handle is the run's stoppable
// one: a stop closes it, and nothing is written after it. Where a write
// lands only in part, what reached the disk is measured, so the caller keeps
// exactly the rest.
class GrowingFile {
 public:
  GrowingFile(RunState& run, std::string path, uint64_t onDisk)
      : run_(run), path_(std::move(path)), onDisk_(onDisk) {}
  ~GrowingFile() { Close(); }
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // Writes data; landed gets how many of its bytes are on disk now. False
  // when not all of them are.
  bool Write(const char* data, size_t size, size_t& landed);
  void Close() { run_.control.output.Close(); }

 private:
  RunState& run_;
  const std::string path_;
  uint64_t onDisk_;
};

// Writes the run's buffer once it holds the threshold, or anything at all
// when `due`. What a failed write left unwritten stays to be tried again
// with the next; false once a disk that keeps refusing has filled the buffer
// to its limit, or after a stop (a decoder told so stops producing).
bool Spill(RunState& run, GrowingFile& out, bool due = false);

// Writes what the buffer holds, whatever comes of it, and empties it.
void FlushBuffer(RunState& run, GrowingFile& out);

}  // namespace engine
