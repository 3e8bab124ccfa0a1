#include "files/file_system_win.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "digests/sha256_win.h"
#include "files/file_reader.h"
#include "files/file_signature.h"
#include "files/system_path_win.h"

namespace files {
namespace {

std::atomic<bool> g_hardLinksRefused{false};

// WriteFile takes a 32-bit count; larger pieces go in several calls.
constexpr size_t kLargestWrite = size_t{1} << 30;

class WindowsWritableFile : public WritableFile {
 public:
  explicit WindowsWritableFile(HANDLE file) : file_(file) {}
  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD piece = static_cast<DWORD>(size < kLargestWrite ? size : kLargestWrite);
      DWORD written = 0;
      if (!file_ || !WriteFile(file_.get(), bytes, piece, &written, nullptr) || written != piece) return false;
      bytes += piece;
      size -= piece;
    }
    return true;
  }
  void Close() override { file_.reset(); }

 private:
  base::UniqueFileHandle file_;
};

std::wstring Wide(const std::string& path) { return SystemPath(path); }

std::wstring WithoutBackslash(std::wstring path) {
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// A junction or symbolic link; asked of the path without a trailing
// backslash, so that the link itself answers and not its target.
bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The errors a scanner, the indexer or a thumbnailer cause while it has a
// file open: a sharing or lock violation, access denied while a delete or
// an image section is pending, a section still mapped by another process.
FileOutcome LastOutcome() {
  switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_USER_MAPPED_FILE:
      return FileOutcome::kHeld;
    default:
      return FileOutcome::kFailed;
  }
}

// A junction or a symbolic link to a folder goes as a folder, one to a file
// as a file; either way the link alone, never what it points to.
void RemoveLink(const std::wstring& path) {
  if (!RemoveDirectoryW(path.c_str())) DeleteFileW(path.c_str());
}

void RemoveTreeWide(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Not even its attributes are set: that could reach the target.
        RemoveLink(path);
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTreeWide(path + L"\\");
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// Adds the files below folder (ending in "\") to found, each named prefix
// and its path below folder.
void ListFilesWide(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>& found) {
  WIN32_FIND_DATAW entry{};
  const base::UniqueFindHandle search(FindFirstFileW((folder + L"*").c_str(), &entry));
  if (!search) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFilesWide(folder + name + L"\\", prefix + name + L"\\", found);
    } else {
      found.push_back(prefix + name);
    }
  } while (FindNextFileW(search.get(), &entry));
}

}  // namespace

bool WindowsFileSystem::Exists(const std::string& path) { return PathExists(path); }

std::string WindowsFileSystem::Signature(const std::string& path, const ReadActivity& onRead) {
  return FileSignature(path, onRead);
}

FileDigest WindowsFileSystem::Digest(const std::string& path, const ReadActivity& onRead) {
  CngSha256 sha;
  return FileSignatureAndSha256(path, sha, onRead);
}

bool WindowsFileSystem::ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) {
  FileReader reader(path);
  uint64_t size = 0;
  if (!reader.IsOpen() || !reader.Size(&size) || size > maxBytes) return false;
  bytes.resize(static_cast<size_t>(size));
  size_t filled = 0;
  for (;;) {
    size_t got = 0;
    if (!reader.Read(bytes.data() + filled, bytes.size() - filled, &got)) return false;
    if (got == 0) break;
    filled += got;
    if (filled == bytes.size()) {
      // The file grew since its size was asked: too large, or not whole.
      char extra = 0;
      return reader.Read(&extra, 1, &got) && got == 0;
    }
  }
  bytes.resize(filled);
  return true;
}

namespace {

class ReaderFile : public ReadableFile {
 public:
  explicit ReaderFile(FileReader reader) : reader_(std::move(reader)) {}
  bool Read(void* buffer, size_t capacity, size_t& count) override {
    return reader_.Read(buffer, capacity, &count);
  }
  bool Size(uint64_t& size) override { return reader_.Size(&size); }

