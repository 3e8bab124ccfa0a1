#pragma once
// The few file operations the update engine needs, behind a narrow port so
// that the download run, the difference step and the application of staged
// files can be driven by a fault-injecting file system in tests. Paths are
// GBK texts with "\" separators on every platform.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/file_mapping.h"
#include "files/file_signature.h"

namespace files {

// What an operation on an existing file met. kHeld: another process has the
// file open or locked (a virus scanner, the search indexer, a thumbnailer
// reading a freshly written file), so the same operation may succeed a moment
// later; kFailed: waiting will not mend it.
enum class FileOutcome { kDone, kHeld, kFailed };

// A file open for writing; closed by its destructor (or Close()).
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Appends size bytes; false when not all of them were written.
  virtual bool Write(const void* data, size_t size) = 0;
  virtual void Close() = 0;
};

// A file open for reading from its start; closed by its destructor.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Up to capacity bytes into buffer, their count into count (0 at the end);
  // false when the read failed.
  virtual bool Read(void* buffer, size_t capacity, size_t& count) = 0;
  // The file's size now; false when the system cannot tell.
  virtual bool Size(uint64_t& size) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // A file or a folder exists at path.
  virtual bool Exists(const std::string& path) = 0;
  // As files::FileSignature: "" when nothing exists, "0" when it cannot be
  // read as a file, else the CRC-32 in upper-case hexadecimal.
  virtual std::string Signature(const std::string& path, const ReadActivity& onRead = {}) = 0;
  // As files::FileSignatureAndSha256: the signature and the SHA-256 from one
  // reading of the file.
  virtual FileDigest Digest(const std::string& path, const ReadActivity& onRead = {}) = 0;
  // The whole content of a file of at most maxBytes into bytes; false when
  // it cannot be read or is larger.
  virtual bool ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) = 0;
  // Opens an existing file for reading while others may read and write it.
  // Null when it cannot be opened (missing, a folder, held without sharing).
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) = 0;
  // As files::OpenMappableFile and CreateMappableFile: a file mapped region
  // by region.
  virtual std::unique_ptr<MappableFile> OpenMappable(const std::string& path) = 0;
  virtual std::unique_ptr<MappableFile> CreateMappable(const std::string& path, uint64_t size) = 0;
  // As files::MapFileForReading: an existing file mapped read-only, whole.
  std::unique_ptr<MappedFile> MapForReading(const std::string& path);
  // As files::CreateMappedFile: a new file of size bytes mapped writable.
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, uint64_t size);
  // Opens an existing file for writing with no sharing and closes it again:
  // whether the file could be replaced now. A read-only file fails.
  virtual FileOutcome TestWritable(const std::string& path) = 0;
  // Creates, replacing, a file others may read but not write while it is
  // open. Null when it cannot be created.
  virtual std::unique_ptr<WritableFile> CreateForWriting(const std::string& path) = 0;
  // Opens a file to append to it, creating it, and emptying it first when
  // `empty`. Others may read, write and delete it meanwhile: a worker that
  // the system could not stop in a blocking read may still hold it when the
  // next attempt goes on with the file (that worker writes nothing more).
  // Null when it cannot be opened.
  virtual std::unique_ptr<WritableFile> OpenForAppend(const std::string& path, bool empty) = 0;
  // Creates every missing folder of folder (a text ending in "\"), from
  // the top down. The drive, the "\\?\" or "\\.\" prefix and the server
  // and share of a network path are never created: they exist or nothing
  // can make them. A folder that another process made meanwhile counts as
  // made.
  bool MakeFolders(const std::string& folder);
  // Creates the one folder path (no trailing "\") whose parent exists.
  virtual bool CreateFolder(const std::string& path) = 0;
  // A junction or symbolic link stands at path (a trailing "\" allowed).
  virtual bool IsLink(const std::string& path) = 0;
  // Writes the file's data through to the disk.
  virtual FileOutcome Flush(const std::string& path) = 0;
  // Moves from onto to in one step, replacing to, and returns once the move
  // is on disk: a crash leaves to either as it was or as from was, provided
  // from was flushed first. A file in use by a running program may be moved
  // away this way, though it cannot be overwritten.
  virtual FileOutcome Replace(const std::string& from, const std::string& to) = 0;
  bool MoveOnto(const std::string& from, const std::string& to) { return Replace(from, to) == FileOutcome::kDone; }
  // Gives the existing file a second name, link (a hard link: one file, two
  // names); link must not exist. kFailed where the volume has no such
  // links (FAT, some network shares).
  virtual FileOutcome HardLink(const std::string& existing, const std::string& link) = 0;
  // Gives to the access rules of from (its discretionary access control
  // list, with its inheritance flags), so that grants made on an installed
  // file hold for the file that replaces it.
  virtual bool CopySecurity(const std::string& from, const std::string& to) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Removes the one empty folder path (no trailing "\").
  virtual bool RemoveFolder(const std::string& path) = 0;
  // The files below folder (ending in "\"), at any depth, named relative to
  // it ("sub\x.dll"). A link is neither entered nor listed, the folder
  // itself included: what it points to is none of the folder's.
  virtual std::vector<std::string> ListFiles(const std::string& folder) = 0;
  // Removes folder (ending in "\") with everything in it; failures ignored.
  // A link, the folder itself or one inside it, is removed as a link: what it
  // points to is never touched.
  virtual void RemoveTree(const std::string& folder) = 0;
};

}  // namespace files
