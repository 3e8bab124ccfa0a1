#pragma once
// The file a download worker appends to, owned where the watchdog's stop can
// reach it. A read that the system cannot break (Wine's WinINet goes on
// waiting after its handle is closed) keeps the worker from ever closing the
// file itself; closed by the stop, the file is free at once for the next
// attempt, which continues it, and for the placing pass, which moves it.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "files/file_system.h"

namespace engine {

class StoppableFile {
 public:
  // Appends data to path through the handle kept open between calls, opening
  // it first (see files::FileSystem::OpenForAppend). False when not all of
  // data was written, and at once, writing nothing, once stopped. After a
  // failed write the handle is dropped, so the next call opens a fresh one.
  bool Append(files::FileSystem& fs, const std::string& path, const char* data, size_t size);
  // The worker is done with the file.
  void Close();
  // From any thread: closes the file, waiting for a write under way, and
  // refuses every later Append.
  void Stop();

 private:
  std::mutex mutex_;  // a write and the stop never overlap
  bool stopped_ = false;
  std::string path_;
  std::unique_ptr<files::WritableFile> file_;
};

}  // namespace engine
