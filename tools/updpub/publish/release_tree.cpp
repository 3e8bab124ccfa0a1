#include "updpub/publish/release_tree.h"

#include <algorithm>
#include <map>
#include <optional>
#include <system_error>

#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

std::string JoinSegments(const std::vector<std::string>& segments, char separator) {
  std::string joined;
  for (const std::string& segment : segments) {
    if (!joined.empty()) joined.push_back(separator);
    joined += segment;
  }
  return joined;
}

class Scanner {
 public:
  Scanner(const fs::path& root, bool utf8Urls) : root_(root), utf8Urls_(utf8Urls) {}

  ReleaseTree Run() {
    std::error_code error;
    fs::recursive_directory_iterator it(root_, fs::directory_options::none, error);
    if (error) {
      Refuse(Utf8Path(root_), "cannot read the folder: " + error.message());
      return std::move(tree_);
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
      if (error) break;
      Visit(it);
    }
    if (error) Refuse(Utf8Path(root_), "cannot read the folder: " + error.message());
    std::sort(tree_.files.begin(), tree_.files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.listName < b.listName; });
    std::sort(tree_.refusals.begin(), tree_.refusals.end(),
              [](const Refusal& a, const Refusal& b) { return a.file < b.file; });
    return std::move(tree_);
  }

 private:
  void Refuse(std::string file, std::string reason) {
    tree_.refusals.push_back(Refusal{std::move(file), std::move(reason)});
  }

  void Visit(fs::recursive_directory_iterator& it) {
    const fs::directory_entry& entry = *it;
    std::vector<std::string> segments;
    for (const fs::path& part : entry.path().lexically_relative(root_)) segments.push_back(Utf8Path(part));
    const std::string shown = JoinSegments(segments, '/');
    std::error_code error;
    const fs::file_status linkStatus = entry.symlink_status(error);
    const fs::file_status status = entry.status(error);

    if (fs::is_directory(linkStatus)) {
      if (it.depth() == 0 && FoldedName(segments.back()) == kStagingFolder) {
        Refuse(shown + "/", "the updater's staging folder \"update\" must not be part of a release");
        it.disable_recursion_pending();
      }
      return;
    }
    if (fs::is_symlink(linkStatus) && fs::is_directory(status)) {
      Refuse(shown, "a link to a folder: copy the folder into the release instead");
      return;
    }
    if (!fs::is_regular_file(status)) {
      Refuse(shown, fs::exists(status) ? "neither a file nor a folder" : "a link that points nowhere");
      return;
    }
    AddFile(entry, std::move(segments), shown);
  }

  void AddFile(const fs::directory_entry& entry, std::vector<std::string> segments, const std::string& shown) {
    const std::optional<std::string> gbk = FaithfulGbk(JoinSegments(segments, '\\'));
    if (!gbk) {
      Refuse(shown, "the name has characters the GBK code page cannot hold");
      return;
    }
    if (segments.size() == 1 && FoldedName(*gbk) == kFileListName) {
      Refuse(shown, "the file list of the version is written under this name");
      return;
    }
    if (segments.size() == 1 && FoldedName(*gbk) == kStagingFolder) {
      Refuse(shown, "the updater needs this name for its staging folder");
      return;
    }
    const std::string problem = NameProblem(*gbk, utf8Urls_);
    if (!problem.empty()) {
      Refuse(shown, problem);
      return;
    }
    // Windows does not tell these apart, so one would overwrite the other.
    const auto [previous, inserted] = foldedNames_.emplace(FoldedName(*gbk), shown);
    if (!inserted) {
      Refuse(shown, "differs from \"" + previous->second + "\" only in letter case");
      return;
    }
    std::error_code error;
    const uintmax_t size = entry.file_size(error);
    if (error) {
      Refuse(shown, "cannot read its size: " + error.message());
      return;
    }
    ReleaseFile file;
    file.source = entry.path();
    file.segments = std::move(segments);
    file.listName = *gbk;
    file.shownName = shown;
    file.size = size;
    tree_.totalBytes += size;
    tree_.files.push_back(std::move(file));
  }

  fs::path root_;
  bool utf8Urls_;
  ReleaseTree tree_;
  std::map<std::string, std::string> foldedNames_;
};

}  // namespace

ReleaseTree ScanRelease(const fs::path& root, bool utf8Urls) { return Scanner(root, utf8Urls).Run(); }

}  // namespace updpub
