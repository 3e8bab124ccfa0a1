#include "download/difference.h"

#include "files/file_system.h"
#include "site/listed_hashes.h"

namespace engine {

std::vector<FileEntry> FilesToDownload(const std::vector<FileEntry>& serverFiles,
                                       const std::string& programFolder, files::FileSystem& fs) {
  std::vector<FileEntry> toDownload;
  for (const FileEntry& entry : serverFiles) {
    std::string installed = fs.Signature(programFolder + entry.Name);
    if (!SignatureMatches(installed, entry.Hash)) {
      toDownload.push_back(entry);
      toDownload.back().LocalSignature = std::move(installed);
    }
  }
  return toDownload;
}

}  // namespace engine
