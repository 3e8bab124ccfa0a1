#include "updpub/host/host_files.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include "base/byte_text.h"
#include "base/gbk_text.h"

namespace updpub {

// Opens with the host's own call; defined per platform.
std::FILE* OpenHostFile(const fs::path& path, bool forWriting);

namespace {

// The parts of a GBK list name; a second byte of a two-byte character is
// never a separator.
std::vector<std::string> ListNameSegments(std::string_view gbk) {
  std::vector<std::string> segments(1);
  for (size_t i = 0; i < gbk.size(); ++i) {
    if (base::IsLeadByte(static_cast<unsigned char>(gbk[i]), base::kDocumentFirstLeadByte) && i + 1 < gbk.size()) {
      segments.back().append(gbk.substr(i, 2));
      ++i;
    } else if (gbk[i] == '\\' || gbk[i] == '/') {
      segments.emplace_back();
    } else {
      segments.back().push_back(gbk[i]);
    }
  }
  return segments;
}

std::string ErrnoText() { return std::generic_category().message(errno); }

}  // namespace

HostFile::~HostFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool HostFile::OpenForReading(const fs::path& path, std::string& error) {
  errno = 0;
  file_ = OpenHostFile(path, false);
  if (file_ == nullptr) {
    error = "cannot open: " + ErrnoText();
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

bool HostFile::CreateForWriting(const fs::path& path, std::string& error) {
  errno = 0;
  file_ = OpenHostFile(path, true);
  if (file_ == nullptr) {
    error = "cannot create: " + ErrnoText();
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

bool HostFile::Read(void* buffer, size_t capacity, size_t& got, std::string& error) {
  got = std::fread(buffer, 1, capacity, file_);
  if (got < capacity && std::ferror(file_)) {
    error = "cannot read: " + ErrnoText();
    return false;
  }
  return true;
}

bool HostFile::Write(const void* data, size_t size, std::string& error) {
  if (size == 0) return true;
  if (std::fwrite(data, 1, size, file_) != size) {
    error = "cannot write: " + ErrnoText();
    return false;
  }
  return true;
}

bool HostFile::Close(std::string& error) {
  if (file_ == nullptr) return true;
  const int result = std::fclose(file_);
  file_ = nullptr;
  if (result != 0) {
    error = "cannot write: " + ErrnoText();
    return false;
  }
  return true;
}

bool ReadWholeFile(const fs::path& path, size_t maxBytes, std::string& bytes, std::string& error) {
  HostFile file;
  if (!file.OpenForReading(path, error)) return false;
  bytes.clear();
  // Grown once: doubling a string of a gigabyte holds it one and a half times.
  std::error_code sizeError;
  const uintmax_t size = fs::file_size(path, sizeError);
  if (!sizeError && size <= maxBytes) bytes.reserve(static_cast<size_t>(size));
  char buffer[64 * 1024];
  for (;;) {
    size_t got = 0;
    if (!file.Read(buffer, sizeof buffer, got, error)) return false;
    if (got == 0) return true;
    if (bytes.size() + got > maxBytes) {
      error = "larger than " + std::to_string(maxBytes) + " bytes";
      return false;
    }
    bytes.append(buffer, got);
  }
}

bool WriteWholeFile(const fs::path& path, std::string_view bytes, std::string& error) {
  HostFile file;
  return file.CreateForWriting(path, error) && file.Write(bytes.data(), bytes.size(), error) &&
         file.Close(error);
}

fs::path ServedPath(const fs::path& root, std::string_view gbkListName, bool utf8Urls) {
  fs::path path = root;
  for (const std::string& segment : ListNameSegments(gbkListName))
    path /= ServedSegment(utf8Urls ? base::Utf8FromGbk(segment) : segment, utf8Urls);
  return path;
}

}  // namespace updpub
