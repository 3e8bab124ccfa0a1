#pragma once
// An in-memory file system for the engine's tests. Paths are compared as
// given (tests spell them consistently). Every mutating operation counts as
// one step; from a chosen step on, the system "crashes": that operation and
// every later one fails without changing anything, as if the power went off
// there. Single operations can also be made to fail by path, and files can
// be held by another process for a number of tries or for good. A folder
// can be a link to another: every path through it reaches the other, and
// only IsLink, Exists, RemoveFolder and RemoveTree see the link itself.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "digests/crc32.h"
#include "files/file_system.h"
#include "support/sha256_reference.h"

namespace testing_support {

class MemoryFileSystem : public files::FileSystem {
 public:
  std::map<std::string, std::string> files;  // path -> content
  std::set<std::string> folders;             // each ending in "\"
  std::set<std::string> locked;              // held for good: not opened for writing, replaced or removed
  std::map<std::string, int> heldTries;      // held for this many more writability tests, flushes or moves
  std::map<std::string, long> lockedFromStep;  // held for good once this many steps were attempted
  std::set<std::string> failFlush;           // Flush fails for good
  std::set<std::string> failSecurity;        // CopySecurity from these fails
  std::map<std::string, std::string> security;  // path -> its access rules; moved with the file
  std::set<std::string> failCreate;          // CreateForWriting fails
  std::set<std::string> failMoveOnto;       // MoveOnto onto these fails
  std::set<std::string> failCreateFolder;    // CreateFolder of these fails...
  std::set<std::string> madeByOthers;        // ...though another process makes them meanwhile
  std::map<std::string, std::string> links;  // link -> the folder it points to, both ending in "\"
  bool noHardLinks = false;                  // a volume without hard links (FAT)
  std::set<std::string> failMap;             // mapping these fails, as where the address space has no room
  std::map<std::string, int> mapped;         // views open now: the file is neither moved nor removed
  long crashAtStep = -1;                     // -1: never
  long steps = 0;                            // mutating operations attempted so far
  std::string log;                           // one line per mutating operation that took effect

  bool crashed() const { return crashAtStep >= 0 && steps > crashAtStep; }

  bool Exists(const std::string& given) override {
    if (LinkAt(given)) return true;
    const std::string path = Resolve(given);
    return files.count(path) > 0 || folders.count(path) > 0 || folders.count(path + "\\") > 0;
  }

  std::string Signature(const std::string& given, const files::ReadActivity& onRead = {}) override {
    if (onRead) onRead();
    const std::string path = Resolve(given);
    const auto it = files.find(path);
    if (it == files.end()) return Exists(path) ? "0" : "";
    if (locked.count(path)) return "0";
    char text[9];
    std::snprintf(text, sizeof(text), "%X",
                  static_cast<unsigned>(files::Crc32Update(0, it->second.data(), it->second.size())));
    return text;
  }

  files::FileDigest Digest(const std::string& path, const files::ReadActivity& onRead = {}) override {
    const std::string signature = Signature(path, onRead);
    if (signature.empty() || signature == "0") return {signature, ""};
    return {signature, Sha256HexOf(files.at(Resolve(path)))};
  }

  bool ReadWhole(const std::string& given, uint64_t maxBytes, std::string& bytes) override {
    const std::string path = Resolve(given);
    const auto it = files.find(path);
    if (it == files.end() || locked.count(path) || it->second.size() > maxBytes) return false;
    bytes = it->second;
    return true;
  }

  class MemoryReader : public files::ReadableFile {
   public:
    explicit MemoryReader(std::string content) : content_(std::move(content)) {}
    bool Read(void* buffer, size_t capacity, size_t& count) override {
      count = content_.copy(static_cast<char*>(buffer), capacity, offset_);
      offset_ += count;
      return true;
    }
    bool Size(uint64_t& size) override {
      size = content_.size();
      return true;
    }

   private:
    std::string content_;
    size_t offset_ = 0;
  };

  std::unique_ptr<files::ReadableFile> OpenForReading(const std::string& given) override {
    const std::string path = Resolve(given);
    const auto it = files.find(path);
    if (it == files.end() || locked.count(path)) return nullptr;
    return std::make_unique<MemoryReader>(it->second);
  }

  // A view into the stored content itself, as a real one sees the file.
  // A region of a file; while its view is open the file is neither moved
  // nor removed.
  class MemoryRegion : public files::MappedFile {
   public:
    MemoryRegion(MemoryFileSystem& fs, std::string path, uint64_t offset, uint64_t size)
        : fs_(fs), path_(std::move(path)), offset_(offset), size_(size) {
      ++fs_.mapped[path_];
    }
    ~MemoryRegion() override {
      if (--fs_.mapped[path_] == 0) fs_.mapped.erase(path_);
    }
    char* Data() override { return size_ > 0 ? fs_.files.at(path_).data() + offset_ : nullptr; }
    uint64_t Size() const override { return size_; }

