#pragma once
// The difference step: which listed files must be fetched.
#include <string>
#include <vector>

#include "site/file_list.h"

namespace files {
class FileSystem;
}

namespace engine {

// Copies, in list order, of the entries whose local file (programFolder +
// Name) is missing or whose signature does not match the Hash, each with
// the signature it was found to have.
std::vector<FileEntry> FilesToDownload(const std::vector<FileEntry>& serverFiles,
                                       const std::string& programFolder, files::FileSystem& fs);

}  // namespace engine