 private:
  FileReader reader_;
};

}  // namespace

std::unique_ptr<ReadableFile> WindowsFileSystem::OpenForReading(const std::string& path) {
  FileReader reader(path);
  if (!reader.IsOpen()) return nullptr;
  return std::make_unique<ReaderFile>(std::move(reader));
}

FileOutcome WindowsFileSystem::TestWritable(const std::string& path) {
  // The attribute is asked first: Wine run by root opens a read-only file for
  // writing and lets it be replaced, where Windows refuses both. A read-only
  // file stays so however long one waits.
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return FileOutcome::kFailed;
  base::UniqueFileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_ARCHIVE, nullptr));
  return file.valid() ? FileOutcome::kDone : LastOutcome();
}

std::unique_ptr<WritableFile> WindowsFileSystem::CreateForWriting(const std::string& path) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WindowsWritableFile>(file);
}

std::unique_ptr<WritableFile> WindowsFileSystem::OpenForAppend(const std::string& path, bool empty) {
  // Emptying needs the right to write anywhere; the file is written from
  // its start on, by this handle alone.
  HANDLE file = CreateFileW(Wide(path).c_str(), empty ? GENERIC_WRITE : FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            empty ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WindowsWritableFile>(file);
}

bool WindowsFileSystem::CreateFolder(const std::string& path) {
  return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0;
}

bool WindowsFileSystem::IsLink(const std::string& path) { return IsReparsePoint(WithoutBackslash(Wide(path))); }

FileOutcome WindowsFileSystem::Flush(const std::string& path) {
  base::UniqueFileHandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid() && FlushFileBuffers(file.get()) ? FileOutcome::kDone : LastOutcome();
}

FileOutcome WindowsFileSystem::Replace(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? FileOutcome::kDone
             : LastOutcome();
}

void RefuseHardLinks() { g_hardLinksRefused = true; }

FileOutcome WindowsFileSystem::HardLink(const std::string& existing, const std::string& link) {
  if (g_hardLinksRefused) return FileOutcome::kFailed;
  return CreateHardLinkW(Wide(link).c_str(), Wide(existing).c_str(), nullptr) ? FileOutcome::kDone : LastOutcome();
}

bool WindowsFileSystem::RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != 0; }

bool WindowsFileSystem::RemoveFolder(const std::string& path) { return RemoveDirectoryW(Wide(path).c_str()) != 0; }

std::vector<std::string> WindowsFileSystem::ListFiles(const std::string& folder) {
  const std::wstring wide = WithoutBackslash(Wide(folder));
  std::vector<std::string> names;
  if (wide.empty() || IsReparsePoint(wide)) return names;
  std::vector<std::wstring> found;
  ListFilesWide(wide + L"\\", L"", found);
  for (const std::wstring& name : found) names.push_back(base::GbkFromWide(name));
  return names;
}

void WindowsFileSystem::RemoveTree(const std::string& folder) {
  const std::wstring wide = WithoutBackslash(Wide(folder));
  if (wide.empty()) return;
  // Walking a link would delete what it points to.
  if (IsReparsePoint(wide)) {
    RemoveLink(wide);
    return;
  }
  RemoveTreeWide(wide + L"\\");
}

bool WindowsFileSystem::CopySecurity(const std::string& from, const std::string& to) {
  // The list is written as it was read, inherited entries and the protection
  // flag included; the owner stays the elevated account's, since setting
  // another needs a privilege the updater does not hold.
  constexpr SECURITY_INFORMATION kWhat = DACL_SECURITY_INFORMATION;
  const std::wstring source = Wide(from);
  DWORD needed = 0;
  GetFileSecurityW(source.c_str(), kWhat, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityW(source.c_str(), kWhat, descriptor.data(), needed, &needed)) return false;
  return SetFileSecurityW(Wide(to).c_str(), kWhat, descriptor.data()) != 0;
}

}  // namespace files
