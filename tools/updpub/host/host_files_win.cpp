#include <windows.h>

#include <io.h>

#include "base/gbk_text.h"
#include "updpub/host/host_files.h"

namespace updpub {

std::FILE* OpenHostFile(const fs::path& path, bool forWriting) {
  return _wfopen(path.c_str(), forWriting ? L"wb" : L"rb");
}

fs::path HostPath(std::string_view utf8) { return fs::u8path(utf8.begin(), utf8.end()); }

std::string Utf8Path(const fs::path& path) { return path.u8string(); }

// The local scheme's bytes are GBK; a name that is no GBK text is kept as a
// name that matches nothing rather than a lossy one.
fs::path ServedSegment(std::string_view bytes, bool utf8Urls) {
  if (utf8Urls) return HostPath(bytes);
  const std::string utf8 = base::Utf8FromGbk(bytes);
  return HostPath(utf8.empty() ? std::string("?") : utf8);
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace updpub
