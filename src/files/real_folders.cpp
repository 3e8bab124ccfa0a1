#include "files/real_folders.h"

#include "files/path_text.h"

namespace files {

bool MakeRealFolders(FileSystem& fs, const std::string& base, const std::string& folder,
                     const std::function<bool()>& stopped) {
  const auto halted = [&] { return stopped && stopped(); };
  if (base.empty() || folder.compare(0, base.size(), base) != 0) return false;
  if (halted() || fs.IsLink(base)) return false;
  size_t previous = base.size() - 1;
  for (const size_t separator : SeparatorPositions(folder)) {
    if (separator < base.size()) continue;
    if (separator == previous + 1) {  // a doubled separator
      previous = separator;
      continue;
    }
    previous = separator;
    const std::string part = folder.substr(0, separator);
    if (halted()) return false;
    if (fs.IsLink(part)) {
      if (halted()) return false;
      fs.RemoveTree(part + "\\");  // removes the link alone
    } else {
      if (halted()) return false;
      if (fs.Exists(part)) continue;
    }
    // One made meanwhile by another process counts as made, unless it is a
    // link again.
    if (halted()) return false;
    if (!fs.CreateFolder(part) && (halted() || !fs.Exists(part) || fs.IsLink(part))) return false;
  }
  return true;
}

}  // namespace files
