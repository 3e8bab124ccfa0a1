#pragma once
// The host's files as the tool sees them: names are std::filesystem paths
// built from UTF-8, contents are read and written in large pieces.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace updpub {

namespace fs = std::filesystem;

// A path from UTF-8 text, and back.
fs::path HostPath(std::string_view utf8);
std::string Utf8Path(const fs::path& path);

// The host name of one path segment that a web server looks up after
// percent-decoding a request: `bytes` are GBK (local URL scheme) or UTF-8.
// A server on this host stores such names byte for byte; on Windows the
// bytes are read as the text they are.
fs::path ServedSegment(std::string_view bytes, bool utf8Urls);

// Where a web server serving `root` finds a list name (GBK, "\" between
// folders) that the updater fetches under the given scheme.
fs::path ServedPath(const fs::path& root, std::string_view gbkListName, bool utf8Urls);

// Whether stderr is an interactive terminal (the progress bar's condition).
bool StderrIsTerminal();

// One open file; closed by its owner's destructor. Reads and writes go
// straight to the system without stdio's own buffer.
class HostFile {
 public:
  HostFile() = default;
  ~HostFile();
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  // False with `error` set when the file cannot be opened (reading) or
  // created (writing, replacing any file there).
  bool OpenForReading(const fs::path& path, std::string& error);
  bool CreateForWriting(const fs::path& path, std::string& error);

  // `got` is 0 at the end of the file.
  bool Read(void* buffer, size_t capacity, size_t& got, std::string& error);
  bool Write(const void* data, size_t size, std::string& error);
  // Flushes and closes; a write error that shows only now is reported here.
  bool Close(std::string& error);

 private:
  std::FILE* file_ = nullptr;
};

// The whole file, when it is at most maxBytes long.
bool ReadWholeFile(const fs::path& path, size_t maxBytes, std::string& bytes, std::string& error);
bool WriteWholeFile(const fs::path& path, std::string_view bytes, std::string& error);

}  // namespace updpub
