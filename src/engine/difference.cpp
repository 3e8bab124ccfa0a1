#include "engine/difference.h"

#include "files/file_system.h"

namespace engine {

std::vector<FileEntry> FilesToDownload(const std::vector<FileEntry>& serverFiles,
                                       const std::string& programFolder, files::FileSystem& fs) {
  std::vector<FileEntry> toDownload;
  for (const FileEntry& entry : serverFiles) {
    if (!SignatureMatches(fs.Signature(programFolder + entry.Name), entry.Hash)) {
      toDownload.push_back(entry);
    }
  }
  return toDownload;
}

}  // namespace engine