   private:
    MemoryFileSystem& fs_;
    std::string path_;
    uint64_t offset_;
    uint64_t size_;
  };

  class MemoryMappable : public files::MappableFile {
   public:
    MemoryMappable(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    uint64_t Size() const override { return fs_.files.at(path_).size(); }
    std::unique_ptr<files::MappedFile> MapRegion(uint64_t offset, uint64_t length) override {
      if (!fs_.files.count(path_) || offset > Size()) return nullptr;
      length = std::min(length, Size() - offset);
      return std::make_unique<MemoryRegion>(fs_, path_, offset, length);
    }

   private:
    MemoryFileSystem& fs_;
    std::string path_;
  };

  std::unique_ptr<files::MappableFile> OpenMappable(const std::string& given) override {
    const std::string path = Resolve(given);
    if (!files.count(path) || locked.count(path) || failMap.count(path)) return nullptr;
    return std::make_unique<MemoryMappable>(*this, path);
  }

  std::unique_ptr<files::MappableFile> CreateMappable(const std::string& given, uint64_t size) override {
    const std::string path = Resolve(given);
    if (failMap.count(path) || failCreate.count(path) || locked.count(path) || mapped.count(path) ||
        !ParentExists(path))
      return nullptr;
    if (!Step("create " + path)) return nullptr;
    files[path].assign(static_cast<size_t>(size), '\0');
    return std::make_unique<MemoryMappable>(*this, path);
  }

  files::FileOutcome TestWritable(const std::string& given) override {
    const std::string path = Resolve(given);
    if (!files.count(path)) return files::FileOutcome::kFailed;
    return Held(path) ? files::FileOutcome::kHeld : files::FileOutcome::kDone;
  }

  class MemoryFile : public files::WritableFile {
   public:
    MemoryFile(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    ~MemoryFile() override { Close(); }
    bool Write(const void* data, size_t size) override {
      if (closed_ || !fs_.Step("write " + path_)) return false;
      fs_.files[path_].append(static_cast<const char*>(data), size);
      return true;
    }
    void Close() override {
      if (!closed_) --fs_.openFiles;
      closed_ = true;
    }

   private:
    MemoryFileSystem& fs_;
    std::string path_;
    bool closed_ = false;
  };
  int openFiles = 0;  // files created and not yet closed

  std::unique_ptr<files::WritableFile> CreateForWriting(const std::string& given) override {
    const std::string path = Resolve(given);
    if (failCreate.count(path) || locked.count(path) || !ParentExists(path)) return nullptr;
    if (!Step("create " + path)) return nullptr;
    files[path].clear();
    ++openFiles;
    return std::make_unique<MemoryFile>(*this, path);
  }

  std::unique_ptr<files::WritableFile> OpenForAppend(const std::string& given, bool empty) override {
    const std::string path = Resolve(given);
    if (failCreate.count(path) || locked.count(path) || !ParentExists(path)) return nullptr;
    if (empty && !Step("create " + path)) return nullptr;
    if (empty) files[path].clear();
    files[path];
    ++openFiles;
    return std::make_unique<MemoryFile>(*this, path);
  }

  bool CreateFolder(const std::string& given) override {
    if (LinkAt(given)) return false;  // something stands there
    const std::string path = Resolve(given);
    if (failCreateFolder.count(path)) {
      if (madeByOthers.count(path)) folders.insert(path + "\\");
      return false;
    }
    if (!Step("mkdir " + path + "\\")) return false;
    folders.insert(path + "\\");
    return true;
  }

  bool IsLink(const std::string& path) override { return LinkAt(path); }

  files::FileOutcome Flush(const std::string& given) override {
    const std::string path = Resolve(given);
    if (!files.count(path) || failFlush.count(path)) return files::FileOutcome::kFailed;
    if (Held(path)) return files::FileOutcome::kHeld;
    return Step("flush " + path) ? files::FileOutcome::kDone : files::FileOutcome::kFailed;
  }

  files::FileOutcome Replace(const std::string& givenFrom, const std::string& givenTo) override {
    const std::string from = Resolve(givenFrom), to = Resolve(givenTo);
    if (!files.count(from) || failMoveOnto.count(to) || !ParentExists(to) || mapped.count(from) || mapped.count(to))
      return files::FileOutcome::kFailed;
    // Both ends are asked, as the system checks both.
    const bool fromHeld = Held(from);
    const bool toHeld = Held(to);
    if (fromHeld || toHeld) return files::FileOutcome::kHeld;
    if (!Step("replace " + from + " -> " + to)) return files::FileOutcome::kFailed;
    files[to] = std::move(files[from]);
    files.erase(from);
    const auto rules = security.find(from);
    if (rules != security.end()) {
      security[to] = rules->second;
      security.erase(rules);
    } else {
      security.erase(to);
    }
    return files::FileOutcome::kDone;
  }

