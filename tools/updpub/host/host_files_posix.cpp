#include <unistd.h>

#include "updpub/host/host_files.h"

namespace updpub {

std::FILE* OpenHostFile(const fs::path& path, bool forWriting) {
  // "e": the descriptor is not inherited by the programs the tests start.
  return std::fopen(path.c_str(), forWriting ? "wbe" : "rbe");
}

// Host names are bytes: UTF-8 by convention, but any bytes name a file.
fs::path HostPath(std::string_view utf8) { return fs::path(std::string(utf8)); }

std::string Utf8Path(const fs::path& path) { return path.string(); }

fs::path ServedSegment(std::string_view bytes, bool /*utf8Urls*/) { return fs::path(std::string(bytes)); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace updpub
