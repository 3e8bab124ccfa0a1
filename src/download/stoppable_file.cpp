#include "download/stoppable_file.h"

namespace engine {

bool StoppableFile::Append(files::FileSystem& fs, const std::string& path, const char* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return false;
  if (file_ && path != path_) file_.reset();
  if (!file_) {
    file_ = fs.OpenForAppend(path, false);
    path_ = path;
  }
  if (file_ && file_->Write(data, size)) return true;
  file_.reset();
  return false;
}

void StoppableFile::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  file_.reset();
}

void StoppableFile::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  file_.reset();
}

}  // namespace engine