  files::FileOutcome HardLink(const std::string& givenExisting, const std::string& givenLink) override {
    const std::string existing = Resolve(givenExisting), link = Resolve(givenLink);
    if (!files.count(existing) || files.count(link) || noHardLinks || !ParentExists(link))
      return files::FileOutcome::kFailed;
    if (Held(existing)) return files::FileOutcome::kHeld;
    if (!Step("link " + existing + " -> " + link)) return files::FileOutcome::kFailed;
    // Nothing writes to either name afterwards, so a copy stands for the link.
    files[link] = files[existing];
    if (security.count(existing)) security[link] = security[existing];
    return files::FileOutcome::kDone;
  }

  bool CopySecurity(const std::string& givenFrom, const std::string& givenTo) override {
    const std::string from = Resolve(givenFrom), to = Resolve(givenTo);
    if (!files.count(from) || !files.count(to) || failSecurity.count(from)) return false;
    if (!Step("security " + from + " -> " + to)) return false;
    security[to] = security.count(from) ? security.at(from) : std::string();
    return true;
  }

  bool RemoveFolder(const std::string& given) override {
    if (LinkAt(given)) return Unlink(given + "\\");
    const std::string folder = Resolve(given) + "\\";
    if (!folders.count(folder)) return false;
    for (const auto& file : files) {
      if (file.first.compare(0, folder.size(), folder) == 0) return false;
    }
    for (const std::string& other : folders) {
      if (other != folder && other.compare(0, folder.size(), folder) == 0) return false;
    }
    if (!Step("rmdir " + folder)) return false;
    folders.erase(folder);
    return true;
  }

  bool RemoveFile(const std::string& given) override {
    const std::string path = Resolve(given);
    if (!files.count(path) || locked.count(path) || mapped.count(path)) return false;
    if (!Step("remove " + path)) return false;
    files.erase(path);
    return true;
  }

  // Files below a link are stored under what it points to, so a walk of
  // the resolved folder never enters one.
  std::vector<std::string> ListFiles(const std::string& given) override {
    std::vector<std::string> names;
    if (LinkAt(given)) return names;
    const std::string folder = Resolve(given);
    for (const auto& file : files) {
      if (file.first.compare(0, folder.size(), folder) == 0) names.push_back(file.first.substr(folder.size()));
    }
    return names;
  }

  void RemoveTree(const std::string& given) override {
    if (LinkAt(given)) {  // the link goes; what it points to stays
      Unlink(given);
      return;
    }
    const std::string folder = Resolve(given);
    for (auto it = links.begin(); it != links.end();) {  // links inside go as links
      if (it->first.compare(0, folder.size(), folder) == 0 && Step("unlink " + it->first)) {
        it = links.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = files.begin(); it != files.end();) {
      if (it->first.compare(0, folder.size(), folder) == 0 && !locked.count(it->first) &&
          Step("remove " + it->first)) {
        it = files.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = folders.begin(); it != folders.end();) {
      if (it->compare(0, folder.size(), folder) == 0 && Step("rmdir " + *it)) {
        it = folders.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Registers every folder above path, so tests can lay out a tree quickly.
  void Put(const std::string& path, const std::string& content) {
    for (size_t slash = path.find('\\'); slash != std::string::npos; slash = path.find('\\', slash + 1))
      folders.insert(path.substr(0, slash + 1));
    files[path] = content;
  }

 private:
  bool LinkAt(const std::string& path) const { return links.count(path) > 0 || links.count(path + "\\") > 0; }
  static constexpr int kMostLinksFollowed = 8;
  // The path a link in it leads to; as given where none does.
  std::string Resolve(const std::string& path) const {
    std::string resolved = path;
    for (int followed = 0; followed < kMostLinksFollowed; ++followed) {
      const auto through = std::find_if(links.begin(), links.end(), [&](const auto& link) {
        return resolved.size() > link.first.size() && resolved.compare(0, link.first.size(), link.first) == 0;
      });
      if (through == links.end()) break;
      resolved = through->second + resolved.substr(through->first.size());
    }
    return resolved;
  }
  bool Unlink(const std::string& path) {
    const std::string link = links.count(path) ? path : path + "\\";
    if (!Step("unlink " + link)) return false;
    links.erase(link);
    folders.erase(link);
    return true;
  }
  bool ParentExists(const std::string& path) const {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos || folders.count(path.substr(0, slash + 1)) > 0;
  }
  // Whether another process holds path for this try; a try counts once
  // against heldTries.
  bool Held(const std::string& path) {
    if (locked.count(path)) return true;
    const auto from = lockedFromStep.find(path);
    if (from != lockedFromStep.end() && steps >= from->second) return true;
    const auto it = heldTries.find(path);
    if (it == heldTries.end() || it->second <= 0) return false;
    --it->second;
    return true;
  }
  bool Step(const std::string& what) {
    ++steps;
    if (crashed()) return false;
    log += what + "\n";
    return true;
  }
};

}  // namespace testing_support
